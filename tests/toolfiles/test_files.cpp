// The tool's public key and signature files read by the library: files the version 1 and version 2
// tools wrote verify, and a table of changed, truncated and garbled files gives each its code.
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

// Parses both files and verifies `file` with them, streamed in pieces of 7 bytes; the first code
// that is not TAVIK_OK, or the verdict.
int32_t check(const std::string &pub, const std::string &sig, const std::string &file) {
  tavik_public_key_file k;
  tavik_signature_file s;
  int32_t r = tavik_public_key_file_parse(&k, pub.data(), pub.size());
  if (r != TAVIK_OK) return r;
  if ((r = tavik_signature_file_parse(&s, sig.data(), sig.size())) != TAVIK_OK) return r;
  tavik_verify_state st;
  if ((r = tavik_file_verify_init(&st, &k, &s)) != TAVIK_OK) return r;
  for (size_t i = 0; i < file.size(); i += 7)
    tavik_verify_update(&st, reinterpret_cast<const uint8_t *>(file.data()) + i, std::min<size_t>(7, file.size() - i));
  return tavik_verify_final(&st, s.sig, TAVIK_SIG_BYTES);
}

TEST(ToolFiles, FilesOfBothVersionsAndTheirFaults) {
  const std::string pub = fixture("v1.pub"), other = fixture("v1-sealed.pub"), file = fixture("hello.txt");
  const std::string v1 = fixture("hello.txt.tsig"), v2 = fixture("hello.txt.v2.tsig");
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
      {"unknown signature version", pub, replaced(v2, " v2\n", " v3\n"), file, TAVIK_FILE_UNKNOWN_VERSION},
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
  for (const auto &[text, want] : {std::pair{file, TAVIK_OK}, std::pair{file + "\n", TAVIK_INVALID_SIGNATURE}}) {
    FILE *f = fmemopen(const_cast<char *>(text.data()), text.size(), "rb");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(tavik_file_verify_stream(&k, &s, f), want);
    std::fclose(f);
  }
  EXPECT_EQ(tavik_public_key_file_parse(nullptr, pub.data(), pub.size()), TAVIK_ILLEGAL_PARAMETER);
  EXPECT_EQ(tavik_signature_file_parse(&s, nullptr, 1), TAVIK_ILLEGAL_PARAMETER);
  EXPECT_EQ(tavik_file_verify_stream(&k, &s, nullptr), TAVIK_ILLEGAL_PARAMETER);
  EXPECT_STRNE(tavik_file_error_string(TAVIK_FILE_BAD_COMMENT), "");
}

// A file signed through the library's own version 2 call verifies with its comment and no other;
// comments the parser would refuse are refused when signing.
TEST(ToolFiles, SignsTheVersion2Form) {
  uint8_t seed[TAVIK_SEED_BYTES] = {7}, sk[TAVIK_SK_BYTES];
  tavik_public_key_file k;
  ASSERT_EQ(sig_keygen_from_seed(k.pk, sk, seed), TAVIK_OK);
  tavik_sign_state st;
  const std::string comment = "release 1.0", file = "contents";
  ASSERT_EQ(tavik_file_sign_init_hedged(&st, sk, comment.data(), comment.size()), TAVIK_OK);
  tavik_sign_update(&st, reinterpret_cast<const uint8_t *>(file.data()), file.size());
  tavik_signature_file s{};
  ASSERT_EQ(tavik_sign_final(&st, s.sig), TAVIK_OK);
  s.version = 2;
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

}  // namespace
