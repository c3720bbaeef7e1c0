/* Everything libkestrane offers, for a program that includes one header:
 * pkg-config --cflags --libs kestrane, or find_package(Kestrane) and
 * Kestrane::kestrane in CMake. */
#ifndef KESTRANE_KESTRANE_H
#define KESTRANE_KESTRANE_H

#include <kestrane/board.h>
#include <kestrane/bootloader.h>
#include <kestrane/engine.h>
#include <kestrane/entry.h>
#include <kestrane/image.h>
#include <kestrane/parts.h>
#include <kestrane/result.h>
#include <kestrane/version.h>

#endif
