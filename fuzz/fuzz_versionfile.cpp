// The launcher version file, judged before a setup program is fetched.
#include "fuzzsupport.h"

#include "services/selfupdate.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray body = fuzzBytes(data, size);
    const LauncherVersionFile file = readLauncherVersionFile(body);
    FUZZ_CHECK(file.error == 0 || file.error == -101 || file.error == -102 || file.error == -103);
    // A refused file leads to no download.
    if (file.error != 0)
        FUZZ_CHECK(file.version == 0 && file.url.isEmpty());
    return 0;
}
