# Debian's cross toolchain for arm64 (crossbuild-essential-arm64), with the
# arm64 development packages installed beside this machine's own through
# multiarch (scripts/install-deps --arm64). Used by scripts/cross-arm64.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
# Libraries and CMake packages from /usr/lib/aarch64-linux-gnu, pkg-config
# files too; programs such as srec_cat are this machine's.
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(PKG_CONFIG_EXECUTABLE aarch64-linux-gnu-pkg-config)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
