/* Key management of "tavik-ed25519", the hybrid pair (tavik beside Ed25519, libtavik-hybrid): making,
   importing, exporting, comparing and checking pairs. The secret key and the pair's seed live on
   OpenSSL's secure heap and are wiped when the last reference goes. */
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/params.h>
#include <openssl/rand.h>
#include <string.h>

#include "tavik_prov.h"

#define PAIR_SECRET_BYTES (TAVIK_HYBRID_SK_BYTES + TAVIK_HYBRID_SEED_BYTES)
/* The public key's size in bits, and the strength libcrypto's security levels read. A forgery of the
   pair needs a forgery of its Ed25519 half, and the best known classical attack on Ed25519 is a
   discrete logarithm in a group of order about 2^252 (Pollard's rho: about 2^126 group operations),
   which libcrypto labels 128 for Ed25519 itself. That is a classical figure only: against an
   adversary who can run Shor's algorithm the pair stands on the tavik half, for which no figure is
   claimed (the single scheme reports none, keymgmt.c). */
#define PAIR_KEY_BITS (8 * TAVIK_HYBRID_PK_BYTES)
#define PAIR_SECURITY_BITS 128

TAVIK_PAIR_KEY *tavik_pair_key_new(TAVIK_PROVCTX *prov) {
  TAVIK_PAIR_KEY *key = OPENSSL_zalloc(sizeof *key);
  if (key == NULL) {
    tavik_raise(prov, TAVIK_R_OUT_OF_MEMORY, NULL);
    return NULL;
  }
  key->prov = prov;
  atomic_init(&key->refs, 1);
  return key;
}

int tavik_pair_key_up_ref(TAVIK_PAIR_KEY *key) {
  atomic_fetch_add(&key->refs, 1);
  return 1;
}

void tavik_pair_key_free(TAVIK_PAIR_KEY *key) {
  if (key == NULL || atomic_fetch_sub(&key->refs, 1) != 1) return;
  OPENSSL_secure_clear_free(key->secret, PAIR_SECRET_BYTES);
  OPENSSL_free(key);
}

static int secret_room(TAVIK_PAIR_KEY *key) {
  if (key->secret == NULL) key->secret = OPENSSL_secure_zalloc(PAIR_SECRET_BYTES);
  if (key->secret == NULL) tavik_raise(key->prov, TAVIK_R_OUT_OF_MEMORY, NULL);
  return key->secret != NULL;
}

int tavik_pair_key_set(TAVIK_PAIR_KEY *key, const uint8_t *seed, const uint8_t *sk, const uint8_t *pk) {
  uint8_t pub[TAVIK_HYBRID_PK_BYTES];
  if (seed != NULL || sk != NULL) {
    if (!secret_room(key)) return 0;
    if (seed != NULL) {
      if (tavik_hybrid_keygen_from_seed(pub, TAVIK_PAIR_SK(key), seed) != TAVIK_OK) return 0;
      /* Public: whether the key given beside the seed is the seed's is the result. */
      if (sk != NULL && CRYPTO_memcmp(TAVIK_PAIR_SK(key), sk, TAVIK_HYBRID_SK_BYTES) != 0) {
        OPENSSL_cleanse(key->secret, PAIR_SECRET_BYTES);
        tavik_raise(key->prov, TAVIK_R_KEY_MISMATCH, "the seed does not make the secret key");
        return 0;
      }
      memcpy(TAVIK_PAIR_SEED(key), seed, TAVIK_HYBRID_SEED_BYTES);
    } else {
      memcpy(TAVIK_PAIR_SK(key), sk, TAVIK_HYBRID_SK_BYTES);
      if (tavik_hybrid_pk_from_sk(pub, TAVIK_PAIR_SK(key)) != TAVIK_OK) {
        OPENSSL_cleanse(key->secret, PAIR_SECRET_BYTES);
        tavik_raise(key->prov, TAVIK_R_DAMAGED_KEY, "a half of the pair's secret key fails its check");
        return 0;
      }
    }
    if (pk != NULL && memcmp(pub, pk, TAVIK_HYBRID_PK_BYTES) != 0) {
      OPENSSL_cleanse(key->secret, PAIR_SECRET_BYTES);
      tavik_raise(key->prov, TAVIK_R_KEY_MISMATCH, "the public key is not the secret key's");
      return 0;
    }
    memcpy(key->pub, pub, TAVIK_HYBRID_PK_BYTES);
    key->has_priv = 1;
    key->has_seed = seed != NULL;
  } else {
    memcpy(key->pub, pk, TAVIK_HYBRID_PK_BYTES);
  }
  key->has_pub = 1;
  return 1;
}

