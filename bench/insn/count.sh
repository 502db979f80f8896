#!/bin/sh
# Executed aarch64 instructions per call of key generation, signing and verification, on the
# scalar path and on the neon path (with NEON alone as -cpu cortex-a72, with the SHA-3
# instructions as -cpu max), counted under qemu-user by insn_plugin.c. Instruction counts, not
# times: see docs/performance.md.
#
#   bench/insn/count.sh [BUILD_DIR [RUNS [SIGNS]]]
#
# BUILD_DIR: an aarch64 cross build (make test-cross leaves build-aarch64). Each call's count is
# the difference between two runs of insn_calls, divided by the number of calls it added: RUNS
# key generations (distinct seeds), SIGNS signatures (distinct messages: the attempts vary) and
# RUNS verifications. The Keccak lanes are pinned (TAVIK_LANES), since the path's choice measures
# them by time, which under emulation says nothing about a processor.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-build-aarch64}
runs=${2:-10}
signs=${3:-100}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
gcc -O2 -shared -fPIC "$here/insn_plugin.c" -o "$tmp/insn_plugin.so"
aarch64-linux-gnu-gcc -O2 -I"$here/../../include" "$here/insn_calls.c" "$build/libtavik.a" -lstdc++ -lpthread \
  -o "$tmp/insn_calls"

# count CPU PATH LANES KEYGENS SIGNS VERIFIES: the instructions of one run.
count() {
  QEMU_CPU=$1 TAVIK_BACKEND=$2 TAVIK_LANES=$3 qemu-aarch64 -L /usr/aarch64-linux-gnu \
    -plugin "$tmp/insn_plugin.so" -d plugin -D "$tmp/log" "$tmp/insn_calls" "$4" "$5" "$6"
  sed -n 's/^insns //p' "$tmp/log"
}

# The plugin against qemu's own log of one block per instruction, on the shortest run.
ref=$(QEMU_CPU=max TAVIK_BACKEND=scalar qemu-aarch64 -L /usr/aarch64-linux-gnu -singlestep -d nochain,exec \
  "$tmp/insn_calls" 0 0 0 2>&1 >/dev/null | grep -c '^Trace')
mine=$(count max scalar 4 0 0 0)
echo "check: one run, plugin $mine, single-step log $ref instructions"

printf '%-28s %12s %12s %12s\n' "path (qemu -cpu, lanes)" keygen sign verify
for cfg in max:scalar:4 cortex-a72:neon:4 cortex-a72:neon:8 max:neon:4 max:neon:8; do
  cpu=${cfg%%:*}; rest=${cfg#*:}; path=${rest%%:*}; lanes=${rest#*:}
  base=$(count "$cpu" "$path" "$lanes" 0 0 0)
  k=$(count "$cpu" "$path" "$lanes" "$runs" 0 0)
  s=$(count "$cpu" "$path" "$lanes" 0 "$signs" 0)
  v=$(count "$cpu" "$path" "$lanes" 0 0 "$runs")
  printf '%-28s %12d %12d %12d\n' "$path ($cpu, $lanes)" $(((k - base) / runs)) $(((s - base) / signs)) \
    $(((v - base) / runs))
done
