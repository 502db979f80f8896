// The library's version string, fixed when the library is built.
#include "tavik.h"

const char *tavik_version(void) { return TAVIK_VERSION_STRING; }