/* An octet-string parameter of exactly len bytes, or NULL when absent; *bad set when present
   with another length. */
static const uint8_t *octets(const OSSL_PARAM params[], const char *name, size_t len, int *bad) {
  const OSSL_PARAM *p = OSSL_PARAM_locate_const(params, name);
  if (p == NULL) return NULL;
  if (p->data_type != OSSL_PARAM_OCTET_STRING || p->data_size != len || p->data == NULL) {
    *bad = 1;
    return NULL;
  }
  return p->data;
}

static void *pk_new(void *provctx) { return tavik_pair_key_new(provctx); }
static void pk_free(void *keydata) { tavik_pair_key_free(keydata); }

static void *pk_dup(const void *keydata, int selection) {
  const TAVIK_PAIR_KEY *src = keydata;
  TAVIK_PAIR_KEY *key = tavik_pair_key_new(src->prov);
  if (key == NULL) return NULL;
  if ((selection & OSSL_KEYMGMT_SELECT_KEYPAIR) != 0 && src->has_pub) {
    memcpy(key->pub, src->pub, TAVIK_HYBRID_PK_BYTES);
    key->has_pub = 1;
  }
  if ((selection & OSSL_KEYMGMT_SELECT_PRIVATE_KEY) != 0 && src->has_priv) {
    if (!secret_room(key)) {
      tavik_pair_key_free(key);
      return NULL;
    }
    memcpy(key->secret, src->secret, PAIR_SECRET_BYTES);
    key->has_priv = 1;
    key->has_seed = src->has_seed;
  }
  return key;
}

int tavik_pair_key_import(void *keydata, int selection, const OSSL_PARAM params[]) {
  TAVIK_PAIR_KEY *key = keydata;
  int bad = 0;
  if (key == NULL || key->has_pub) return 0;
  const uint8_t *pk = octets(params, OSSL_PKEY_PARAM_PUB_KEY, TAVIK_HYBRID_PK_BYTES, &bad);
  const uint8_t *sk = NULL, *seed = NULL;
  if ((selection & OSSL_KEYMGMT_SELECT_PRIVATE_KEY) != 0) {
    sk = octets(params, OSSL_PKEY_PARAM_PRIV_KEY, TAVIK_HYBRID_SK_BYTES, &bad);
    seed = octets(params, TAVIK_PKEY_PARAM_SEED, TAVIK_HYBRID_SEED_BYTES, &bad);
  }
  if (bad) {
    tavik_raise(key->prov, TAVIK_R_BAD_PARAMETER_LENGTH, NULL);
    return 0;
  }
  if (seed == NULL && sk == NULL) {
    if ((selection & OSSL_KEYMGMT_SELECT_PRIVATE_KEY) != 0 && (selection & OSSL_KEYMGMT_SELECT_PUBLIC_KEY) == 0) {
      tavik_raise(key->prov, TAVIK_R_NO_SECRET_KEY, NULL);
      return 0;
    }
    if (pk == NULL) {
      tavik_raise(key->prov, TAVIK_R_NO_PUBLIC_KEY, NULL);
      return 0;
    }
  }
  return tavik_pair_key_set(key, seed, sk, pk);
}

static const OSSL_PARAM key_types[] = {
    OSSL_PARAM_octet_string(OSSL_PKEY_PARAM_PUB_KEY, NULL, 0),
    OSSL_PARAM_octet_string(OSSL_PKEY_PARAM_PRIV_KEY, NULL, 0),
    OSSL_PARAM_octet_string(TAVIK_PKEY_PARAM_SEED, NULL, 0), OSSL_PARAM_END};

