/* The OpenSSL 3 provider module "tavik": what its parts share. */
#ifndef TAVIK_PROV_H
#define TAVIK_PROV_H

#include <openssl/core.h>
#include <openssl/core_dispatch.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stddef.h>
#include <stdint.h>

#include "tavik.h"
#include "tavik_der.h"

#ifndef TAVIK_OID_TEXT
#error "TAVIK_OID_TEXT must be defined by the build"
#endif

/* The algorithm's names: "tavik" and its object identifier. */
#define TAVIK_ALG_NAME "tavik"
#define TAVIK_ALG_NAMES TAVIK_ALG_NAME ":" TAVIK_OID_TEXT
/* The seed parameter of key generation, import and export. */
#define TAVIK_PKEY_PARAM_SEED "seed"

/* Reasons reported to OpenSSL's error queue. A container's refusal is reported under its own
   code's magnitude (tavik_der_error_string() says what it means); the provider's own reasons
   lie above them. */
enum {
  TAVIK_R_NO_SECRET_KEY = 200,
  TAVIK_R_NO_PUBLIC_KEY,
  TAVIK_R_DIGEST_NOT_ALLOWED,
  TAVIK_R_BAD_PARAMETER_LENGTH,
  TAVIK_R_SIGNATURE_BUFFER_TOO_SMALL,
  TAVIK_R_SIGNING_FAILED,
  TAVIK_R_NO_RANDOMNESS,
  TAVIK_R_KEY_MISMATCH,
  TAVIK_R_DAMAGED_KEY,
  TAVIK_R_OUT_OF_MEMORY,
  TAVIK_R_WRONG_OPERATION,
  TAVIK_R_ENCRYPTION_FAILED,
  TAVIK_R_OUTPUT_FAILED,
  TAVIK_R_FINISHED,
  TAVIK_R_BAD_CONTEXT,
  TAVIK_R_NO_GENERATOR,
  TAVIK_R_GENERATOR_FAILED
};

typedef struct tavik_provctx {
  const OSSL_CORE_HANDLE *handle;
  OSSL_LIB_CTX *libctx; /* child of the application's context: ciphers and randomness */
} TAVIK_PROVCTX;

/* The algorithms the provider offers share one implementation of key management, signatures and
   containers; what differs between them is in a table per algorithm: sizes, names, and the
   library's calls. */
#ifdef TAVIK_PROVIDER_PAIR
#include "tavik_hybrid.h"
#include "tavik_hybrid_der.h"
#define TAVIK_PROV_PK_MAX_BYTES TAVIK_HYBRID_PK_BYTES
#else
#define TAVIK_PROV_PK_MAX_BYTES TAVIK_PK_BYTES
#endif
/* Every algorithm's seed is this long or shorter. */
#define TAVIK_PROV_SEED_MAX_BYTES TAVIK_SEED_BYTES

typedef struct tavik_key TAVIK_KEY;

/* An algorithm's signatures: in one piece and streamed (the states are opaque here, of the
   sizes given). The key's calls may use its expanded forms. */
typedef struct tavik_sig_calls {
  size_t sign_state_bytes, verify_state_bytes;
  int32_t (*sign)(TAVIK_KEY *key, const uint8_t *ctx, size_t ctxlen, const uint8_t *msg, size_t msglen,
                  uint8_t *sig);
  int32_t (*verify)(TAVIK_KEY *key, const uint8_t *ctx, size_t ctxlen, const uint8_t *sig, size_t siglen,
                    const uint8_t *msg, size_t msglen);
  int32_t (*sign_init)(void *st, TAVIK_KEY *key, const uint8_t *ctx, size_t ctxlen);
  int32_t (*sign_update)(void *st, const uint8_t *msg, size_t len);
  int32_t (*sign_final)(void *st, uint8_t *sig);
  void (*sign_state_wipe)(void *st);
  int32_t (*verify_init)(void *st, TAVIK_KEY *key, const uint8_t *ctx, size_t ctxlen);
  int32_t (*verify_update)(void *st, const uint8_t *msg, size_t len);
  int32_t (*verify_final)(void *st, const uint8_t *sig, size_t siglen);
} TAVIK_SIG_CALLS;

/* A part of a key's text form: a title, then bytes of the secret or the public key in hex. */
typedef struct {
  const char *title;
  int secret;
  size_t offset, len;
} TAVIK_TEXT_PART;

/* An algorithm's containers (SubjectPublicKeyInfo and PrivateKeyInfo, DER and PEM) and text form. */
typedef struct tavik_codec_calls {
  size_t room;        /* for the longest container written */
  size_t decode_room; /* input longer than this is no container of the algorithm */
  int32_t (*pk_to_der)(uint8_t *out, size_t cap, size_t *outlen, const uint8_t *pk);
  int32_t (*pk_to_pem)(char *out, size_t cap, size_t *outlen, const uint8_t *pk);
  int32_t (*sk_to_der)(uint8_t *out, size_t cap, size_t *outlen, const uint8_t *seed, const uint8_t *sk);
  int32_t (*sk_to_pem)(char *out, size_t cap, size_t *outlen, const uint8_t *seed, const uint8_t *sk);
  int32_t (*pk_from_der)(uint8_t *pk, const uint8_t *der, size_t derlen);
  int32_t (*sk_from_der)(uint8_t *sk, uint8_t *seed, uint32_t *form, const uint8_t *der, size_t derlen);
  const TAVIK_TEXT_PART *text; /* after the seed, when known; ends with a NULL title */
} TAVIK_CODEC_CALLS;

