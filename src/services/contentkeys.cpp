// The build's content and root keys, alone in their file: a program that
// needs other keys (the test programs, the end-to-end launcher) defines these
// constants itself and this file is never linked in.
#include "buildcontentkeys.h"
#include "services/contentsignature.h"
#include "services/keysdocument.h"

const char* const buildContentKeys = DREVNA_CONTENT_PUBKEYS;
const char* const buildRootKeys = DREVNA_ROOT_PUBKEYS;
const char* const buildRootThreshold = DREVNA_ROOT_THRESHOLD;