static const OSSL_PARAM *pk_key_types(int selection) {
  (void)selection;
  return key_types;
}

int tavik_pair_key_export(void *keydata, int selection, OSSL_CALLBACK *cb, void *cbarg) {
  TAVIK_PAIR_KEY *key = keydata;
  OSSL_PARAM params[4];
  size_t n = 0;
  if (key == NULL || cb == NULL) return 0;
  if ((selection & OSSL_KEYMGMT_SELECT_KEYPAIR) != 0 && key->has_pub)
    params[n++] = OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, key->pub, TAVIK_HYBRID_PK_BYTES);
  if ((selection & OSSL_KEYMGMT_SELECT_PRIVATE_KEY) != 0 && key->has_priv) {
    params[n++] = OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PRIV_KEY, TAVIK_PAIR_SK(key), TAVIK_HYBRID_SK_BYTES);
    if (key->has_seed)
      params[n++] =
          OSSL_PARAM_construct_octet_string(TAVIK_PKEY_PARAM_SEED, TAVIK_PAIR_SEED(key), TAVIK_HYBRID_SEED_BYTES);
  }
  params[n] = OSSL_PARAM_construct_end();
  return cb(params, cbarg);
}

static int pk_has(const void *keydata, int selection) {
  const TAVIK_PAIR_KEY *key = keydata;
  if (key == NULL) return 0;
  if ((selection & OSSL_KEYMGMT_SELECT_PUBLIC_KEY) != 0 && !key->has_pub) return 0;
  if ((selection & OSSL_KEYMGMT_SELECT_PRIVATE_KEY) != 0 && !key->has_priv) return 0;
  return 1;
}

static int pk_match(const void *keydata1, const void *keydata2, int selection) {
  const TAVIK_PAIR_KEY *a = keydata1, *b = keydata2;
  if ((selection & OSSL_KEYMGMT_SELECT_KEYPAIR) == 0) return 1;
  if (a->has_pub != b->has_pub || (a->has_pub && memcmp(a->pub, b->pub, TAVIK_HYBRID_PK_BYTES) != 0)) return 0;
  if ((selection & OSSL_KEYMGMT_SELECT_KEYPAIR) == OSSL_KEYMGMT_SELECT_PRIVATE_KEY && a->has_priv && b->has_priv)
    return CRYPTO_memcmp(TAVIK_PAIR_SK(a), TAVIK_PAIR_SK(b), TAVIK_HYBRID_SK_BYTES) == 0;
  return 1;
}

/* A secret key is checked in both halves and against the public key beside it. */
static int pk_validate(const void *keydata, int selection, int checktype) {
  const TAVIK_PAIR_KEY *key = keydata;
  (void)checktype;
  if (!pk_has(keydata, selection)) return 0;
  if ((selection & OSSL_KEYMGMT_SELECT_PRIVATE_KEY) != 0) {
    uint8_t pub[TAVIK_HYBRID_PK_BYTES];
    if (tavik_hybrid_pk_from_sk(pub, TAVIK_PAIR_SK(key)) != TAVIK_OK) {
      tavik_raise(key->prov, TAVIK_R_DAMAGED_KEY, NULL);
      return 0;
    }
    if (memcmp(pub, key->pub, TAVIK_HYBRID_PK_BYTES) != 0) {
      tavik_raise(key->prov, TAVIK_R_KEY_MISMATCH, NULL);
      return 0;
    }
  }
  return 1;
}

static const OSSL_PARAM gettable[] = {OSSL_PARAM_int(OSSL_PKEY_PARAM_BITS, NULL),
                                      OSSL_PARAM_int(OSSL_PKEY_PARAM_SECURITY_BITS, NULL),
                                      OSSL_PARAM_int(OSSL_PKEY_PARAM_MAX_SIZE, NULL),
                                      OSSL_PARAM_utf8_string(OSSL_PKEY_PARAM_DEFAULT_DIGEST, NULL, 0),
                                      OSSL_PARAM_octet_string(OSSL_PKEY_PARAM_PUB_KEY, NULL, 0),
                                      OSSL_PARAM_octet_string(OSSL_PKEY_PARAM_PRIV_KEY, NULL, 0),
                                      OSSL_PARAM_octet_string(TAVIK_PKEY_PARAM_SEED, NULL, 0),
                                      OSSL_PARAM_END};

