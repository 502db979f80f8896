/* tavik-c: the public key and signature files of the tavik tool, read and checked by applications.

   The tool writes text files: a kind line ("tavik public key v1", "tavik signature v3"; earlier
   tools wrote "tavik signature v1" and "v2"), header fields "name: value", a "data:" line, and the key or signature in
   base64 (docs/formats.md describes every byte). These calls parse such files and verify a
   signed file against them, streamed: a file of any size is read once, in pieces.

   A version 3 signature is the scheme's signature, under the context "tavik file signature v3",
   of the trusted comment's length, the comment and the file: no signature the key makes for
   anything else verifies as one. Versions 1 (the file alone, no comments) and 2 (a label inside
   the signed message) are legacy: a raw signature by the same key can pass for one, so they are
   verified only when the caller asks for them with TAVIK_FILE_ALLOW_LEGACY, and a version 1
   signature of a file that begins with the version 2 label is refused even then (it may be a
   version 2 signature stripped of its trusted comment).

   Parsing is strict: the kind line, exactly the fields of the kind in their order, a key id of 16
   lower-case hex digits, base64 of the standard alphabet with its padding (spaces, tabs and line
   ends inside it are ignored, nonzero bits after the last byte are refused), the data's exact
   length, and for a public key a key id that is its own. A line may end in "\r\n". Outputs are
   written only on success. Keys and signatures are public: the decoder is not constant-time.
   Nothing is allocated and nothing is printed. */
#ifndef TAVIK_FILES_H
#define TAVIK_FILES_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "tavik.h"

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#pragma GCC visibility push(default)
#endif

/* The largest file the tool writes or reads, and the longest comment (bytes, without a NUL). */
#define TAVIK_FILE_MAX_BYTES 65536
#define TAVIK_FILE_COMMENT_MAX 1024

/* Verdict beside TAVIK_OK (valid) and TAVIK_INVALID_SIGNATURE (1: the file, its trusted comment
   or the signature was changed): the signature names another key than the one given. */
#define TAVIK_FILE_OTHER_KEY 2
/* Refusals. TAVIK_ILLEGAL_PARAMETER (-2) stays the code for a null pointer. */
#define TAVIK_FILE_TOO_LARGE (-130)        /* more than TAVIK_FILE_MAX_BYTES */
#define TAVIK_FILE_NOT_TAVIK (-131)        /* the first line is no tavik kind line */
#define TAVIK_FILE_WRONG_KIND (-132)       /* a tavik file of another kind (a signature given as a key) */
#define TAVIK_FILE_UNKNOWN_VERSION (-133)  /* a version of the kind this library does not read */
#define TAVIK_FILE_BAD_FIELDS (-134)       /* a malformed line, missing, extra or reordered fields, no data line */
#define TAVIK_FILE_BAD_KEY_ID (-135)       /* a key id that is not 16 lower-case hex digits */
#define TAVIK_FILE_BAD_COMMENT (-136)      /* a comment longer than TAVIK_FILE_COMMENT_MAX or with control bytes */
#define TAVIK_FILE_BAD_BASE64 (-137)       /* a character outside base64, misplaced or wrong padding */
#define TAVIK_FILE_BAD_LENGTH (-138)       /* data of the wrong length for its kind */
#define TAVIK_FILE_KEY_ID_MISMATCH (-139)  /* a public key whose key id is not its own */
#define TAVIK_FILE_READ_ERROR (-140)       /* the stream reported an error while being read */
#define TAVIK_FILE_LEGACY_VERSION (-141)   /* a version 1 or 2 signature, and legacy versions not allowed */
#define TAVIK_FILE_LEGACY_LABELLED (-142)  /* a version 1 signature of a file beginning with the version 2 label */

/* The version of signature this library signs and the tool writes. */
#define TAVIK_FILE_SIGNATURE_VERSION 3
/* The context a version 3 signature is made under (23 bytes, without a NUL). */
#define TAVIK_FILE_V3_CONTEXT "tavik file signature v3"
/* Flags of the verification calls: accept the legacy versions 1 and 2. */
#define TAVIK_FILE_ALLOW_LEGACY 1u

/* A public key file: the key and its id (the first 8 bytes of SHAKE256 of the key, in hex). */
typedef struct tavik_public_key_file {
  uint8_t pk[TAVIK_PK_BYTES];
  char key_id[17]; /* 16 lower-case hex digits and a NUL */
} tavik_public_key_file;

/* A signature file of any version the parser reads (1, 2 or 3; which ones verification accepts is
   the verifier's choice). Comments are NUL-terminated and hold no control bytes; both are empty in
   a version 1 file. */
typedef struct tavik_signature_file {
  uint32_t version; /* 1, 2 or 3 */
  char key_id[17];
  uint8_t sig[TAVIK_SIG_BYTES];
  uint32_t trusted_comment_len;
  uint32_t untrusted_comment_len;
  char trusted_comment[TAVIK_FILE_COMMENT_MAX + 1];
  char untrusted_comment[TAVIK_FILE_COMMENT_MAX + 1];
} tavik_signature_file;

/* Parse len bytes of text (no NUL needed): 0 or a refusal above, -2 for a null pointer. */
int32_t tavik_public_key_file_parse(tavik_public_key_file *out, const char *text, size_t len);
int32_t tavik_signature_file_parse(tavik_signature_file *out, const char *text, size_t len);
/* A public key given inline: the data lines of its file joined into one base64 string. */
int32_t tavik_public_key_file_from_base64(tavik_public_key_file *out, const char *b64, size_t len);

