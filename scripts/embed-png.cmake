# Writes a PNG file as a C byte array header: cmake -DIN=x.png -DOUT=logo.h -P embed-png.cmake
file(READ "${IN}" hex HEX)
string(REGEX REPLACE "(..)" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x..,){16})" "\\1\n    " bytes "${bytes}")
file(WRITE "${OUT}"
"// Generated at build time from src/gui/logo.png; edit the picture, not this file.
#ifndef KESTRANE_LOGO_H
#define KESTRANE_LOGO_H

static const unsigned char logo_png[] = {
    ${bytes}
};

#endif
")
