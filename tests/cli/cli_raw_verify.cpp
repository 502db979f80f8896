// Checks the tool's signatures without the tool. cli_raw_verify PK SIG MSG: sig_verf over raw
// files. cli_raw_verify --files PUBFILE SIGFILE FILE: the library's reader of the tool's files and
// its streamed verification. Exits with 0 (valid), 1 (invalid) or 3 (anything else).
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tavik.h"
#include "tavik_files.h"

static std::vector<uint8_t> slurp(const char *path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

int main(int argc, char **argv) {
  if (argc == 5 && std::string(argv[1]) == "--files") {
    const std::vector<uint8_t> pub = slurp(argv[2]), sig = slurp(argv[3]);
    tavik_public_key_file k;
    tavik_signature_file s;
    if (tavik_public_key_file_parse(&k, reinterpret_cast<const char *>(pub.data()), pub.size()) != TAVIK_OK ||
        tavik_signature_file_parse(&s, reinterpret_cast<const char *>(sig.data()), sig.size()) != TAVIK_OK)
      return 3;
    FILE *f = std::fopen(argv[4], "rb");
    if (f == nullptr) return 3;
    const int32_t r = tavik_file_verify_stream(&k, &s, f);
    std::fclose(f);
    return r == 0 || r == 1 ? r : 3;
  }
  if (argc != 4) return 3;
  const std::vector<uint8_t> pk = slurp(argv[1]), sig = slurp(argv[2]), msg = slurp(argv[3]);
  if (pk.size() != TAVIK_PK_BYTES) return 3;
  const int32_t r = sig_verf(pk.data(), sig.data(), sig.size(), msg.data(), msg.size());
  return r == 0 || r == 1 ? r : 3;
}
