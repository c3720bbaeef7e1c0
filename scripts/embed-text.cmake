# Writes text files as C strings in one header, each named after its file
# (page.js -> page_js): cmake -DFILES=a.html,b.js -DOUT=assets.h -P embed-text.cmake
set(body "")
string(REPLACE "," ";" files "${FILES}")
foreach(file IN LISTS files)
  get_filename_component(name "${file}" NAME)
  string(MAKE_C_IDENTIFIER "${name}" name)
  file(READ "${file}" hex HEX)
  string(REGEX REPLACE "(..)" "0x\\1," bytes "${hex}")
  string(REGEX REPLACE "((0x..,){16})" "\\1\n    " bytes "${bytes}")
  string(APPEND body "static const unsigned char ${name}[] = {\n    ${bytes}0x00};\n\n")
endforeach()
file(WRITE "${OUT}"
"// Generated at build time from src/cli/dashboard/; edit those files, not this one.
#ifndef KESTRANE_DASHBOARD_ASSETS_H
#define KESTRANE_DASHBOARD_ASSETS_H

${body}#endif
")
