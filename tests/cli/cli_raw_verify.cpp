// Checks the tool's signatures without the tool. cli_raw_verify PK SIG MSG: sig_verf over raw
// files; with --ctx CTX first, tavik_verify_ctx under the context CTX. cli_raw_verify --files
// PUBFILE SIGFILE FILE: the library's reader of the tool's files and its streamed verification
// (--files-legacy: legacy versions allowed). cli_raw_verify --sign SK MSG SIG: a raw signature
// (tavik_sign) of MSG, as any program that signs bytes with the key makes one. Exits with 0
// (valid, or signed), 1 (invalid) or 3 (anything else).
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
  const std::string mode = argc > 1 ? argv[1] : "";
  if (argc == 5 && mode == "--sign") {
    const std::vector<uint8_t> sk = slurp(argv[2]), msg = slurp(argv[3]);
    uint8_t sig[TAVIK_SIG_BYTES];
    if (sk.size() != TAVIK_SK_BYTES || tavik_sign(sk.data(), msg.data(), msg.size(), sig) != TAVIK_OK) return 3;
    FILE *out = std::fopen(argv[4], "wb");
    const bool written = out != nullptr && std::fwrite(sig, 1, sizeof sig, out) == sizeof sig;
    return out != nullptr && std::fclose(out) == 0 && written ? 0 : 3;
  }
  if (argc == 6 && mode == "--ctx") {
    const std::vector<uint8_t> pk = slurp(argv[3]), sig = slurp(argv[4]), msg = slurp(argv[5]);
    const std::string ctx = argv[2];
    if (pk.size() != TAVIK_PK_BYTES) return 3;
    const int32_t r = tavik_verify_ctx(pk.data(), reinterpret_cast<const uint8_t *>(ctx.data()), ctx.size(), sig.data(),
                                       sig.size(), msg.data(), msg.size());
    return r == 0 || r == 1 ? r : 3;
  }
  if (argc == 5 && (mode == "--files" || mode == "--files-legacy")) {
    const std::vector<uint8_t> pub = slurp(argv[2]), sig = slurp(argv[3]);
    tavik_public_key_file k;
    tavik_signature_file s;
    if (tavik_public_key_file_parse(&k, reinterpret_cast<const char *>(pub.data()), pub.size()) != TAVIK_OK ||
        tavik_signature_file_parse(&s, reinterpret_cast<const char *>(sig.data()), sig.size()) != TAVIK_OK)
      return 3;
    FILE *f = std::fopen(argv[4], "rb");
    if (f == nullptr) return 3;
    const int32_t r = mode == "--files" ? tavik_file_verify_stream(&k, &s, f)
                                        : tavik_file_verify_stream_flags(&k, &s, f, TAVIK_FILE_ALLOW_LEGACY);
    std::fclose(f);
    return r == 0 || r == 1 ? r : 3;
  }
  if (argc != 4) return 3;
  const std::vector<uint8_t> pk = slurp(argv[1]), sig = slurp(argv[2]), msg = slurp(argv[3]);
  if (pk.size() != TAVIK_PK_BYTES) return 3;
  const int32_t r = sig_verf(pk.data(), sig.data(), sig.size(), msg.data(), msg.size());
  return r == 0 || r == 1 ? r : 3;
}
