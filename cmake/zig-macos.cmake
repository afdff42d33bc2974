# Cross-compiling the macOS build with zig's clang, which carries the macOS
# headers, libc++ and a Mach-O linker. scripts/build_macos.sh installs zig
# and writes the one-command wrappers named here (CMake wants a single
# compiler path, zig wants "c++ -target ..." in front of every call).
#   TARN_MACOS_ARCH    aarch64 or x86_64
#   TARN_ZIG_WRAPPERS  the folder holding zig-cxx-<arch>, zig-ar, zig-ranlib
set(CMAKE_SYSTEM_NAME Darwin)
if(NOT DEFINED TARN_MACOS_ARCH OR NOT DEFINED TARN_ZIG_WRAPPERS)
    message(FATAL_ERROR "zig-macos.cmake needs TARN_MACOS_ARCH and TARN_ZIG_WRAPPERS")
endif()
# Passed on to the try_compile projects CMake runs while it checks the compiler.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TARN_MACOS_ARCH TARN_ZIG_WRAPPERS)
if(TARN_MACOS_ARCH STREQUAL "aarch64")
    set(CMAKE_SYSTEM_PROCESSOR arm64)
else()
    set(CMAKE_SYSTEM_PROCESSOR x86_64)
endif()
set(CMAKE_CXX_COMPILER ${TARN_ZIG_WRAPPERS}/zig-cxx-${TARN_MACOS_ARCH})
set(CMAKE_AR ${TARN_ZIG_WRAPPERS}/zig-ar CACHE FILEPATH "" FORCE)
set(CMAKE_RANLIB ${TARN_ZIG_WRAPPERS}/zig-ranlib CACHE FILEPATH "" FORCE)
# CMake's compiler checks compile without linking: a link would make zig
# build a libc++ for the checks' own flags, minutes for nothing.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
# No SDK on this machine: zig brings its own, so CMake must not look for one.
set(CMAKE_OSX_SYSROOT "" CACHE PATH "" FORCE)
set(CMAKE_OSX_DEPLOYMENT_TARGET "" CACHE STRING "" FORCE)
# The same tree gives the same bytes wherever it sits and is built: no
# source path in the objects, no symbols or debug map (which names the
# objects' paths) in the executables.
get_filename_component(TARN_SOURCE_ROOT "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(CMAKE_CXX_FLAGS_INIT "-ffile-prefix-map=${TARN_SOURCE_ROOT}=.")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-s")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
