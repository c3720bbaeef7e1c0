// The exported calls of kestrane/version.h: the library's version, as its
// headers give it.
#include <kestrane/version.h>

uint32_t efm8_version(void)
{
    return KESTRANE_VERSION;
}

const char *efm8_version_string(void)
{
    return KESTRANE_VERSION_STRING;
}
