// The hybrid pair (tavik beside Ed25519, libtavik-hybrid) in the tavik tool: key generation, file
// signatures that carry both halves, and their verification, which needs both and says which half
// failed.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tavik_cli_files.h"

namespace tavik_cli {

// Feeds a file's bytes to the given update in pieces (the tool's reader of -m FILE).
using Feed = std::function<void(const std::function<void(const uint8_t *, uint64_t)> &)>;

// A new pair from the system's random source: pk (TAVIK_HYBRID_PK_BYTES) and sk
// (TAVIK_HYBRID_SK_BYTES). Throws Error when no random source answers.
void pair_keygen(uint8_t *pk, uint8_t *sk);
// The pair's public key rebuilt from its secret key; false for a key whose halves fail their checks.
bool pair_public_key(uint8_t *pk, const uint8_t *sk);

// The pair's file signature of the bytes `feed` gives with the trusted comment: both halves over
// the pair's representative of len(comment) || comment || file under the file tool's context, as a
// version 3 signature of the single scheme frames them. Hedged. Throws Error on failure.
std::vector<uint8_t> pair_sign_file(const uint8_t *sk, const std::string &comment, const Feed &feed);
// 0 when both halves verify, else 1 with the halves that did not in *failed
// (TAVIK_HYBRID_TAVIK_HALF, TAVIK_HYBRID_ED25519_HALF); throws Error for arguments the library refuses.
int pair_verify_file(const uint8_t *pk, const std::vector<uint8_t> &sig, const std::string &comment, const Feed &feed,
                     uint32_t *failed);
// Whether a key container names the pair's algorithm: its AlgorithmIdentifier, after the outer
// SEQUENCE's header (and a PrivateKeyInfo's version, when secret), is the pair's. The decoder of
// that algorithm then checks the whole. DER bytes, or PEM text under "PUBLIC KEY" or "PRIVATE KEY"
// (false for armour that does not unwrap: the single scheme's decoder then says why).
bool der_names_pair(const uint8_t *der, size_t len, bool secret);
bool pem_names_pair(const char *pem, size_t len, bool secret);
// Which halves failed, for a message: "the tavik half", "the Ed25519 half" or "both halves".
std::string failed_halves(uint32_t failed);

}  // namespace tavik_cli
