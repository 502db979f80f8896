// Known-answer generator for cross-checking the library against an independent model.
//
// Reads lines from standard input and answers each with one line on standard output:
//   "seed_hex msg_hex"          -> "pk_hex sk_hex sig_hex verdict", the key pair made by
//                                  sig_keygen_from_seed, the signature made by sig_sign and the
//                                  result of sig_verf on that signature;
//   "S sk_hex msg_hex"          -> "sig_hex", the signature sig_sign makes with the given
//                                  secret key (any 3056 bytes), without its check that the
//                                  key's parts agree;
//   "V pk_hex sig_hex msg_hex"  -> "verdict", the result of sig_verf on the given bytes (the
//                                  signature length passed is the number of bytes given; "-"
//                                  stands for an empty field).
// Hex output is upper case. Exits with 1 on a call that fails, 2 on a malformed line.
#include <cstdint>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "signature.h"
#include "tavik.h"

namespace {

// Decodes hex text ("-" is empty) into out; false on an odd length or a non-hex digit.
bool from_hex(const std::string &text, std::vector<uint8_t> &out) {
  out.clear();
  if (text == "-") return true;
  if (text.size() % 2 != 0) return false;
  auto digit = [](char ch) -> int {
    if (ch >= '0' && ch <= '9') return ch - '0';
    if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
    return -1;
  };
  for (size_t i = 0; i < text.size(); i += 2) {
    const int hi = digit(text[i]);
    const int lo = digit(text[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out.push_back(static_cast<uint8_t>(hi * 16 + lo));
  }
  return true;
}

// Upper-case hex text of bytes[0..len).
std::string to_hex(const uint8_t *bytes, size_t len) {
  static const char digits[] = "0123456789ABCDEF";
  std::string text(2 * len, '0');
  for (size_t i = 0; i < len; ++i) {
    text[2 * i] = digits[bytes[i] >> 4];
    text[2 * i + 1] = digits[bytes[i] & 15];
  }
  return text;
}

// Pointer to the first byte, or a valid dummy address for an empty buffer (never null, so an
// empty field reaches the library as a length error rather than a null pointer).
const uint8_t *data_or_dummy(const std::vector<uint8_t> &v) {
  static const uint8_t dummy = 0;
  return v.empty() ? &dummy : v.data();
}

// Answers one "seed msg" line; returns the exit status to stop with, or 0 to go on.
int keygen_sign_verify(const std::vector<uint8_t> &seed, const std::vector<uint8_t> &msg) {
  static uint8_t pk[TAVIK_PK_BYTES], sk[TAVIK_SK_BYTES], sig[TAVIK_SIG_BYTES];
  if (seed.size() != TAVIK_SEED_BYTES) {
    std::cerr << "seed must be " << TAVIK_SEED_BYTES << " bytes\n";
    return 2;
  }
  if (sig_keygen_from_seed(pk, sk, seed.data()) != TAVIK_OK) {
    std::cerr << "sig_keygen_from_seed failed\n";
    return 1;
  }
  uint64_t siglen = 0;
  if (sig_sign(sk, data_or_dummy(msg), msg.size(), sig, &siglen) != TAVIK_OK ||
      siglen != TAVIK_SIG_BYTES) {
    std::cerr << "sig_sign failed for a message of " << msg.size() << " bytes\n";
    return 1;
  }
  const int32_t verdict = sig_verf(pk, sig, siglen, data_or_dummy(msg), msg.size());
  std::cout << to_hex(pk, sizeof pk) << ' ' << to_hex(sk, sizeof sk) << ' '
            << to_hex(sig, sizeof sig) << ' ' << verdict << '\n';
  return 0;
}

}  // namespace

int main() {
  std::string line;
  std::vector<uint8_t> a, b, c;
  while (std::getline(std::cin, line)) {
    std::istringstream fields(line);
    std::vector<std::string> words;
    for (std::string w; fields >> w;) words.push_back(w);
    if (words.empty()) continue;
    if (words.size() == 4 && words[0] == "V") {
      if (!from_hex(words[1], a) || !from_hex(words[2], b) || !from_hex(words[3], c) ||
          a.size() != TAVIK_PK_BYTES) {
        std::cerr << "malformed verification line\n";
        return 2;
      }
      std::cout << sig_verf(a.data(), data_or_dummy(b), b.size(), data_or_dummy(c), c.size())
                << '\n';
    } else if (words.size() == 3 && words[0] == "S") {
      if (!from_hex(words[1], a) || !from_hex(words[2], b) || a.size() != TAVIK_SK_BYTES) {
        std::cerr << "malformed signing line\n";
        return 2;
      }
      static uint8_t sig[TAVIK_SIG_BYTES];
      uint64_t siglen = 0;
      // Its keys carry a chosen t0 that disagrees with the rest, which sig_sign refuses.
      tavik::SignStats stats;
      stats.unchecked_key = true;
      if (tavik::sign_with_stats(a.data(), data_or_dummy(b), b.size(), sig, &siglen, &stats) != TAVIK_OK ||
          siglen != TAVIK_SIG_BYTES) {
        std::cerr << "sig_sign failed for a message of " << b.size() << " bytes\n";
        return 1;
      }
      std::cout << to_hex(sig, sizeof sig) << '\n';
    } else if (words.size() == 2) {
      if (!from_hex(words[0], a) || !from_hex(words[1], b)) {
        std::cerr << "malformed seed and message line\n";
        return 2;
      }
      const int status = keygen_sign_verify(a, b);
      if (status != 0) return status;
    } else {
      std::cerr << "expected \"seed_hex msg_hex\", \"S sk_hex msg_hex\" or "
                   "\"V pk_hex sig_hex msg_hex\"\n";
      return 2;
    }
  }
  std::cout.flush();
  return std::cout ? 0 : 1;
}