/* Streamed verification of a signed file, version 3 only: tavik_file_verify_init, then
   tavik_verify_update with the file's bytes in pieces, then tavik_verify_final(st, sig->sig,
   TAVIK_SIG_BYTES), which gives 0 valid or 1 invalid. init returns 0, TAVIK_FILE_OTHER_KEY when
   the signature's key id is not the key's, TAVIK_FILE_LEGACY_VERSION for a version 1 or 2
   signature (the state is then unusable), or -2 for a null pointer or a version it does not know. */
int32_t tavik_file_verify_init(tavik_verify_state *st, const tavik_public_key_file *pk,
                               const tavik_signature_file *sig);
/* The same over a stdio stream read to its end: 0, 1, TAVIK_FILE_OTHER_KEY,
   TAVIK_FILE_LEGACY_VERSION, -2, or TAVIK_FILE_READ_ERROR. The stream is left open where reading
   stopped. */
int32_t tavik_file_verify_stream(const tavik_public_key_file *pk, const tavik_signature_file *sig, FILE *f);

/* Streamed verification with flags (0 or TAVIK_FILE_ALLOW_LEGACY), for every version: the state
   keeps the signature and the file's first bytes, which the legacy rule needs. init: 0,
   TAVIK_FILE_OTHER_KEY, TAVIK_FILE_LEGACY_VERSION (a version 1 or 2 signature without the flag),
   or -2 for a null pointer, an unknown flag or version, or a key or signature inside the state.
   update: 0 or -2 (a state not initialised or finished, a null data pointer with len > 0, data
   inside the state). final: 0 valid, 1 invalid,
   TAVIK_FILE_LEGACY_LABELLED (a version 1 signature of a file that begins with the version 2
   label, whatever its verdict), or -2; the state is then finished. */
#define TAVIK_FILE_VERIFY_STATE_BYTES 4864
typedef struct tavik_file_verify_state {
  uint64_t opaque[TAVIK_FILE_VERIFY_STATE_BYTES / 8];
} tavik_file_verify_state;
int32_t tavik_file_verify_init_flags(tavik_file_verify_state *st, const tavik_public_key_file *pk,
                                     const tavik_signature_file *sig, uint32_t flags);
int32_t tavik_file_verify_update(tavik_file_verify_state *st, const uint8_t *data, size_t len);
int32_t tavik_file_verify_final(tavik_file_verify_state *st);
/* tavik_file_verify_stream with flags: its codes and TAVIK_FILE_LEGACY_LABELLED. */
int32_t tavik_file_verify_stream_flags(const tavik_public_key_file *pk, const tavik_signature_file *sig, FILE *f,
                                       uint32_t flags);

/* The µ of a version 3 file signature, for a signer that signs µ (tavik_sign_mu, a token's sign-µ
   mechanism): starts st from the public key under the file signature's context and binds the
   trusted comment as tavik_file_sign_init_hedged does; the file's bytes then go through
   tavik_mu_update and tavik_mu_final gives µ. A signature of that µ is the file's version 3
   signature. 0, or -2 for a null st or pk, a null comment with len > 0, or a comment the parser
   would refuse. */
int32_t tavik_file_mu_init(tavik_mu_state *st, const uint8_t *pk, const char *trusted_comment, size_t len);

/* Streamed signing in the version 3 form, hedged: binds the trusted comment (len bytes, at most
   TAVIK_FILE_COMMENT_MAX, no control bytes) and then takes the file's bytes through
   tavik_sign_update and tavik_sign_final; the file holding it states version
   TAVIK_FILE_SIGNATURE_VERSION. 0, or -2 for a null pointer (the comment only when len > 0), a
   comment the parser would refuse, or a damaged key. Versions 1 and 2 are no longer made. */
int32_t tavik_file_sign_init_hedged(tavik_sign_state *st, const uint8_t *sk, const char *trusted_comment,
                                    size_t len);

/* Writing the files, as the tool writes them (the data in base64 lines of 64 characters, "\n"
   line ends): the encoders write *outlen characters and a terminating NUL to out, which has cap
   bytes of room (TAVIK_PUBLIC_KEY_FILE_CHARS, TAVIK_SIGNATURE_FILE_MAX_CHARS: enough for any), and
   return 0, -2 for a null pointer, or TAVIK_FILE_BUFFER_TOO_SMALL (nothing written). */
#define TAVIK_FILE_BUFFER_TOO_SMALL (-143) /* the output does not fit; nothing written */
#define TAVIK_PUBLIC_KEY_FILE_CHARS 2047
#define TAVIK_SIGNATURE_FILE_MAX_CHARS 5623
/* The public key file of pk: the key and its key id. 0, or -2 for a null pointer. */
int32_t tavik_public_key_file_from_key(tavik_public_key_file *out, const uint8_t *pk);
/* The text of a public key file; -2 also for a key id that is not the key's own. */
int32_t tavik_public_key_file_format(char *out, size_t cap, size_t *outlen, const tavik_public_key_file *pk);
/* The text of a signature file of the current version: sig->version must be
   TAVIK_FILE_SIGNATURE_VERSION, the key id 16 lower-case hex digits and both comments what the
   parser accepts (their lengths those of the NUL-terminated texts); -2 otherwise. */
int32_t tavik_signature_file_format(char *out, size_t cap, size_t *outlen, const tavik_signature_file *sig);

/* A short English description of any code these calls return ("" for none of them). */
const char *tavik_file_error_string(int32_t code);

#if defined(__GNUC__)
#pragma GCC visibility pop
#endif

#ifdef __cplusplus
}
#endif

#endif
