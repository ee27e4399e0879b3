// StormLib built with its own copy of libtomcrypt (as on Windows) sets that copy's math
// descriptor itself; there is nothing to prepare.
#include "archive/storm_crypto.h"

void PrepareStormSigning() {}
