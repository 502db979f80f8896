// The tool's public key and signature files read by the library: files the version 1, 2 and 3
// tools wrote verify (the first two only when legacy versions are allowed), a table of changed,
// truncated and garbled files gives each its code, and no signature made for one version, for
// another context or for no context at all passes for another.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "tavik.h"
#include "tavik_files.h"

namespace {

std::string fixture(const char *name) {
  std::ifstream in(std::string(TAVIK_TEST_SOURCE_DIR) + "/cli/fixtures/" + name, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  EXPECT_TRUE(in.good()) << name;
  return s.str();
}

std::string replaced(std::string text, const std::string &from, const std::string &to) {
  const size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

// Verifies `file` with a parsed key and signature, streamed in pieces of 7 bytes; the first code
// that is not TAVIK_OK, or the verdict.
int32_t check(const tavik_public_key_file &k, const tavik_signature_file &s, const std::string &file,
              uint32_t flags) {
  tavik_file_verify_state st;
  int32_t r = tavik_file_verify_init_flags(&st, &k, &s, flags);
  if (r != TAVIK_OK) return r;
  for (size_t i = 0; i < file.size(); i += 7)
    tavik_file_verify_update(&st, reinterpret_cast<const uint8_t *>(file.data()) + i,
                             std::min<size_t>(7, file.size() - i));
  return tavik_file_verify_final(&st);
}

// Parses both files and checks `file` with them, legacy versions allowed unless flags say otherwise.
int32_t check(const std::string &pub, const std::string &sig, const std::string &file,
              uint32_t flags = TAVIK_FILE_ALLOW_LEGACY) {
  tavik_public_key_file k;
  tavik_signature_file s;
  int32_t r = tavik_public_key_file_parse(&k, pub.data(), pub.size());
  if (r != TAVIK_OK) return r;
  if ((r = tavik_signature_file_parse(&s, sig.data(), sig.size())) != TAVIK_OK) return r;
  return check(k, s, file, flags);
}

TEST(ToolFiles, FilesOfEveryVersionAndTheirFaults) {
  const std::string pub = fixture("v1.pub"), other = fixture("v1-sealed.pub"), file = fixture("hello.txt");
  const std::string v1 = fixture("hello.txt.tsig"), v2 = fixture("hello.txt.v2.tsig");
  const std::string v3 = fixture("hello.txt.v3.tsig");
  const std::string comment = "trusted-comment: timestamp:1700000000 file:hello.txt";
  const size_t data = v2.find("data:\n") + 6;
  // The first line of base64 of each file, and the last character before the padding of a key.
  const std::string pub_line = pub.substr(pub.find("data:\n") + 6, 64), sig_line = v2.substr(data, 64);
  const size_t last = pub.rfind('=') - 1;
  std::string starred = pub_line, padded = pub_line, moved = file;
  starred[0] = '*';
  padded[10] = '=';
  moved.insert(moved.begin(), 't');
  std::string odd_bits = pub;
  const std::string b64 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  odd_bits[last] = b64[b64.find(pub[last]) ^ 1];  // changes a bit after the last byte only
  std::string flipped = sig_line;
  flipped[20] = b64[b64.find(sig_line[20]) ^ 8];
  const struct {
    const char *name;
    std::string pub, sig, file;
    int32_t want;
  } cases[] = {
      {"version 1", pub, v1, file, TAVIK_OK},
      {"version 2", pub, v2, file, TAVIK_OK},
      {"version 3", pub, v3, file, TAVIK_OK},
      {"changed file, version 3", pub, v3, file + "!", TAVIK_INVALID_SIGNATURE},
      {"changed trusted comment, version 3", pub, replaced(v3, "1700000000", "1700000001"), file,
       TAVIK_INVALID_SIGNATURE},
      {"line ends \\r\\n", replaced(pub, "\n", "\r\n"), replaced(v2, "\n", "\r\n"), file, TAVIK_OK},
      {"changed file, version 1", pub, v1, file + "!", TAVIK_INVALID_SIGNATURE},
      {"changed file, version 2", pub, v2, file + "!", TAVIK_INVALID_SIGNATURE},
      {"changed trusted comment", pub, replaced(v2, "1700000000", "1700000001"), file, TAVIK_INVALID_SIGNATURE},
      {"empty trusted comment", pub, replaced(v2, comment, "trusted-comment: "), file, TAVIK_INVALID_SIGNATURE},
      // The last byte of the comment moved into the file: the comment's length keeps them apart.
      {"comment byte moved to the file", pub, replaced(v2, comment, comment.substr(0, comment.size() - 1)),
       moved, TAVIK_INVALID_SIGNATURE},
      {"changed untrusted comment", pub, replaced(v2, "made by", "changed by"), file, TAVIK_OK},
      // A version 1 signature read as version 2 (and back) covers another message.
      {"version 1 as version 2", pub,
       replaced(replaced(v1, " v1\n", " v2\n"), "data:", "untrusted-comment: \ntrusted-comment: \ndata:"), file,
       TAVIK_INVALID_SIGNATURE},
      {"version 2 as version 1", pub,
       replaced(replaced(replaced(v2, " v2\n", " v1\n"), "untrusted-comment: made by the version 2 tool\n", ""),
                comment + "\n", ""),
       file, TAVIK_INVALID_SIGNATURE},
      {"another key", other, v2, file, TAVIK_FILE_OTHER_KEY},
      {"another key, its id forged", other,
       replaced(v2, "key-id: 01962823635c1a29", "key-id: " + other.substr(other.find("key-id: ") + 8, 16)), file,
       TAVIK_INVALID_SIGNATURE},
      {"changed signature", pub, replaced(v2, sig_line, flipped), file, TAVIK_INVALID_SIGNATURE},
      {"empty", "", v2, file, TAVIK_FILE_NOT_TAVIK},
      {"not a tavik file", "hello\n", v2, file, TAVIK_FILE_NOT_TAVIK},
      {"signature as key", v2, v2, file, TAVIK_FILE_WRONG_KIND},
      {"key as signature", pub, pub, file, TAVIK_FILE_WRONG_KIND},
      {"unknown key version", replaced(pub, " v1\n", " v2\n"), v2, file, TAVIK_FILE_UNKNOWN_VERSION},
      {"unknown signature version", pub, replaced(v2, " v2\n", " v4\n"), file, TAVIK_FILE_UNKNOWN_VERSION},
      // A version is the whole rest of the line, not a prefix of it.
      {"key version v10", replaced(pub, " v1\n", " v10\n"), v2, file, TAVIK_FILE_UNKNOWN_VERSION},
      {"key version v1x", replaced(pub, " v1\n", " v1x\n"), v2, file, TAVIK_FILE_UNKNOWN_VERSION},
      {"signature version v20", pub, replaced(v2, " v2\n", " v20\n"), file, TAVIK_FILE_UNKNOWN_VERSION},
      {"signature version v1x", pub, replaced(v1, " v1\n", " v1x\n"), file, TAVIK_FILE_UNKNOWN_VERSION},
      {"cut before the data line", pub, v2.substr(0, data - 6), file, TAVIK_FILE_BAD_FIELDS},
      {"cut in the data", pub, v2.substr(0, data + 100), file, TAVIK_FILE_BAD_BASE64},
      {"cut after a data line", pub.substr(0, pub.find("data:\n") + 6 + 65), v2, file, TAVIK_FILE_BAD_LENGTH},
      {"missing comment", pub, replaced(v2, comment + "\n", ""), file, TAVIK_FILE_BAD_FIELDS},
      {"comments swapped", pub,
       replaced(replaced(v2, "untrusted-comment:", "x-comment:"), "trusted-comment:", "untrusted-comment:"), file,
       TAVIK_FILE_BAD_FIELDS},
      {"extra field", replaced(pub, "data:", "comment: hi\ndata:"), v2, file, TAVIK_FILE_BAD_FIELDS},
      {"field without a value separator", replaced(pub, "key-id: ", "key-id:"), v2, file, TAVIK_FILE_BAD_FIELDS},
      {"malformed key id", replaced(pub, "key-id: 01962823635c1a29", "key-id: 01962823635C1A29"), v2, file,
       TAVIK_FILE_BAD_KEY_ID},
      {"key id not the key's", replaced(pub, "key-id: 01962823635c1a29", "key-id: 0000000000000000"), v2, file,
       TAVIK_FILE_KEY_ID_MISMATCH},
      {"control byte in a comment", pub, replaced(v2, "made by", "made\x1b by"), file, TAVIK_FILE_BAD_COMMENT},
      {"DEL in the untrusted comment", pub, replaced(v2, "made by", "made\x7f by"), file, TAVIK_FILE_BAD_COMMENT},
      {"DEL in the trusted comment", pub, replaced(v2, "file:hello", "file:\x7fhello"), file, TAVIK_FILE_BAD_COMMENT},
      {"comment of 1025 bytes", pub, replaced(v2, comment, "trusted-comment: " + std::string(1025, 'x')), file,
       TAVIK_FILE_BAD_COMMENT},
      {"character outside base64", replaced(pub, pub_line, starred), v2, file, TAVIK_FILE_BAD_BASE64},
      {"padding inside", replaced(pub, pub_line, padded), v2, file,
       TAVIK_FILE_BAD_BASE64},
      {"nonzero bits after the last byte", odd_bits, v2, file, TAVIK_FILE_BAD_BASE64},
      {"more than 64 KiB", pub + std::string(65537 - pub.size(), '\n'), v2, file, TAVIK_FILE_TOO_LARGE},
      {"64 KiB exactly", pub + std::string(65536 - pub.size(), '\n'), v2, file, TAVIK_OK},
  };
  for (const auto &c : cases) EXPECT_EQ(check(c.pub, c.sig, c.file), c.want) << c.name;
  // Without the flag only version 3 verifies: the legacy versions are refused, valid or not.
  for (const auto &[sig, want] : {std::pair{v1, TAVIK_FILE_LEGACY_VERSION}, std::pair{v2, TAVIK_FILE_LEGACY_VERSION},
                                  std::pair{v3, TAVIK_OK}})
    EXPECT_EQ(check(pub, sig, file, 0), want) << sig.substr(0, 18);
  // The bytes next to the alphabet's ranges ('@' '[' '`' '{' '/' ':'), a NUL, bytes above 0x7f:
  // none is base64, in a key or in a signature.
  for (const char c : {'@', '[', '`', '{', ':', '\0', '\x80', '\xbf', '\xff', '-', '_'}) {
    std::string bad_pub = pub_line, bad_sig = sig_line;
    bad_pub[5] = bad_sig[5] = c;
    EXPECT_EQ(check(replaced(pub, pub_line, bad_pub), v2, file), TAVIK_FILE_BAD_BASE64) << int(c);
    EXPECT_EQ(check(pub, replaced(v2, sig_line, bad_sig), file), TAVIK_FILE_BAD_BASE64) << int(c);
  }

  // What the parser hands out; the key given inline; a stdio stream; null pointers.
  tavik_public_key_file k, inline_k;
  tavik_signature_file s, s1;
  ASSERT_EQ(tavik_public_key_file_parse(&k, pub.data(), pub.size()), TAVIK_OK);
  ASSERT_EQ(tavik_signature_file_parse(&s, v2.data(), v2.size()), TAVIK_OK);
  ASSERT_EQ(tavik_signature_file_parse(&s1, v1.data(), v1.size()), TAVIK_OK);
  EXPECT_STREQ(k.key_id, "01962823635c1a29");
  EXPECT_EQ(s.version, 2u);
  EXPECT_STREQ(s.trusted_comment, "timestamp:1700000000 file:hello.txt");
  EXPECT_EQ(s.trusted_comment_len, 35u);
  EXPECT_STREQ(s.untrusted_comment, "made by the version 2 tool");
  EXPECT_EQ(s1.version, 1u);
  EXPECT_STREQ(s1.trusted_comment, "");
  std::string joined;
  for (size_t at = pub.find("data:\n") + 6; at < pub.size(); ++at)
    if (pub[at] != '\n') joined += pub[at];
  ASSERT_EQ(tavik_public_key_file_from_base64(&inline_k, joined.data(), joined.size()), TAVIK_OK);
  EXPECT_EQ(std::memcmp(&inline_k, &k, sizeof k), 0);
  EXPECT_EQ(tavik_public_key_file_from_base64(&inline_k, joined.data(), joined.size() - 4), TAVIK_FILE_BAD_LENGTH);
  // A stdio stream, and the calls without flags, on the scheme's own state: version 3 only.
  tavik_signature_file s3;
  ASSERT_EQ(tavik_signature_file_parse(&s3, v3.data(), v3.size()), TAVIK_OK);
  const struct {
    const tavik_signature_file *sig;
    std::string text;
    uint32_t flags;
    int32_t want;
  } streams[] = {{&s3, file, 0, TAVIK_OK}, {&s3, file + "\n", 0, TAVIK_INVALID_SIGNATURE},
                 {&s, file, 0, TAVIK_FILE_LEGACY_VERSION}, {&s, file, TAVIK_FILE_ALLOW_LEGACY, TAVIK_OK}};
  for (const auto &c : streams) {
    FILE *f = fmemopen(const_cast<char *>(c.text.data()), c.text.size(), "rb");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(c.flags == 0 ? tavik_file_verify_stream(&k, c.sig, f) : tavik_file_verify_stream_flags(&k, c.sig, f, c.flags),
              c.want);
    std::fclose(f);
    tavik_verify_state st;
    const int32_t init = tavik_file_verify_init(&st, &k, c.sig);
    EXPECT_EQ(init, c.sig->version == 3 ? TAVIK_OK : TAVIK_FILE_LEGACY_VERSION);
    if (init != TAVIK_OK || c.flags != 0) continue;
    tavik_verify_update(&st, reinterpret_cast<const uint8_t *>(c.text.data()), c.text.size());
    EXPECT_EQ(tavik_verify_final(&st, c.sig->sig, TAVIK_SIG_BYTES), c.want);
  }
  EXPECT_EQ(tavik_public_key_file_parse(nullptr, pub.data(), pub.size()), TAVIK_ILLEGAL_PARAMETER);
  EXPECT_EQ(tavik_signature_file_parse(&s, nullptr, 1), TAVIK_ILLEGAL_PARAMETER);
  EXPECT_EQ(tavik_file_verify_stream(&k, &s, nullptr), TAVIK_ILLEGAL_PARAMETER);
  EXPECT_STRNE(tavik_file_error_string(TAVIK_FILE_BAD_COMMENT), "");
}

// A file signed through the library's own call verifies as version 3 with its comment and no other;
// comments the parser would refuse are refused when signing.
TEST(ToolFiles, SignsTheVersion3Form) {
  uint8_t seed[TAVIK_SEED_BYTES] = {7}, sk[TAVIK_SK_BYTES];
  tavik_public_key_file k;
  ASSERT_EQ(sig_keygen_from_seed(k.pk, sk, seed), TAVIK_OK);
  tavik_sign_state st;
  const std::string comment = "release 1.0", file = "contents";
  ASSERT_EQ(tavik_file_sign_init_hedged(&st, sk, comment.data(), comment.size()), TAVIK_OK);
  tavik_sign_update(&st, reinterpret_cast<const uint8_t *>(file.data()), file.size());
  tavik_signature_file s{};
  ASSERT_EQ(tavik_sign_final(&st, s.sig), TAVIK_OK);
  s.version = TAVIK_FILE_SIGNATURE_VERSION;
  // verify_init compares the ids as text only.
  std::snprintf(k.key_id, sizeof k.key_id, "0123456789abcdef");
  std::memcpy(s.key_id, k.key_id, sizeof s.key_id);
  for (const auto &[tc, want] : {std::pair{comment, TAVIK_OK}, std::pair{std::string("release 1.1"), 1}}) {
    std::snprintf(s.trusted_comment, sizeof s.trusted_comment, "%s", tc.c_str());
    s.trusted_comment_len = uint32_t(tc.size());
    tavik_verify_state vs;
    ASSERT_EQ(tavik_file_verify_init(&vs, &k, &s), TAVIK_OK);
    tavik_verify_update(&vs, reinterpret_cast<const uint8_t *>(file.data()), file.size());
    EXPECT_EQ(tavik_verify_final(&vs, s.sig, TAVIK_SIG_BYTES), want) << tc;
  }
  for (const std::string &bad : {std::string("two\nlines"), std::string("a\x7f"), std::string(1025, 'x')})
    EXPECT_EQ(tavik_file_sign_init_hedged(&st, sk, bad.data(), bad.size()), TAVIK_ILLEGAL_PARAMETER);

  // Hedged: two signatures of one file with one comment differ (a deterministic signer would give
  // equal ones, and a damaged key could then give itself away).
  uint8_t again[TAVIK_SIG_BYTES];
  ASSERT_EQ(tavik_file_sign_init_hedged(&st, sk, comment.data(), comment.size()), TAVIK_OK);
  tavik_sign_update(&st, reinterpret_cast<const uint8_t *>(file.data()), file.size());
  ASSERT_EQ(tavik_sign_final(&st, again), TAVIK_OK);
  EXPECT_NE(std::memcmp(again, s.sig, sizeof again), 0) << "two signatures of one file are equal";

  // A key damaged in one bit (of rho, s1, tr or t0) is refused and the state is not touched.
  for (const size_t bit : {size_t(0), size_t(8 * 100 + 3), size_t(8 * 930), size_t(8 * 2000 + 7)}) {
    uint8_t damaged[TAVIK_SK_BYTES];
    std::memcpy(damaged, sk, sizeof damaged);
    damaged[bit / 8] ^= uint8_t(1u << (bit % 8));
    tavik_sign_state fresh, before;
    std::memset(&fresh, 0x5a, sizeof fresh);
    before = fresh;
    EXPECT_EQ(tavik_file_sign_init_hedged(&fresh, damaged, comment.data(), comment.size()), TAVIK_ILLEGAL_PARAMETER)
        << "bit " << bit;
    EXPECT_EQ(std::memcmp(&fresh, &before, sizeof fresh), 0) << "bit " << bit;
  }
}

// The µ of a file signature, signed by a µ signer, is the version 3 signature: byte for byte the
// deterministic signature of the comment's length, the comment and the file under the file context,
// and the file verifier takes it with its comment only.
TEST(ToolFiles, MuOfTheVersion3Form) {
  uint8_t seed[TAVIK_SEED_BYTES] = {5}, sk[TAVIK_SK_BYTES], mu[TAVIK_MU_BYTES], framed_sig[TAVIK_SIG_BYTES];
  tavik_public_key_file k;
  ASSERT_EQ(sig_keygen_from_seed(k.pk, sk, seed), TAVIK_OK);
  const std::string comment = "timestamp:1 file:a.tar", file(5000, 'f');
  tavik_mu_state ms;
  ASSERT_EQ(tavik_file_mu_init(&ms, k.pk, comment.data(), comment.size()), TAVIK_OK);
  const auto *bytes = reinterpret_cast<const uint8_t *>(file.data());
  ASSERT_EQ(tavik_mu_update(&ms, bytes, 1234), TAVIK_OK);
  ASSERT_EQ(tavik_mu_update(&ms, bytes + 1234, file.size() - 1234), TAVIK_OK);
  ASSERT_EQ(tavik_mu_final(&ms, mu), TAVIK_OK);
  tavik_signature_file s{};
  ASSERT_EQ(tavik_sign_mu(sk, mu, s.sig), TAVIK_OK);
  const std::string framed = std::string{'\0', '\0', '\0', char(comment.size())} + comment + file;
  ASSERT_EQ(tavik_sign_ctx(sk, reinterpret_cast<const uint8_t *>(TAVIK_FILE_V3_CONTEXT), 23,
                           reinterpret_cast<const uint8_t *>(framed.data()), framed.size(), framed_sig),
            TAVIK_OK);
  EXPECT_EQ(std::memcmp(s.sig, framed_sig, sizeof framed_sig), 0);
  s.version = TAVIK_FILE_SIGNATURE_VERSION;
  std::snprintf(k.key_id, sizeof k.key_id, "0123456789abcdef");
  std::memcpy(s.key_id, k.key_id, sizeof s.key_id);
  for (const auto &[tc, want] : {std::pair{comment, TAVIK_OK}, std::pair{std::string("timestamp:2"), 1}}) {
    std::snprintf(s.trusted_comment, sizeof s.trusted_comment, "%s", tc.c_str());
    s.trusted_comment_len = uint32_t(tc.size());
    EXPECT_EQ(check(k, s, file, 0), want) << tc;
  }
  // What the signing call refuses, this one refuses: comments the parser would not read, no key.
  for (const std::string &bad : {std::string("two\nlines"), std::string(1025, 'x')})
    EXPECT_EQ(tavik_file_mu_init(&ms, k.pk, bad.data(), bad.size()), TAVIK_ILLEGAL_PARAMETER);
  EXPECT_EQ(tavik_file_mu_init(&ms, nullptr, "", 0), TAVIK_ILLEGAL_PARAMETER);
  EXPECT_EQ(tavik_file_mu_init(&ms, k.pk, nullptr, 1), TAVIK_ILLEGAL_PARAMETER);
}

// Signatures made for one purpose, wrapped as a file signature of some version: only the one made
// for that version verifies as it, and version 3 takes nothing but its own.
TEST(ToolFiles, NoSignaturePassesForAnotherVersion) {
  uint8_t seed[TAVIK_SEED_BYTES] = {9}, sk[TAVIK_SK_BYTES];
  tavik_public_key_file k;
  ASSERT_EQ(sig_keygen_from_seed(k.pk, sk, seed), TAVIK_OK);
  std::snprintf(k.key_id, sizeof k.key_id, "0123456789abcdef");
  const std::string comment = "timestamp:1700000000 file:release-2.0.tar.gz", file = "chosen content\n";
  const std::string framed = std::string{char(0), char(0), char(0), char(comment.size())} + comment + file;
  const std::string v2_message = std::string("tavik file signature v2", 24) + framed;
  const auto raw = [&](const std::string &m, const char *ctx = "") {
    tavik_signature_file s{};
    std::memcpy(s.key_id, k.key_id, sizeof s.key_id);
    EXPECT_EQ(tavik_sign_ctx(sk, reinterpret_cast<const uint8_t *>(ctx), std::strlen(ctx),
                             reinterpret_cast<const uint8_t *>(m.data()), m.size(), s.sig),
              TAVIK_OK);
    return s;
  };
  const auto as = [&](tavik_signature_file s, uint32_t version) {
    s.version = version;
    const std::string tc = version == 1 ? "" : comment;
    std::memcpy(s.trusted_comment, tc.c_str(), tc.size() + 1);
    s.trusted_comment_len = uint32_t(tc.size());
    return s;
  };
  tavik_signature_file v3{};
  tavik_sign_state st;
  ASSERT_EQ(tavik_file_sign_init_hedged(&st, sk, comment.data(), comment.size()), TAVIK_OK);
  tavik_sign_update(&st, reinterpret_cast<const uint8_t *>(file.data()), file.size());
  ASSERT_EQ(tavik_sign_final(&st, v3.sig), TAVIK_OK);
  std::memcpy(v3.key_id, k.key_id, sizeof v3.key_id);
  // The forgery of version 2: any raw signature of label || length || comment || content.
  const tavik_signature_file forged = raw(v2_message), of_file = raw(file), of_framed = raw(framed);
  const tavik_signature_file other_ctx = raw(framed, "tavik file signature v4");
  const uint32_t legacy = TAVIK_FILE_ALLOW_LEGACY;
  const struct {
    const char *why;
    tavik_signature_file sig;
    std::string file;
    uint32_t flags;
    int32_t want;
  } cases[] = {
      {"its own version", as(v3, 3), file, 0, TAVIK_OK},
      {"forged version 2: refused by default", as(forged, 2), file, 0, TAVIK_FILE_LEGACY_VERSION},
      {"forged version 2, legacy allowed: it verifies, as version 2 always let it", as(forged, 2), file, legacy, TAVIK_OK},
      {"forged version 2 as version 3: no context", as(forged, 3), file, legacy, TAVIK_INVALID_SIGNATURE},
      {"raw signature of version 3's bytes: no context", as(of_framed, 3), file, legacy, TAVIK_INVALID_SIGNATURE},
      {"raw signature of the file as version 3", as(of_file, 3), file, legacy, TAVIK_INVALID_SIGNATURE},
      {"another context on version 3's bytes", as(other_ctx, 3), file, legacy, TAVIK_INVALID_SIGNATURE},
      {"version 3 as version 2: under a context", as(v3, 2), file, legacy, TAVIK_INVALID_SIGNATURE},
      {"version 3 as version 1", as(v3, 1), file, legacy, TAVIK_INVALID_SIGNATURE},
      {"version 2 as version 1 of the file", as(forged, 1), file, legacy, TAVIK_INVALID_SIGNATURE},
      // Valid as version 1 of the file that is the version 2 message: refused, verdict unseen.
      {"version 2 as version 1 of its message", as(forged, 1), v2_message, legacy, TAVIK_FILE_LEGACY_LABELLED},
      {"version 1 of a file", as(of_file, 1), file, legacy, TAVIK_OK},
      // The label is 24 bytes with its zero: a file that only begins with its text is no message of it.
      {"version 1 of a file of the label without its zero", as(raw(v2_message.substr(0, 23)), 1),
       v2_message.substr(0, 23), legacy, TAVIK_OK},
  };
  for (const auto &c : cases) EXPECT_EQ(check(k, c.sig, c.file, c.flags), c.want) << c.why;

  // A state that was not started, or is finished, and an unknown flag are refused.
  tavik_file_verify_state fst{};
  const tavik_signature_file s3 = as(v3, 3);
  EXPECT_EQ(tavik_file_verify_update(&fst, nullptr, 0), TAVIK_ILLEGAL_PARAMETER);
  EXPECT_EQ(tavik_file_verify_final(&fst), TAVIK_ILLEGAL_PARAMETER);
  EXPECT_EQ(tavik_file_verify_init_flags(&fst, &k, &s3, 2), TAVIK_ILLEGAL_PARAMETER);
  ASSERT_EQ(tavik_file_verify_init_flags(&fst, &k, &s3, 0), TAVIK_OK);
  EXPECT_EQ(tavik_file_verify_update(&fst, reinterpret_cast<const uint8_t *>(&fst) + 8, 4), TAVIK_ILLEGAL_PARAMETER)
      << "data inside the state";
  tavik_file_verify_update(&fst, reinterpret_cast<const uint8_t *>(file.data()), file.size());
  EXPECT_EQ(tavik_file_verify_final(&fst), TAVIK_OK);
  EXPECT_EQ(tavik_file_verify_final(&fst), TAVIK_ILLEGAL_PARAMETER) << "finished";
}

}  // namespace

// The writers make what the tool writes and what the parser reads back: the fixture's own bytes for
// a public key and a version 3 signature, and refuse what the parser would refuse.
TEST(ToolFiles, WritesTheFilesTheToolWrites) {
  const std::string pub = fixture("v1.pub"), v3 = fixture("hello.txt.v3.tsig");
  tavik_public_key_file k, made;
  tavik_signature_file s;
  ASSERT_EQ(tavik_public_key_file_parse(&k, pub.data(), pub.size()), TAVIK_OK);
  ASSERT_EQ(tavik_signature_file_parse(&s, v3.data(), v3.size()), TAVIK_OK);
  ASSERT_EQ(tavik_public_key_file_from_key(&made, k.pk), TAVIK_OK);
  EXPECT_STREQ(made.key_id, k.key_id);
  char out[TAVIK_SIGNATURE_FILE_MAX_CHARS];
  size_t n = 0;
  ASSERT_EQ(tavik_public_key_file_format(out, TAVIK_PUBLIC_KEY_FILE_CHARS, &n, &made), TAVIK_OK);
  EXPECT_EQ(std::string(out, n), pub);
  EXPECT_EQ(n + 1, size_t(TAVIK_PUBLIC_KEY_FILE_CHARS));  // every public key file has this length
  ASSERT_EQ(tavik_signature_file_format(out, sizeof out, &n, &s), TAVIK_OK);
  EXPECT_EQ(std::string(out, n), v3);
  // The longest comments fill the bound exactly.
  tavik_signature_file longest = s;
  longest.trusted_comment_len = longest.untrusted_comment_len = TAVIK_FILE_COMMENT_MAX;
  std::memset(longest.trusted_comment, 't', TAVIK_FILE_COMMENT_MAX);
  std::memset(longest.untrusted_comment, 'u', TAVIK_FILE_COMMENT_MAX);
  longest.trusted_comment[TAVIK_FILE_COMMENT_MAX] = longest.untrusted_comment[TAVIK_FILE_COMMENT_MAX] = '\0';
  ASSERT_EQ(tavik_signature_file_format(out, sizeof out, &n, &longest), TAVIK_OK);
  EXPECT_EQ(n + 1, sizeof out);
  tavik_signature_file back;
  EXPECT_EQ(tavik_signature_file_parse(&back, out, n), TAVIK_OK);
  EXPECT_EQ(tavik_signature_file_format(out, n, &n, &longest), TAVIK_FILE_BUFFER_TOO_SMALL) << "no room for the NUL";

  const auto refused = [&](const char *why, auto change) {
    tavik_signature_file bad = s;
    change(bad);
    EXPECT_EQ(tavik_signature_file_format(out, sizeof out, &n, &bad), TAVIK_ILLEGAL_PARAMETER) << why;
  };
  refused("a legacy version is not written", [](tavik_signature_file &f) { f.version = 2; });
  refused("an upper-case key id", [](tavik_signature_file &f) { f.key_id[0] = 'A'; });
  refused("a line end in a comment", [](tavik_signature_file &f) { f.trusted_comment[0] = '\n'; });
  refused("a length that is not the text's", [](tavik_signature_file &f) { f.untrusted_comment_len += 1; });
  made.key_id[3] ^= 1;
  EXPECT_EQ(tavik_public_key_file_format(out, sizeof out, &n, &made), TAVIK_ILLEGAL_PARAMETER) << "another key's id";
}
