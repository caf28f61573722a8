# Cross-compiling for 64-bit Windows with Debian's MinGW-w64 (GCC, POSIX
# thread model, which std::thread and std::mutex need). Qt for MinGW is found
# through TALVEX_WINDOWS_QT, the folder holding its bin/, lib/ and plugins/.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TALVEX_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TALVEX_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TALVEX_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TALVEX_MINGW_PREFIX}-windres)

# Try-compiles see the same Qt folder as the build itself.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TALVEX_WINDOWS_QT)

set(CMAKE_FIND_ROOT_PATH /usr/${TALVEX_MINGW_PREFIX})
if(TALVEX_WINDOWS_QT)
  list(APPEND CMAKE_FIND_ROOT_PATH ${TALVEX_WINDOWS_QT})
  list(APPEND CMAKE_PREFIX_PATH ${TALVEX_WINDOWS_QT})
endif()
# Host programs (moc, uic, rcc) from anywhere; libraries, headers and CMake
# packages only from the Windows side.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# libsodium for MinGW is found through TALVEX_WINDOWS_SODIUM, the folder holding
# its bin/, lib/ and include/.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TALVEX_WINDOWS_SODIUM)
if(TALVEX_WINDOWS_SODIUM)
  list(APPEND CMAKE_FIND_ROOT_PATH ${TALVEX_WINDOWS_SODIUM})
endif()
