// The build's content keys, alone in their file: a program that needs other
// keys (the test programs, the end-to-end launcher) defines this constant
// itself and this file is never linked in.
#include "buildcontentkeys.h"
#include "services/contentsignature.h"

const char* const buildContentKeys = DREVNA_CONTENT_PUBKEYS;
