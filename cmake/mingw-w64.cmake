# Windows with the MinGW-w64 cross compilers (posix thread model, for std::thread
# and std::mutex), for the architecture in KEL_MINGW_ARCH: i686 (32-bit) or
# x86_64 (64-bit). Programs built here run under Wine in a prefix of that
# architecture inside the build tree.
set(KEL_MINGW_ARCH "" CACHE STRING "MinGW-w64 target architecture: i686 or x86_64")
# try_compile projects read this file again: hand them the architecture.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KEL_MINGW_ARCH)
if(KEL_MINGW_ARCH STREQUAL "i686")
  set(kel_wine_arch win32)
elseif(KEL_MINGW_ARCH STREQUAL "x86_64")
  set(kel_wine_arch win64)
else()
  message(FATAL_ERROR "KEL_MINGW_ARCH is \"${KEL_MINGW_ARCH}\"; set it to i686 or x86_64")
endif()
set(kel_triplet ${KEL_MINGW_ARCH}-w64-mingw32)

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${KEL_MINGW_ARCH})
set(CMAKE_C_COMPILER ${kel_triplet}-gcc-posix)
set(CMAKE_CXX_COMPILER ${kel_triplet}-g++-posix)
set(CMAKE_RC_COMPILER ${kel_triplet}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${kel_triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Programs built here (tests, test discovery) run in the build tree's Wine
# prefix, started by scripts/wine-prefix.sh with the loader of their
# architecture.
get_filename_component(kel_wine_prefix_script ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-prefix.sh ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${kel_wine_prefix_script} ${CMAKE_BINARY_DIR} run ${kel_wine_arch})
