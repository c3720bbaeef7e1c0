# Read by cpack in a cross build: dpkg-shlibdeps, which cpack runs, takes
# the architecture whose libraries it looks through from DEB_HOST_ARCH, and
# would otherwise look through this machine's first.
set(ENV{DEB_HOST_ARCH} ${CPACK_DEBIAN_PACKAGE_ARCHITECTURE})
