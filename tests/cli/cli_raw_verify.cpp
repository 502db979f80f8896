// sig_verf over raw files: cli_raw_verify PK SIG MSG exits with 0 (valid), 1 (invalid) or
// 3 (illegal argument, unreadable file). Lets the tool's tests check its signatures without it.
#include <fstream>
#include <iterator>
#include <vector>

#include "tavik.h"

static std::vector<uint8_t> slurp(const char *path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

int main(int argc, char **argv) {
  if (argc != 4) return 3;
  const std::vector<uint8_t> pk = slurp(argv[1]), sig = slurp(argv[2]), msg = slurp(argv[3]);
  if (pk.size() != TAVIK_PK_BYTES) return 3;
  const int32_t r = sig_verf(pk.data(), sig.data(), sig.size(), msg.data(), msg.size());
  return r == 0 || r == 1 ? r : 3;
}
