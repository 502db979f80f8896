// Writes the known-answer files PQCsignKAT_3056.req and PQCsignKAT_3056.rsp into the current
// directory, by the procedure every signature implementation of this kind follows: a CTR_DRBG
// seeded with the bytes 0..47 draws 100 seeds and messages of 33, 66, ..., 3300 bytes; each record's
// key pair comes from a DRBG seeded with that record's seed, and its signed message from
// crypto_sign, checked with crypto_sign_open.
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "ctr_drbg.h"
#include "tavik.h"
#include "tavik_api.h"

namespace {

using tavik::kat::CtrDrbg;

constexpr int kRecords = 100;

struct Record {
  uint8_t seed[CtrDrbg::SEED_BYTES];
  std::vector<uint8_t> msg;
};

void put_hex(FILE *f, const char *name, const uint8_t *p, size_t len) {
  std::fprintf(f, "%s = ", name);
  for (size_t i = 0; i < len; ++i) std::fprintf(f, "%02X", p[i]);
  if (len == 0) std::fputs("00", f);
  std::fputc('\n', f);
}

// count, seed, mlen and msg lines of a record.
void put_head(FILE *f, int count, const Record &r) {
  std::fprintf(f, "count = %d\n", count);
  put_hex(f, "seed", r.seed, sizeof r.seed);
  std::fprintf(f, "mlen = %zu\n", r.msg.size());
  put_hex(f, "msg", r.msg.data(), r.msg.size());
}

bool write_rsp_record(FILE *f, int count, const Record &r) {
  static uint8_t pk[CRYPTO_PUBLICKEYBYTES], sk[CRYPTO_SECRETKEYBYTES];
  CtrDrbg drbg(r.seed);
  // crypto_sign_keypair with its 32 random bytes taken from the record's DRBG.
  uint8_t keyseed[TAVIK_SEED_BYTES];
  drbg.generate(keyseed, sizeof keyseed);
  if (sig_keygen_from_seed(pk, sk, keyseed) != TAVIK_OK) return false;

  const unsigned long long mlen = r.msg.size();
  std::vector<uint8_t> sm(mlen + CRYPTO_BYTES), opened(mlen + CRYPTO_BYTES);
  unsigned long long smlen = 0, mlen1 = 0;
  if (crypto_sign(sm.data(), &smlen, r.msg.data(), mlen, sk) != 0) return false;
  if (crypto_sign_open(opened.data(), &mlen1, sm.data(), smlen, pk) != 0 || mlen1 != mlen ||
      std::memcmp(opened.data(), r.msg.data(), mlen) != 0) {
    std::fprintf(stderr, "tavik_genkat: crypto_sign_open refused record %d\n", count);
    return false;
  }
  put_head(f, count, r);
  put_hex(f, "pk", pk, sizeof pk);
  put_hex(f, "sk", sk, sizeof sk);
  std::fprintf(f, "smlen = %llu\n", smlen);
  put_hex(f, "sm", sm.data(), smlen);
  std::fputc('\n', f);
  return true;
}

bool run() {
  std::vector<Record> records(kRecords);
  uint8_t entropy[CtrDrbg::SEED_BYTES];
  for (size_t i = 0; i < sizeof entropy; ++i) entropy[i] = uint8_t(i);
  CtrDrbg drbg(entropy);
  for (int i = 0; i < kRecords; ++i) {
    drbg.generate(records[i].seed, sizeof records[i].seed);
    records[i].msg.resize(33 * size_t(i + 1));
    drbg.generate(records[i].msg.data(), records[i].msg.size());
  }

  FILE *req = std::fopen("PQCsignKAT_3056.req", "w");
  FILE *rsp = std::fopen("PQCsignKAT_3056.rsp", "w");
  bool ok = req != nullptr && rsp != nullptr;
  if (ok) {
    std::fprintf(rsp, "# %s\n\n", CRYPTO_ALGNAME);
    for (int i = 0; i < kRecords && ok; ++i) {
      put_head(req, i, records[i]);
      std::fputs("pk =\nsk =\nsmlen =\nsm =\n\n", req);
      ok = write_rsp_record(rsp, i, records[i]);
    }
  }
  if (req != nullptr && std::fclose(req) != 0) ok = false;
  if (rsp != nullptr && std::fclose(rsp) != 0) ok = false;
  return ok;
}

constexpr const char *USAGE =
    "usage: tavik_genkat\n"
    "  Writes the known-answer files PQCsignKAT_3056.req and PQCsignKAT_3056.rsp into the current\n"
    "  directory (replacing any there) and checks every record's signed message.\n"
    "  --help  print this text\n";

}  // namespace

int main(int argc, char **argv) {
  // Any argument but --help is a mistake: no files are written then.
  if (argc > 1) {
    const bool help = argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0);
    std::fputs(USAGE, help ? stdout : stderr);
    return help ? 0 : 2;
  }
  try {
    if (run()) return 0;
  } catch (const std::exception &e) {
    std::fprintf(stderr, "tavik_genkat: %s\n", e.what());
  }
  std::fprintf(stderr, "tavik_genkat: could not write PQCsignKAT_3056.req and .rsp\n");
  return 1;
}