typedef struct tavik_alg {
  const char *name; /* the signature operation's name, and the data type of a decoded key */
  size_t pk_bytes, sk_bytes, seed_bytes, sig_bytes;
  int key_bits;
  int security_bits;          /* reported only where not 0 */
  const OSSL_PARAM *gettable; /* the key's parameters */
  const char *damaged_key;    /* the detail reported when a secret key fails its check, or NULL */
  int32_t (*keygen_from_seed)(uint8_t *pk, uint8_t *sk, const uint8_t *seed);
  int32_t (*pk_from_sk)(uint8_t *pk, const uint8_t *sk);
  /* The AlgorithmIdentifier that names the algorithm in containers and certificates. */
  int32_t (*algorithm_identifier)(uint8_t *out, size_t cap, size_t *outlen);
  const TAVIK_SIG_CALLS *sig;
  const TAVIK_CODEC_CALLS *codec;
} TAVIK_ALG;

extern const TAVIK_ALG tavik_alg;
extern const TAVIK_SIG_CALLS tavik_sig_calls;     /* signature.c */
extern const TAVIK_CODEC_CALLS tavik_codec_calls; /* codecs.c */

/* A key: the public key always, the secret key and the seed when known. Shared by reference
   between the application's key object and the operations that use it; immutable once made.
   A key of the single scheme used more than once keeps its expanded forms, made on its second
   use and published once, for the signatures and verifications that follow. */
struct tavik_key {
  const TAVIK_ALG *alg;
  TAVIK_PROVCTX *prov;
  atomic_int refs;
  int has_pub, has_priv, has_seed;
  uint8_t pub[TAVIK_PROV_PK_MAX_BYTES];
  uint8_t *secret; /* secure heap: the secret key, then the seed */
  pthread_mutex_t lock;                     /* making the expanded forms */
  atomic_int sk_uses, pk_uses;
  _Atomic(const tavik_expanded_sk *) xsk;   /* in xsk_mem, on the secure heap */
  _Atomic(const tavik_expanded_pk *) xpk;   /* in xpk_mem */
  void *xsk_mem, *xpk_mem;
};

#define TAVIK_KEY_SK(k) ((k)->secret)
#define TAVIK_KEY_SEED(k) ((k)->secret + (k)->alg->sk_bytes)

/* Errors: a reason and an optional printf-style detail. */
void tavik_raise(const TAVIK_PROVCTX *prov, int reason, const char *fmt, ...);
/* A container or library code (negative) as an error. */
void tavik_raise_code(const TAVIK_PROVCTX *prov, int32_t code);

/* The core's BIO calls, for encoders and decoders. */
int tavik_bio_read(OSSL_CORE_BIO *bio, void *buf, size_t len, size_t *got);
int tavik_bio_write(OSSL_CORE_BIO *bio, const void *buf, size_t len);

/* Keys (keymgmt.c). */
TAVIK_KEY *tavik_key_new(const TAVIK_ALG *alg, TAVIK_PROVCTX *prov);
void tavik_key_free(TAVIK_KEY *key);
int tavik_key_up_ref(TAVIK_KEY *key);
/* The expanded secret or public key, or NULL on the key's first use (or when memory or the key
   fails): then the caller uses the key itself. */
const tavik_expanded_sk *tavik_key_expanded_sk(TAVIK_KEY *key);
const tavik_expanded_pk *tavik_key_expanded_pk(TAVIK_KEY *key);
/* Fills key from a seed, a secret key or a public key: each checked against the others given. */
int tavik_key_set(TAVIK_KEY *key, const uint8_t *seed, const uint8_t *sk, const uint8_t *pk);
int tavik_key_import(void *keydata, int selection, const OSSL_PARAM params[]);
int tavik_key_export(void *keydata, int selection, OSSL_CALLBACK *cb, void *cbarg);

extern const OSSL_DISPATCH tavik_keymgmt_functions[];
extern const OSSL_DISPATCH tavik_signature_functions[];
extern const OSSL_DISPATCH tavik_spki_der_encoder_functions[];
extern const OSSL_DISPATCH tavik_spki_pem_encoder_functions[];
extern const OSSL_DISPATCH tavik_pki_der_encoder_functions[];
extern const OSSL_DISPATCH tavik_pki_pem_encoder_functions[];
extern const OSSL_DISPATCH tavik_text_encoder_functions[];
extern const OSSL_DISPATCH tavik_spki_der_decoder_functions[];
extern const OSSL_DISPATCH tavik_pki_der_decoder_functions[];

/* ---- The hybrid pair "tavik-ed25519" (libtavik-hybrid), where the build has it ---- */
#ifdef TAVIK_PROVIDER_PAIR
#define TAVIK_PAIR_NAME "tavik-ed25519"
#define TAVIK_PAIR_NAMES TAVIK_PAIR_NAME ":" TAVIK_HYBRID_OID_TEXT

extern const TAVIK_ALG tavik_pair_alg;
extern const TAVIK_SIG_CALLS tavik_pair_sig_calls;     /* pair_signature.c */
extern const TAVIK_CODEC_CALLS tavik_pair_codec_calls; /* pair_codecs.c */

extern const OSSL_DISPATCH tavik_pair_keymgmt_functions[];
extern const OSSL_DISPATCH tavik_pair_signature_functions[];
extern const OSSL_DISPATCH tavik_pair_spki_der_encoder_functions[];
extern const OSSL_DISPATCH tavik_pair_spki_pem_encoder_functions[];
extern const OSSL_DISPATCH tavik_pair_pki_der_encoder_functions[];
extern const OSSL_DISPATCH tavik_pair_pki_pem_encoder_functions[];
extern const OSSL_DISPATCH tavik_pair_text_encoder_functions[];
extern const OSSL_DISPATCH tavik_pair_spki_der_decoder_functions[];
extern const OSSL_DISPATCH tavik_pair_pki_der_decoder_functions[];
#endif

#endif
