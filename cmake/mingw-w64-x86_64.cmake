# Toolchain for cross-building for 64-bit Windows on Debian with mingw-w64, against the
# dependencies that scripts/windows/deps.sh builds into its cache.
#
#   prefix=$(bash scripts/windows/deps.sh)
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
#         -DTOVRIN_WINDOWS_DEPS="$prefix"
#
# TOVRIN_WINDOWS_DEPS may also come from the environment.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

# Always the -posix variants: the plain x86_64-w64-mingw32-g++ may be the win32-threads one
# (Debian's alternatives), which has no std::thread, and the dependencies were built with -posix.
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

if(NOT TOVRIN_WINDOWS_DEPS AND DEFINED ENV{TOVRIN_WINDOWS_DEPS})
  set(TOVRIN_WINDOWS_DEPS "$ENV{TOVRIN_WINDOWS_DEPS}")
endif()
if(NOT TOVRIN_WINDOWS_DEPS)
  message(FATAL_ERROR "Set TOVRIN_WINDOWS_DEPS (-D or environment) to the prefix that "
                      "scripts/windows/deps.sh prints.")
endif()
if(NOT IS_DIRECTORY "${TOVRIN_WINDOWS_DEPS}")
  message(FATAL_ERROR "TOVRIN_WINDOWS_DEPS=${TOVRIN_WINDOWS_DEPS} is not a directory: "
                      "run scripts/windows/deps.sh.")
endif()
set(TOVRIN_WINDOWS_DEPS "${TOVRIN_WINDOWS_DEPS}" CACHE PATH
    "Prefix of the Windows dependencies built by scripts/windows/deps.sh")
# try_compile() projects read this file again but see no -D values unless they are listed here.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TOVRIN_WINDOWS_DEPS)

# Libraries, headers and CMake packages only from the cache (and the mingw-w64 runtime's own
# import libraries); programs (moc, uic, rcc, qmake, wine) from the host. Nothing from the host's
# /usr/include or /usr/lib can slip into the Windows build.
set(CMAKE_FIND_ROOT_PATH "${TOVRIN_WINDOWS_DEPS}" /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Lets CTest (and add_custom_command on a target) run the test executables under Wine.
# Debian 12 installs wine64 outside PATH, in /usr/lib/wine. WINEPATH points Wine at the cache's
# bin/, which holds the Qt DLLs and the mingw runtime DLLs, so no DLL has to be copied beside
# each test; Qt finds its plugins from there too (<prefix>/plugins).
if(NOT DEFINED CMAKE_CROSSCOMPILING_EMULATOR)
  find_program(TOVRIN_WINE NAMES wine64 wine PATHS /usr/lib/wine)
  if(TOVRIN_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR
        "${CMAKE_COMMAND};-E;env;WINEPATH=Z:${TOVRIN_WINDOWS_DEPS}/bin;${TOVRIN_WINE}")
  endif()
endif()
