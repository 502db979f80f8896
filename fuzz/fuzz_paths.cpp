// libFuzzer target: the scalar path and the vector path in use give the same bytes. A child
// process, forked before either process has chosen its path, runs the scalar path; the fuzzer's
// process runs the best path of the processor. The input is a 32-byte seed (zero padded) and a
// message (one zero byte when empty, cut at 3300 bytes); both processes make the key pair from
// the seed and sign the message, and every byte must match.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "signature.h"
#include "tavik.h"

namespace {

constexpr size_t OUT_BYTES = TAVIK_PK_BYTES + TAVIK_SK_BYTES + TAVIK_SIG_BYTES;

struct Request {
  uint8_t seed[TAVIK_SEED_BYTES];
  uint32_t msglen;
  uint8_t msg[TAVIK_MAX_MSG_BYTES];
};

int to_child = -1, from_child = -1;

bool full_read(int fd, void *p, size_t n) {
  auto *b = static_cast<uint8_t *>(p);
  while (n > 0) {
    const ssize_t r = read(fd, b, n);
    if (r <= 0) return false;
    b += r;
    n -= size_t(r);
  }
  return true;
}

bool full_write(int fd, const void *p, size_t n) {
  const auto *b = static_cast<const uint8_t *>(p);
  while (n > 0) {
    const ssize_t r = write(fd, b, n);
    if (r <= 0) return false;
    b += r;
    n -= size_t(r);
  }
  return true;
}

// Key pair from the seed and signature of the message, into out (pk, sk, sig).
void run(const Request &q, uint8_t *out) {
  uint8_t *pk = out, *sk = out + TAVIK_PK_BYTES, *sig = sk + TAVIK_SK_BYTES;
  uint64_t siglen = 0;
  if (sig_keygen_from_seed(pk, sk, q.seed) != 0) std::abort();
  if (sig_sign(sk, q.msg, q.msglen, sig, &siglen) != 0) std::abort();
}

[[noreturn]] void serve_scalar(int in, int out) {
  setenv("TAVIK_BACKEND", "scalar", 1);
  if (tavik::active_backend() != tavik::Backend::scalar) std::abort();  // chosen before the fork
  static Request q;
  static uint8_t result[OUT_BYTES];
  while (full_read(in, &q, sizeof q)) {
    run(q, result);
    if (!full_write(out, result, sizeof result)) break;
  }
  _exit(0);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  int down[2], up[2];
  if (pipe(down) != 0 || pipe(up) != 0) std::abort();
  const pid_t pid = fork();
  if (pid < 0) std::abort();
  if (pid == 0) {
    close(down[1]);
    close(up[0]);
    serve_scalar(down[0], up[1]);
  }
  close(down[0]);
  close(up[1]);
  to_child = down[1];
  from_child = up[0];
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static Request q;
  static uint8_t mine[OUT_BYTES], scalar[OUT_BYTES];
  std::memset(&q, 0, sizeof q);
  const size_t seed_bytes = size < TAVIK_SEED_BYTES ? size : TAVIK_SEED_BYTES;
  std::memcpy(q.seed, data, seed_bytes);
  size_t msglen = size > TAVIK_SEED_BYTES ? size - TAVIK_SEED_BYTES : 0;
  if (msglen > TAVIK_MAX_MSG_BYTES) msglen = TAVIK_MAX_MSG_BYTES;
  if (msglen > 0) std::memcpy(q.msg, data + TAVIK_SEED_BYTES, msglen);
  q.msglen = msglen > 0 ? uint32_t(msglen) : 1;

  if (!full_write(to_child, &q, sizeof q)) std::abort();
  run(q, mine);
  if (!full_read(from_child, scalar, sizeof scalar)) std::abort();
  if (std::memcmp(mine, scalar, sizeof mine) != 0) std::abort();
  return 0;
}
