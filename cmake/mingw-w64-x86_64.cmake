# Cross-build for x86-64 Windows with Debian's mingw-w64 (the posix thread
# model): `make windows`. Libraries for the target come from the mingw-w64
# tree, build tools from the host.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)

# Header-only packages of the host (nlohmann-json3-dev, say) serve the target
# as they are: /usr/include is searched after mingw-w64's own headers, so
# that it supplies only what they lack, and find_package or find_path may
# take such a package's files from the host. Being then a search folder the compiler
# knows, /usr/include is never passed as -isystem, which would put the host's
# C library headers before mingw-w64's.
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
set(CMAKE_C_FLAGS_INIT "-idirafter /usr/include")
set(CMAKE_CXX_FLAGS_INIT "-idirafter /usr/include")

# The C and C++ runtimes and winpthread linked into every .exe and .dll, so
# that each runs on a bare Windows.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -static)
