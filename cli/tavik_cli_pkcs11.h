// Keys held in a PKCS#11 token: named by an RFC 7512 URI instead of a key file, used through the
// token's module, which is loaded when the tool runs (never linked).
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "tavik.h"
#include "tavik_cli_passphrase.h"

namespace tavik_cli {

// Whether the -s value names a key in a token ("pkcs11:..."); "./pkcs11:..." names a file.
bool is_pkcs11_uri(const std::string &s);
// Refuses the options that do not fit the kind of key -s names: the PIN options for a key file,
// the passphrase options for a token key.
void check_key_options(Options &o, bool token);

// A private key in a token, logged in to for as long as it lives.
class TokenKey;
struct TokenKeyDeleter {
  void operator()(TokenKey *k) const;
};
using TokenKeyPtr = std::unique_ptr<TokenKey, TokenKeyDeleter>;

// Finds the private key of `uri`, logs in with the PIN (--pin-file, --pin-fd, else asked on the
// terminal), and gives its public key and key id. Throws Error with one line.
TokenKeyPtr open_token_key(Options &o, const std::string &uri, std::string *id, uint8_t *pk);
// The version 3 signature of a file: its µ made here from the public key, the trusted comment and
// the bytes `feed` hands to its argument, signed by the token (hedged) and checked against the
// public key before it is returned.
using Feed = std::function<void(const std::function<void(const uint8_t *, uint64_t)> &)>;
void token_sign_file(TokenKey &key, const std::string &comment, const Feed &feed, uint8_t *sig);
// The public key of `uri`: from the token's public key object, or, when there is none, from the
// private key after a login.
void token_public_key(Options &o, const std::string &uri, std::string *id, uint8_t *pk);

}  // namespace tavik_cli

// The lines the help of sign and pubkey adds for a key in a token.
#define TAVIK_CLI_SIGN_TOKEN_HELP                                                                      \
  "  SECFILE may name a key in a PKCS#11 token by its URI, 'pkcs11:token=LABEL;object=NAME' (also\n" \
  "  id=, serial=, and ?module-path=MODULE, else $TAVIK_PKCS11_MODULE, else libtavik-pkcs11.so\n"    \
  "  beside this program or where it is installed); the tool hashes each FILE and the token signs.\n" \
  "  Its PIN is asked on the terminal or read from --pin-file FILE or --pin-fd N, never the URI.\n"
#define TAVIK_CLI_PUBKEY_TOKEN_HELP                                                                 \
  "  SECFILE may name a key in a PKCS#11 token (see sign): its public key object is read, or, if\n" \
  "  the token has none, the private key's public key after a login with the PIN.\n"
