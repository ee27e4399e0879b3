// The whole libtommath descriptor is copied: a StormLib built against an older, smaller descriptor
// copies only its front when it loads and leaves the newer members null; signing blinds the RSA
// key with one of them, so a partial copy jumped through a null pointer. Whoever copies last
// writes the same values.
#include "archive/format/tomcrypt_setup.h"

#define LTM_DESC
#include <tomcrypt.h>

#include <mutex>

void PrepareTomcrypt() {
    static std::once_flag once;
    std::call_once(once, [] {
        ltc_mp = ltm_desc;
        register_hash(&md5_desc);
    });
}
