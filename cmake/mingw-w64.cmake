# Shared body of the MinGW-w64 toolchain files: Debian's posix-threads cross compilers, a static
# runtime, Wine as the emulator that runs the test programs. The including file sets MINGW_TRIPLET
# and CMAKE_SYSTEM_PROCESSOR.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_VERSION 6.1)

set(CMAKE_C_COMPILER ${MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_TRIPLET}-windres)

# Prefixes with libraries built for this target (GoogleTest) come in through BUSGATE_WINDOWS_DEPS;
# try_compile projects see the same value.
set(BUSGATE_WINDOWS_DEPS "" CACHE PATH "Install prefix of libraries built for this target")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES BUSGATE_WINDOWS_DEPS)
set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLET} ${BUSGATE_WINDOWS_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Windows 7 API level; keep <windows.h> from defining min/max, the GDI names (ERROR) and the
# rarely used parts. localtime_r and friends come with _POSIX_THREAD_SAFE_FUNCTIONS.
set(_busgate_defines "-D_WIN32_WINNT=0x0601 -DWINVER=0x0601 -DNOMINMAX -DWIN32_LEAN_AND_MEAN -DNOGDI -D_POSIX_THREAD_SAFE_FUNCTIONS")
set(CMAKE_C_FLAGS_INIT "${_busgate_defines}")
set(CMAKE_CXX_FLAGS_INIT "${_busgate_defines}")
# Without -static the programs import libwinpthread-1.dll and the GCC runtime DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# The including file may name the loader (MINGW_WINE_NAMES): 64-bit programs need wine64 where the
# wine script would pick the 32-bit loader.
if(NOT MINGW_WINE_NAMES)
  set(MINGW_WINE_NAMES wine)
endif()
find_program(BUSGATE_WINE NAMES ${MINGW_WINE_NAMES} PATHS /usr/lib/wine)
if(BUSGATE_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${BUSGATE_WINE})
endif()

# Boost is header-only here. The compiler gets the headers through a folder that holds only a link
# to Debian's boost directory, so that the host's /usr/include (glibc) stays off its path.
get_property(_busgate_in_try_compile GLOBAL PROPERTY IN_TRY_COMPILE)
if(NOT _busgate_in_try_compile)
  set(_busgate_boost_root ${CMAKE_BINARY_DIR}/boost-headers)
  if(NOT EXISTS ${_busgate_boost_root}/boost)
    file(MAKE_DIRECTORY ${_busgate_boost_root})
    file(CREATE_LINK /usr/include/boost ${_busgate_boost_root}/boost SYMBOLIC)
  endif()
  set(Boost_INCLUDE_DIR ${_busgate_boost_root} CACHE PATH "Boost headers for the cross build")
  set(Boost_NO_BOOST_CMAKE ON CACHE BOOL "Debian's Boost CMake files describe the host's libraries")
endif()