static const OSSL_PARAM *pk_gettable_params(void *provctx) {
  (void)provctx;
  return gettable;
}

static int set_octets(OSSL_PARAM params[], const char *name, int has, const uint8_t *v, size_t len) {
  OSSL_PARAM *p = OSSL_PARAM_locate(params, name);
  return p == NULL || !has || OSSL_PARAM_set_octet_string(p, v, len);
}

/* No digest, as for the single scheme: an empty default digest, so that a digest the user names
   (req -sha256, x509 -sha256) reaches the signature and is refused there (keymgmt.c). */
static int pk_get_params(void *keydata, OSSL_PARAM params[]) {
  const TAVIK_PAIR_KEY *key = keydata;
  OSSL_PARAM *p;
  if ((p = OSSL_PARAM_locate(params, OSSL_PKEY_PARAM_BITS)) != NULL && !OSSL_PARAM_set_int(p, PAIR_KEY_BITS)) return 0;
  if ((p = OSSL_PARAM_locate(params, OSSL_PKEY_PARAM_SECURITY_BITS)) != NULL &&
      !OSSL_PARAM_set_int(p, PAIR_SECURITY_BITS))
    return 0;
  if ((p = OSSL_PARAM_locate(params, OSSL_PKEY_PARAM_MAX_SIZE)) != NULL &&
      !OSSL_PARAM_set_int(p, TAVIK_HYBRID_SIG_BYTES))
    return 0;
  if ((p = OSSL_PARAM_locate(params, OSSL_PKEY_PARAM_DEFAULT_DIGEST)) != NULL && !OSSL_PARAM_set_utf8_string(p, ""))
    return 0;
  return set_octets(params, OSSL_PKEY_PARAM_PUB_KEY, key->has_pub, key->pub, TAVIK_HYBRID_PK_BYTES) &&
         set_octets(params, OSSL_PKEY_PARAM_PRIV_KEY, key->has_priv, key->secret, TAVIK_HYBRID_SK_BYTES) &&
         set_octets(params, TAVIK_PKEY_PARAM_SEED, key->has_seed, key->has_seed ? TAVIK_PAIR_SEED(key) : NULL,
                    TAVIK_HYBRID_SEED_BYTES);
}

static const char *pk_query_operation_name(int operation_id) {
  return operation_id == OSSL_OP_SIGNATURE ? TAVIK_PAIR_NAME : NULL;
}

/* Loading the key a decoder made: the reference holds its address, which is taken over. */
static void *pk_load(const void *reference, size_t reference_sz) {
  if (reference == NULL || reference_sz != sizeof(TAVIK_PAIR_KEY *)) return NULL;
  TAVIK_PAIR_KEY *key = *(TAVIK_PAIR_KEY **)reference;
  *(TAVIK_PAIR_KEY **)reference = NULL;
  return key;
}

/* Key generation: the pair's seed from the library context's private random generator, or the one
   given as the "seed" parameter; both halves come from it. */
typedef struct {
  TAVIK_PROVCTX *prov;
  int has_seed;
  uint8_t seed[TAVIK_HYBRID_SEED_BYTES];
} GEN_CTX;

static int pk_gen_set_params(void *genctx, const OSSL_PARAM params[]) {
  GEN_CTX *gen = genctx;
  int bad = 0;
  const uint8_t *seed = octets(params, TAVIK_PKEY_PARAM_SEED, TAVIK_HYBRID_SEED_BYTES, &bad);
  if (bad) {
    tavik_raise(gen->prov, TAVIK_R_BAD_PARAMETER_LENGTH, NULL);
    return 0;
  }
  if (seed != NULL) {
    memcpy(gen->seed, seed, TAVIK_HYBRID_SEED_BYTES);
    gen->has_seed = 1;
  }
  return 1;
}

