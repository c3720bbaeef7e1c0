/**
 * @file kestrane/version.h
 * @brief The library's version, and how its calls are exported.
 *
 * libkestrane.so.1 exports only what the public headers declare with
 * KESTRANE_API. Every public header compiles as C99 and as C++.
 */
#ifndef KESTRANE_VERSION_H
#define KESTRANE_VERSION_H

#include <stdint.h>

#define KESTRANE_VERSION_MAJOR 1 /**< the headers' major version: the SONAME's number */
#define KESTRANE_VERSION_MINOR 1 /**< the headers' minor version: calls and fields added */
#define KESTRANE_VERSION_PATCH 0 /**< the headers' patch level */
#define KESTRANE_VERSION_STRING "1.1.0" /**< the headers' version as text */
/** @cond */
#define KESTRANE_TEXT_OF_(number) #number
#define KESTRANE_TEXT_(number) KESTRANE_TEXT_OF_(number)
/** @endcond */
/** The release as its packages, the window and kestrane-cli --version
 * name it: major.minor as text ("1.1"). */
#define KESTRANE_RELEASE_STRING KESTRANE_TEXT_(KESTRANE_VERSION_MAJOR) "." KESTRANE_TEXT_(KESTRANE_VERSION_MINOR)
/** MAJOR * 10000 + MINOR * 100 + PATCH, for comparisons in `#if`. */
#define KESTRANE_VERSION \
    (KESTRANE_VERSION_MAJOR * 10000 + KESTRANE_VERSION_MINOR * 100 + KESTRANE_VERSION_PATCH)

/** Marks what libkestrane.so.1 exports. */
#if defined(__GNUC__)
#define KESTRANE_API __attribute__((visibility("default")))
#else
#define KESTRANE_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/**
 * The version of the library loaded, which may be newer than the headers a
 * program was built with.
 * @return its KESTRANE_VERSION number. Never fails.
 * @since 1.0
 */
KESTRANE_API uint32_t efm8_version(void);

/**
 * The version of the library loaded, as text ("1.1.0").
 * @return a string owned by the library, valid for as long as it is loaded.
 * Never fails.
 * @since 1.0
 */
KESTRANE_API const char *efm8_version_string(void);

#ifdef __cplusplus
}
#endif

#endif
