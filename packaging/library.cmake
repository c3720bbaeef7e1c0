# libkestrane for other programs: the shared library (component
# libkestrane1), and its headers, pkg-config file and CMake package
# (libkestrane-dev), so that find_package(Kestrane) gives Kestrane::kestrane.
include(CMakePackageConfigHelpers)

set(KESTRANE_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Kestrane)
install(TARGETS libkestrane EXPORT KestraneTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT libkestrane1 NAMELINK_COMPONENT libkestrane-dev)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/include/kestrane DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  COMPONENT libkestrane-dev FILES_MATCHING PATTERN "*.h")
install(EXPORT KestraneTargets NAMESPACE Kestrane:: DESTINATION ${KESTRANE_CMAKE_DIR} COMPONENT libkestrane-dev)

configure_package_config_file(${CMAKE_CURRENT_SOURCE_DIR}/KestraneConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/KestraneConfig.cmake INSTALL_DESTINATION ${KESTRANE_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/KestraneConfigVersion.cmake
  VERSION ${KESTRANE_LIBRARY_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/KestraneConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/KestraneConfigVersion.cmake
  DESTINATION ${KESTRANE_CMAKE_DIR} COMPONENT libkestrane-dev)

# The .pc file finds the prefix from where it lies, so that it holds for
# any --prefix given at install time and in a tree staged with DESTDIR.
file(RELATIVE_PATH PC_PREFIX_FROM_PCFILEDIR /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" PC_PREFIX_FROM_PCFILEDIR "${PC_PREFIX_FROM_PCFILEDIR}")
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/kestrane.pc.in ${CMAKE_CURRENT_BINARY_DIR}/kestrane.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kestrane.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT libkestrane-dev)

# The C API's reference, made from the public headers by doxygen, for
# libkestrane-dev; a warning (an undocumented call, parameter or field)
# fails the build. Its pages use Debian's jQuery rather than a copy.
find_program(DOXYGEN doxygen)
if(DOXYGEN)
  set(API_REFERENCE_DIR ${CMAKE_BINARY_DIR}/api-reference)
  configure_file(${CMAKE_SOURCE_DIR}/docs/Doxyfile.in ${CMAKE_BINARY_DIR}/Doxyfile @ONLY)
  file(GLOB public_headers ${CMAKE_SOURCE_DIR}/include/kestrane/*.h)
  add_custom_command(OUTPUT ${API_REFERENCE_DIR}/html/index.html
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${API_REFERENCE_DIR}/html
    COMMAND ${DOXYGEN} ${CMAKE_BINARY_DIR}/Doxyfile
    COMMAND ${CMAKE_COMMAND} -E rm ${API_REFERENCE_DIR}/html/jquery.js
    COMMAND ${CMAKE_COMMAND} -E create_symlink ../../../javascript/jquery/jquery.js ${API_REFERENCE_DIR}/html/jquery.js
    DEPENDS ${public_headers} ${CMAKE_SOURCE_DIR}/docs/Doxyfile.in
    COMMENT "The C API's reference")
  add_custom_target(api_reference ALL DEPENDS ${API_REFERENCE_DIR}/html/index.html)
  install(DIRECTORY ${API_REFERENCE_DIR}/html DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/libkestrane-dev
    COMPONENT libkestrane-dev)
  set(CPACK_DEBIAN_LIBKESTRANE-DEV_PACKAGE_DEPENDS libjs-jquery)
endif()
