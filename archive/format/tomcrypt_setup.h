#pragma once
// libtomcrypt's RSA needs a math library plugged in (ltc_mp) before it can sign or verify, and MD5
// registered before it can be found by name. PrepareTomcrypt() does both once; it must have run
// before our weak signature is made or checked, or before StormLib (which shares the library)
// signs an archive. Safe to call from any thread, any number of times.
void PrepareTomcrypt();
