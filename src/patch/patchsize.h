#pragma once

// The size a patch's output will have, read from the target window lengths
// that its VCDIFF stream declares, without decoding it or reading the old file.

#include <QString>

// -1 when the file cannot be read or is no patch.
qint64 patchOutputSize(const QString& patchPath);
