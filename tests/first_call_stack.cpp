// The first call of a fresh process runs on a thread with a 128 KiB stack: the path's choice and
// self-test, which that call sets off, must not stack on it. Run once per call and path:
//   first_call_stack keygen|sign|verify   (TAVIK_BACKEND names the path)
// The keys and signature a first sign or verify needs come from a child process, so that this
// process has made no call before the one measured. Prints the depth the call reached.
#include <pthread.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "tavik.h"

namespace {

constexpr size_t STACK = 128 * 1024, PAGE = 4096;
constexpr uint8_t FILL = 0xA7;

struct Material {
  uint8_t pk[TAVIK_PK_BYTES], sk[TAVIK_SK_BYTES], sig[TAVIK_SIG_BYTES], msg[59];
};
Material mat;
const char *which = "";
int result = -100;

void *first_call(void *) {
  uint64_t siglen = 0;
  if (std::strcmp(which, "keygen") == 0) result = sig_keygen(mat.pk, mat.sk);
  if (std::strcmp(which, "sign") == 0) result = sig_sign(mat.sk, mat.msg, sizeof mat.msg, mat.sig, &siglen);
  if (std::strcmp(which, "verify") == 0) result = sig_verf(mat.pk, mat.sig, TAVIK_SIG_BYTES, mat.msg, sizeof mat.msg);
  return nullptr;
}

// Keys and a signature made by a child process, read through a pipe.
bool material_from_child() {
  int fds[2];
  if (pipe(fds) != 0) return false;
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    uint8_t seed[TAVIK_SEED_BYTES] = {42};
    uint64_t siglen = 0;
    const bool ok = sig_keygen_from_seed(mat.pk, mat.sk, seed) == 0 &&
                    sig_sign(mat.sk, mat.msg, sizeof mat.msg, mat.sig, &siglen) == 0;
    const bool sent = ok && write(fds[1], &mat, sizeof mat) == ssize_t(sizeof mat);
    _exit(sent ? 0 : 1);
  }
  close(fds[1]);
  size_t got = 0;
  ssize_t n;
  while (got < sizeof mat && (n = read(fds[0], reinterpret_cast<uint8_t *>(&mat) + got, sizeof mat - got)) > 0)
    got += size_t(n);
  close(fds[0]);
  int status = 0;
  return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
         got == sizeof mat;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) return 2;
  which = argv[1];
  if (std::strcmp(which, "keygen") != 0 && !material_from_child()) {
    std::printf("first_call_stack: the child could not make the keys\n");
    return 1;
  }
  // A stack of our own with an inaccessible page below it: an overflow faults.
  auto *map = static_cast<uint8_t *>(mmap(nullptr, STACK + PAGE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  if (map == MAP_FAILED) return 1;
  mprotect(map, PAGE, PROT_NONE);
  uint8_t *lo = map + PAGE;
  std::memset(lo, FILL, STACK);
  pthread_attr_t attr;
  pthread_t thread;
  pthread_attr_init(&attr);
  pthread_attr_setstack(&attr, lo, STACK);
  if (pthread_create(&thread, &attr, first_call, nullptr) != 0 || pthread_join(thread, nullptr) != 0) return 1;
  size_t untouched = 0;
  while (untouched < STACK && lo[untouched] == FILL) ++untouched;
  std::printf("first call %s: result %d, stack %zu bytes of %zu\n", which, result, STACK - untouched, STACK);
  return result == 0 ? 0 : 1;
}
