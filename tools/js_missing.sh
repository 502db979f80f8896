#!/bin/sh
# What the JavaScript package's build and tests need and this machine lacks, one line each; exits 0
# when something is missing, 1 when everything is there. Needs: Node 18 or later, and clang able
# to compile and link C++ for wasm32-wasi with wasi-libc and libc++ (Debian: clang lld wasi-libc
# libc++-14-dev-wasm32 libc++abi-14-dev-wasm32 libclang-rt-14-dev-wasm32).
missing=0
if ! command -v node >/dev/null 2>&1; then
  echo "node (Node.js 18 or later; Debian: nodejs)"; missing=1
elif ! node -e 'process.exit(Number(process.versions.node.split(".")[0]) >= 18 ? 0 : 1)'; then
  echo "Node.js 18 or later (found $(node --version))"; missing=1
fi
dir=$(mktemp -d) || exit 0
trap 'rm -rf "$dir"' EXIT
printf '#include <cstring>\n#include <algorithm>\nextern "C" __attribute__((export_name("f"))) int f(char *p) { return int(std::strlen(p)); }\n' >"$dir/probe.cpp"
cxx=$(command -v clang++-14 || command -v clang++)
if [ -z "$cxx" ]; then
  echo "clang++ (Debian: clang)"; missing=1
elif ! "$cxx" --target=wasm32-wasi -nostdlibinc -isystem /usr/include/wasm32-wasi/c++/v1 -isystem /usr/include/wasm32-wasi \
      -fno-exceptions -mexec-model=reactor -L/usr/lib/wasm32-wasi "$dir/probe.cpp" -o "$dir/probe.wasm" >"$dir/log" 2>&1; then
  echo "a C++ compiler and linker for wasm32-wasi (Debian: lld wasi-libc libc++-14-dev-wasm32 libc++abi-14-dev-wasm32 libclang-rt-14-dev-wasm32): $(head -1 "$dir/log")"
  missing=1
fi
[ "$missing" = 1 ] && exit 0
exit 1