static const OSSL_PARAM *pk_gen_settable_params(void *genctx, void *provctx) {
  static const OSSL_PARAM settable[] = {OSSL_PARAM_octet_string(TAVIK_PKEY_PARAM_SEED, NULL, 0), OSSL_PARAM_END};
  (void)genctx;
  (void)provctx;
  return settable;
}

static void *pk_gen_init(void *provctx, int selection, const OSSL_PARAM params[]) {
  GEN_CTX *gen;
  if ((selection & OSSL_KEYMGMT_SELECT_KEYPAIR) == 0) return NULL;
  gen = OPENSSL_secure_zalloc(sizeof *gen);
  if (gen == NULL) return NULL;
  gen->prov = provctx;
  if (!pk_gen_set_params(gen, params)) {
    OPENSSL_secure_clear_free(gen, sizeof *gen);
    return NULL;
  }
  return gen;
}

static void *pk_gen(void *genctx, OSSL_CALLBACK *cb, void *cbarg) {
  GEN_CTX *gen = genctx;
  (void)cb;
  (void)cbarg;
  if (!gen->has_seed && RAND_priv_bytes_ex(gen->prov->libctx, gen->seed, TAVIK_HYBRID_SEED_BYTES, 0) != 1) {
    tavik_raise(gen->prov, TAVIK_R_NO_RANDOMNESS, NULL);
    return NULL;
  }
  TAVIK_PAIR_KEY *key = tavik_pair_key_new(gen->prov);
  if (key != NULL && !tavik_pair_key_set(key, gen->seed, NULL, NULL)) {
    tavik_pair_key_free(key);
    key = NULL;
  }
  OPENSSL_cleanse(gen->seed, TAVIK_HYBRID_SEED_BYTES);
  gen->has_seed = 0;
  return key;
}

static void pk_gen_cleanup(void *genctx) { OPENSSL_secure_clear_free(genctx, sizeof(GEN_CTX)); }

const OSSL_DISPATCH tavik_pair_keymgmt_functions[] = {
    {OSSL_FUNC_KEYMGMT_NEW, (void (*)(void))pk_new},
    {OSSL_FUNC_KEYMGMT_FREE, (void (*)(void))pk_free},
    {OSSL_FUNC_KEYMGMT_DUP, (void (*)(void))pk_dup},
    {OSSL_FUNC_KEYMGMT_LOAD, (void (*)(void))pk_load},
    {OSSL_FUNC_KEYMGMT_GEN_INIT, (void (*)(void))pk_gen_init},
    {OSSL_FUNC_KEYMGMT_GEN_SET_PARAMS, (void (*)(void))pk_gen_set_params},
    {OSSL_FUNC_KEYMGMT_GEN_SETTABLE_PARAMS, (void (*)(void))pk_gen_settable_params},
    {OSSL_FUNC_KEYMGMT_GEN, (void (*)(void))pk_gen},
    {OSSL_FUNC_KEYMGMT_GEN_CLEANUP, (void (*)(void))pk_gen_cleanup},
    {OSSL_FUNC_KEYMGMT_GET_PARAMS, (void (*)(void))pk_get_params},
    {OSSL_FUNC_KEYMGMT_GETTABLE_PARAMS, (void (*)(void))pk_gettable_params},
    {OSSL_FUNC_KEYMGMT_HAS, (void (*)(void))pk_has},
    {OSSL_FUNC_KEYMGMT_MATCH, (void (*)(void))pk_match},
    {OSSL_FUNC_KEYMGMT_VALIDATE, (void (*)(void))pk_validate},
    {OSSL_FUNC_KEYMGMT_IMPORT, (void (*)(void))tavik_pair_key_import},
    {OSSL_FUNC_KEYMGMT_IMPORT_TYPES, (void (*)(void))pk_key_types},
    {OSSL_FUNC_KEYMGMT_EXPORT, (void (*)(void))tavik_pair_key_export},
    {OSSL_FUNC_KEYMGMT_EXPORT_TYPES, (void (*)(void))pk_key_types},
    {OSSL_FUNC_KEYMGMT_QUERY_OPERATION_NAME, (void (*)(void))pk_query_operation_name},
    {0, NULL}};
