// StormLib linked against the system libtomcrypt (Debian's 9.22). StormLib fills the library's
// math descriptor ltc_mp itself, but it was built against an older, smaller descriptor: it copies
// ltm_desc only up to the old size and leaves the newer members null. Signing blinds the RSA key
// with one of them (rand), so re-signing jumped through a null pointer. Copying the whole
// descriptor fills them; StormLib's own partial copy, before or after, writes the same values
// over the front and leaves the rest alone.
#include "archive/storm_crypto.h"

#define LTM_DESC
#include <tomcrypt.h>

#include <mutex>

void PrepareStormSigning() {
    static std::once_flag once;
    std::call_once(once, [] { ltc_mp = ltm_desc; });
}
