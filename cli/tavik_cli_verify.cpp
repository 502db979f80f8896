// tavik verify: the verdict on every file named, with a tavik key or a hybrid pair's, and the worst
// of them as the exit status.
#include <errno.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tavik.h"
#include "tavik_cli_commands.h"
#include "tavik_cli_files.h"
#include "tavik_cli_hybrid.h"
#include "tavik_files.h"
#include "tavik_hybrid.h"

namespace {

using namespace tavik_cli;

// The public key to verify with: -P KEY (the key file's data lines as one base64 string), -p
// PUBFILE (the tool's file, or PEM or DER), or tavik.pub. A hybrid pair's public key goes to
// *pair_pk (key->key_id names it), a tavik key to key.
void verifying_key(Options &o, tavik_public_key_file *key, std::vector<uint8_t> *pair_pk, std::string *name) {
  if (o.count("-p") && o.count("-P")) throw Error{"-p and -P exclude each other"};
  std::vector<uint8_t> pk;
  if (o.count("-P")) {
    if (!base64_decode(o["-P"], &pk) || (pk.size() != TAVIK_PK_BYTES && pk.size() != TAVIK_HYBRID_PK_BYTES))
      throw Error{"-P: not a public key (the base64 of a public key file's data lines, " +
                  std::to_string(TAVIK_PK_BYTES) + " bytes, or " + std::to_string(TAVIK_HYBRID_PK_BYTES) +
                  " for a tavik-ed25519 pair, expected)"};
    *name = "the key given by -P";
  } else {
    const std::string path = o.count("-p") ? o["-p"] : "tavik.pub";
    pk.resize(TAVIK_HYBRID_PK_BYTES);
    pk.resize(read_public_key(path, pk.data(), pk.size()));
    *name = shown_path(path);
  }
  if (pk.size() == TAVIK_HYBRID_PK_BYTES) *pair_pk = pk;
  else std::memcpy(key->pk, pk.data(), TAVIK_PK_BYTES);
  std::snprintf(key->key_id, sizeof key->key_id, "%s", key_id(pk.data(), pk.size()).c_str());
}

// A file signature of the hybrid pair, or one met with the other kind of key: valid only with a pair's
// key and a pair's signature of that key whose two halves both verify. Prints the verdict (unless
// quiet); returns the exit status.
int verify_pair(const Document &sig, const std::vector<uint8_t> &pair_pk, const char *id, const std::string &key_name,
                const std::string &shown, bool quiet, const Feed &feed) {
  const auto say = [&](const std::string &line) {
    if (!quiet) std::printf("%s: %s\n", shown.c_str(), line.c_str());
  };
  if (pair_pk.empty() || !is_pair(sig)) {
    say(std::string("NOT verified: ") +
        (pair_pk.empty() ? std::string("a ") + PAIR_ALGORITHM + " signature (tavik beside Ed25519), and " + key_name +
                               " is a tavik key"
                         : std::string("a tavik signature, and ") + key_name + " is a " + PAIR_ALGORITHM + " pair"));
    return EXIT_INVALID;
  }
  if (*sig.field("key-id") != id) {
    say("NOT verified: signed with a different key (id " + shown_text(*sig.field("key-id")) + "), not " + key_name +
        " (id " + id + ")");
    return EXIT_INVALID;
  }
  const std::string &trusted = *sig.field("trusted-comment");
  uint32_t failed = 0;
  if (pair_verify_file(pair_pk.data(), sig.data, trusted, feed, &failed) != 0) {
    say("INVALID signature: " + failed_halves(failed) + " of the " + PAIR_ALGORITHM +
        " signature did not verify (the file, its trusted comment or the signature is not what key " + id +
        " signed)");
    return EXIT_INVALID;
  }
  if (!quiet) {
    say(std::string("valid signature by key ") + id + " (" + PAIR_ALGORITHM + ": both halves verified)");
    std::printf("trusted comment: %s\n", shown_text(trusted).c_str());
  }
  return EXIT_VALID;
}

// What a legacy signature that verified does not guarantee, in one line.
const char *legacy_note(unsigned version) {
  return version == 1 ? "(a legacy version 1 signature: it has no trusted comment, and any signature by this key of "
                        "the file's bytes alone, whatever it was made for, passes as one; sign again for version 3)"
                      : "(a legacy version 2 signature: any signature by this key of a message that begins with its "
                        "label, made by any program, passes as one, trusted comment included; sign again for "
                        "version 3)";
}

// The verdict on one file (a pair's signature or key goes to verify_pair): EXIT_VALID or
// EXIT_INVALID, printed unless quiet; throws Error.
int verify_one(const std::string &msg, const std::string &sigfile, const tavik_public_key_file &key,
               const std::vector<uint8_t> &pair_pk, const std::string &key_name, uint32_t flags, bool quiet) {
  const std::string shown = msg == "-" ? "standard input" : shown_path(msg);
  const Document sig = read_document(sigfile, Kind::signature);
  if (!pair_pk.empty() || is_pair(sig)) {
    const auto feed = [&](const auto &update) { stream_file(msg, update); };
    return verify_pair(sig, pair_pk, key.key_id, key_name, shown, quiet, feed);
  }
  tavik_signature_file s{};
  s.version = sig.version;
  std::snprintf(s.key_id, sizeof s.key_id, "%s", sig.field("key-id")->c_str());
  std::memcpy(s.sig, sig.data.data(), TAVIK_SIG_BYTES);
  const std::string trusted = sig.version >= 2 ? *sig.field("trusted-comment") : "";
  s.trusted_comment_len = uint32_t(trusted.size());
  std::memcpy(s.trusted_comment, trusted.c_str(), trusted.size() + 1);
  // The library's reader decides, so that the tool and applications apply one rule to legacy
  // versions.
  tavik_file_verify_state st;
  const int32_t init = tavik_file_verify_init_flags(&st, &key, &s, flags);
  if (init == TAVIK_FILE_OTHER_KEY || init == TAVIK_FILE_LEGACY_VERSION) {
    if (!quiet && init == TAVIK_FILE_OTHER_KEY)
      std::printf("%s: NOT verified: signed with a different key (id %s), not %s (id %s)\n", shown.c_str(),
                  s.key_id, key_name.c_str(), key.key_id);
    if (!quiet && init == TAVIK_FILE_LEGACY_VERSION)
      std::printf("%s: NOT verified: a legacy version %u signature, which a raw signature by the same key can "
                  "pass for; --allow-legacy checks it\n",
                  shown.c_str(), sig.version);
    return EXIT_INVALID;
  }
  if (init != TAVIK_OK) throw Error{"verification failed to start"};
  stream_file(msg, [&](const uint8_t *p, uint64_t n) { tavik_file_verify_update(&st, p, size_t(n)); });
  const int32_t r = tavik_file_verify_final(&st);
  if (r == TAVIK_OK) {
    if (!quiet) {
      std::printf("%s: valid signature by key %s\n", shown.c_str(), key.key_id);
      if (sig.version >= 2) std::printf("trusted comment: %s\n", shown_text(trusted).c_str());
      if (sig.version < 3) std::printf("%s\n", legacy_note(sig.version));
    }
    return EXIT_VALID;
  }
  if (r == TAVIK_FILE_LEGACY_LABELLED) {
    if (!quiet)
      std::printf("%s: NOT verified: a version 1 signature of a file that begins with the version 2 label is "
                  "refused always (it may be a version 2 signature stripped of its trusted comment)\n",
                  shown.c_str());
    return EXIT_INVALID;
  }
  if (r != TAVIK_INVALID_SIGNATURE) throw Error{"verification failed"};
  if (!quiet)
    std::printf("%s: INVALID signature: the file, its trusted comment or the signature is not what key %s signed\n",
                shown.c_str(), key.key_id);
  return EXIT_INVALID;
}

}  // namespace

namespace tavik_cli {

int cmd_verify(Options &o) {
  const auto pairs = signed_files(o);
  const bool quiet = o.count("-q") != 0;
  const uint32_t flags = o.count("--allow-legacy") ? TAVIK_FILE_ALLOW_LEGACY : 0;
  for (const auto &[msg, sigfile] : pairs) {
    if (path_reads_stdin(msg) && path_reads_stdin(sigfile))
      throw Error{"standard input cannot hold both the file and its signature"};
  }
  tavik_public_key_file key;
  std::vector<uint8_t> pair_pk;
  std::string key_name;
  verifying_key(o, &key, &pair_pk, &key_name);
  // Every file gets its verdict, or its error on standard error; the status is the worst of them.
  int status = EXIT_VALID;
  for (const auto &[msg, sigfile] : pairs) {
    int one;
    try {
      one = verify_one(msg, sigfile, key, pair_pk, key_name, flags, quiet);
    } catch (const Error &e) {
      std::fprintf(stderr, "tavik verify: %s\n", e.message.c_str());
      one = EXIT_ERROR;
    }
    status = std::max(status, one);
  }
  return status;
}

}  // namespace tavik_cli
