# The kestrane Python module (component python3-kestrane), where Debian's
# Python 3 finds the modules of its packages. It loads libkestrane.so.1
# through ctypes, so it is the same for every Python 3 and architecture.
set(KESTRANE_PYTHON_DIR lib/python3/dist-packages CACHE STRING
  "Where the kestrane Python module is installed, under the prefix")
install(DIRECTORY ${CMAKE_SOURCE_DIR}/python/kestrane DESTINATION ${KESTRANE_PYTHON_DIR}
  COMPONENT python3-kestrane FILES_MATCHING PATTERN "*.py" PATTERN "py.typed" PATTERN "__pycache__" EXCLUDE)
