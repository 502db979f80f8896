# Cross build for WebAssembly (wasm32-wasi) with clang and Debian's wasi-libc and libc++ for wasm32:
#   cmake -S . -B build-wasm -DCMAKE_TOOLCHAIN_FILE=cmake/wasm32-wasi.cmake
# The headers are the wasm32 sysroot's only: -nostdlibinc drops the host's /usr/include and
# /usr/local/include that clang would otherwise search after them.
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR wasm32)
set(TAVIK_WASI_SYSROOT_INCLUDE /usr/include/wasm32-wasi CACHE PATH "wasi-libc's headers")
set(TAVIK_WASI_SYSROOT_LIB /usr/lib/wasm32-wasi CACHE PATH "wasi-libc's and libc++'s archives for wasm32")

find_program(CMAKE_C_COMPILER NAMES clang-14 clang REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES clang++-14 clang++ REQUIRED)
set(CMAKE_C_COMPILER_TARGET wasm32-wasi)
set(CMAKE_CXX_COMPILER_TARGET wasm32-wasi)

set(CMAKE_C_FLAGS_INIT "-nostdlibinc -isystem ${TAVIK_WASI_SYSROOT_INCLUDE}")
set(CMAKE_CXX_FLAGS_INIT
    "-nostdlibinc -isystem ${TAVIK_WASI_SYSROOT_INCLUDE}/c++/v1 -isystem ${TAVIK_WASI_SYSROOT_INCLUDE} -fno-exceptions -fno-rtti")
# The compile flags also reach the link, where the include options mean nothing.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-L${TAVIK_WASI_SYSROOT_LIB} -Wno-unused-command-line-argument")

# No program of the build runs on the host; the compiler checks link nothing.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(CMAKE_FIND_ROOT_PATH ${TAVIK_WASI_SYSROOT_INCLUDE} ${TAVIK_WASI_SYSROOT_LIB})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
