/* Key management, one implementation for every algorithm the provider offers (its table says
   the sizes and the library's calls): making, importing, exporting, comparing and checking keys.
   The secret key and its seed live on OpenSSL's secure heap and are wiped when the last reference
   goes. */
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/params.h>
#include <openssl/rand.h>
#include <string.h>

#include "tavik_prov.h"

#define SECRET_BYTES(alg) ((alg)->sk_bytes + (alg)->seed_bytes)

static void *align64(void *p);

TAVIK_KEY *tavik_key_new(const TAVIK_ALG *alg, TAVIK_PROVCTX *prov) {
  TAVIK_KEY *key = OPENSSL_zalloc(sizeof *key);
  if (key == NULL) {
    tavik_raise(prov, TAVIK_R_OUT_OF_MEMORY, NULL);
    return NULL;
  }
  key->alg = alg;
  key->prov = prov;
  atomic_init(&key->refs, 1);
  atomic_init(&key->sk_uses, 0);
  atomic_init(&key->pk_uses, 0);
  atomic_init(&key->xsk, NULL);
  atomic_init(&key->xpk, NULL);
  if (pthread_mutex_init(&key->lock, NULL) != 0) {
    OPENSSL_free(key);
    return NULL;
  }
  return key;
}

/* Expanded keys are 64-byte aligned inside their allocations. */
#define EXPANDED_ROOM(type) (sizeof(type) + 63)
static void *align64(void *p) { return (void *)(((uintptr_t)p + 63) & ~(uintptr_t)63); }

const tavik_expanded_sk *tavik_key_expanded_sk(TAVIK_KEY *key) {
  const tavik_expanded_sk *x = atomic_load_explicit(&key->xsk, memory_order_acquire);
  if (x != NULL || !key->has_priv || atomic_fetch_add(&key->sk_uses, 1) == 0) return x;
  pthread_mutex_lock(&key->lock);
  x = atomic_load_explicit(&key->xsk, memory_order_relaxed);
  if (x == NULL && key->xsk_mem == NULL &&
      (key->xsk_mem = OPENSSL_secure_malloc(EXPANDED_ROOM(tavik_expanded_sk))) != NULL) {
    tavik_expanded_sk *made = align64(key->xsk_mem);
    if (tavik_expand_sk(made, TAVIK_KEY_SK(key)) == TAVIK_OK) {
      x = made;
      atomic_store_explicit(&key->xsk, x, memory_order_release);
    }
  }
  pthread_mutex_unlock(&key->lock);
  return x;
}

const tavik_expanded_pk *tavik_key_expanded_pk(TAVIK_KEY *key) {
  const tavik_expanded_pk *x = atomic_load_explicit(&key->xpk, memory_order_acquire);
  if (x != NULL || !key->has_pub || atomic_fetch_add(&key->pk_uses, 1) == 0) return x;
  pthread_mutex_lock(&key->lock);
  x = atomic_load_explicit(&key->xpk, memory_order_relaxed);
  if (x == NULL && key->xpk_mem == NULL && (key->xpk_mem = OPENSSL_malloc(EXPANDED_ROOM(tavik_expanded_pk))) != NULL) {
    tavik_expanded_pk *made = align64(key->xpk_mem);
    if (tavik_expand_pk(made, key->pub) == TAVIK_OK) {
      x = made;
      atomic_store_explicit(&key->xpk, x, memory_order_release);
    }
  }
  pthread_mutex_unlock(&key->lock);
  return x;
}

int tavik_key_up_ref(TAVIK_KEY *key) {
  atomic_fetch_add(&key->refs, 1);
  return 1;
}

void tavik_key_free(TAVIK_KEY *key) {
  if (key == NULL || atomic_fetch_sub(&key->refs, 1) != 1) return;
  if (key->xsk_mem != NULL) {
    tavik_expanded_sk_wipe(align64(key->xsk_mem));
    OPENSSL_secure_clear_free(key->xsk_mem, EXPANDED_ROOM(tavik_expanded_sk));
  }
  OPENSSL_free(key->xpk_mem);
  OPENSSL_secure_clear_free(key->secret, SECRET_BYTES(key->alg));
  pthread_mutex_destroy(&key->lock);
  OPENSSL_free(key);
}

/* Room for the secret parts. */
static int key_secret_room(TAVIK_KEY *key) {
  if (key->secret == NULL) key->secret = OPENSSL_secure_zalloc(SECRET_BYTES(key->alg));
  if (key->secret == NULL) tavik_raise(key->prov, TAVIK_R_OUT_OF_MEMORY, NULL);
  return key->secret != NULL;
}

int tavik_key_set(TAVIK_KEY *key, const uint8_t *seed, const uint8_t *sk, const uint8_t *pk) {
  const TAVIK_ALG *alg = key->alg;
  uint8_t pub[TAVIK_PROV_PK_MAX_BYTES];
  if (seed != NULL || sk != NULL) {
    if (!key_secret_room(key)) return 0;
    if (seed != NULL) {
      if (alg->keygen_from_seed(pub, TAVIK_KEY_SK(key), seed) != TAVIK_OK) return 0;
      /* Public: whether the key given beside the seed is the seed's is the result. */
      if (sk != NULL && CRYPTO_memcmp(TAVIK_KEY_SK(key), sk, alg->sk_bytes) != 0) {
        OPENSSL_cleanse(key->secret, SECRET_BYTES(alg));
        tavik_raise(key->prov, TAVIK_R_KEY_MISMATCH, "the seed does not make the secret key");
        return 0;
      }
      memcpy(TAVIK_KEY_SEED(key), seed, alg->seed_bytes);
    } else {
      memcpy(TAVIK_KEY_SK(key), sk, alg->sk_bytes);
      if (alg->pk_from_sk(pub, TAVIK_KEY_SK(key)) != TAVIK_OK) {
        OPENSSL_cleanse(key->secret, SECRET_BYTES(alg));
        tavik_raise(key->prov, TAVIK_R_DAMAGED_KEY, alg->damaged_key != NULL ? "%s" : NULL, alg->damaged_key);
        return 0;
      }
    }
    if (pk != NULL && memcmp(pub, pk, alg->pk_bytes) != 0) {
      OPENSSL_cleanse(key->secret, SECRET_BYTES(alg));
      tavik_raise(key->prov, TAVIK_R_KEY_MISMATCH, "the public key is not the secret key's");
      return 0;
    }
    memcpy(key->pub, pub, alg->pk_bytes);
    key->has_priv = 1;
    key->has_seed = seed != NULL;
  } else {
    memcpy(key->pub, pk, alg->pk_bytes);
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

static void km_free(void *keydata) { tavik_key_free(keydata); }

static void *km_dup(const void *keydata, int selection) {
  const TAVIK_KEY *src = keydata;
  TAVIK_KEY *key = tavik_key_new(src->alg, src->prov);
  if (key == NULL) return NULL;
  if ((selection & OSSL_KEYMGMT_SELECT_KEYPAIR) != 0 && src->has_pub) {
    memcpy(key->pub, src->pub, src->alg->pk_bytes);
    key->has_pub = 1;
  }
  if ((selection & OSSL_KEYMGMT_SELECT_PRIVATE_KEY) != 0 && src->has_priv) {
    if (!key_secret_room(key)) {
      tavik_key_free(key);
      return NULL;
    }
    memcpy(key->secret, src->secret, SECRET_BYTES(src->alg));
    key->has_priv = 1;
    key->has_seed = src->has_seed;
  }
  return key;
}

int tavik_key_import(void *keydata, int selection, const OSSL_PARAM params[]) {
  TAVIK_KEY *key = keydata;
  int bad = 0;
  if (key == NULL || key->has_pub) return 0;
  const TAVIK_ALG *alg = key->alg;
  const uint8_t *pk = octets(params, OSSL_PKEY_PARAM_PUB_KEY, alg->pk_bytes, &bad);
  const uint8_t *sk = NULL, *seed = NULL;
  if ((selection & OSSL_KEYMGMT_SELECT_PRIVATE_KEY) != 0) {
    sk = octets(params, OSSL_PKEY_PARAM_PRIV_KEY, alg->sk_bytes, &bad);
    seed = octets(params, TAVIK_PKEY_PARAM_SEED, alg->seed_bytes, &bad);
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
  return tavik_key_set(key, seed, sk, pk);
}

static const OSSL_PARAM key_types[] = {
    OSSL_PARAM_octet_string(OSSL_PKEY_PARAM_PUB_KEY, NULL, 0),
    OSSL_PARAM_octet_string(OSSL_PKEY_PARAM_PRIV_KEY, NULL, 0),
    OSSL_PARAM_octet_string(TAVIK_PKEY_PARAM_SEED, NULL, 0), OSSL_PARAM_END};

static const OSSL_PARAM *km_key_types(int selection) {
  (void)selection;
  return key_types;
}

int tavik_key_export(void *keydata, int selection, OSSL_CALLBACK *cb, void *cbarg) {
  TAVIK_KEY *key = keydata;
  OSSL_PARAM params[4];
  size_t n = 0;
  if (key == NULL || cb == NULL) return 0;
  const TAVIK_ALG *alg = key->alg;
  if ((selection & OSSL_KEYMGMT_SELECT_KEYPAIR) != 0 && key->has_pub)
    params[n++] = OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, key->pub, alg->pk_bytes);
  if ((selection & OSSL_KEYMGMT_SELECT_PRIVATE_KEY) != 0 && key->has_priv) {
    params[n++] = OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PRIV_KEY, TAVIK_KEY_SK(key), alg->sk_bytes);
    if (key->has_seed)
      params[n++] = OSSL_PARAM_construct_octet_string(TAVIK_PKEY_PARAM_SEED, TAVIK_KEY_SEED(key), alg->seed_bytes);
  }
  params[n] = OSSL_PARAM_construct_end();
  return cb(params, cbarg);
}

static int km_has(const void *keydata, int selection) {
  const TAVIK_KEY *key = keydata;
  if (key == NULL) return 0;
  if ((selection & OSSL_KEYMGMT_SELECT_PUBLIC_KEY) != 0 && !key->has_pub) return 0;
  if ((selection & OSSL_KEYMGMT_SELECT_PRIVATE_KEY) != 0 && !key->has_priv) return 0;
  return 1;
}

static int km_match(const void *keydata1, const void *keydata2, int selection) {
  const TAVIK_KEY *a = keydata1, *b = keydata2;
  if ((selection & OSSL_KEYMGMT_SELECT_KEYPAIR) == 0) return 1;
  if (a->alg != b->alg) return 0;
  if (a->has_pub != b->has_pub || (a->has_pub && memcmp(a->pub, b->pub, a->alg->pk_bytes) != 0)) return 0;
  if ((selection & OSSL_KEYMGMT_SELECT_KEYPAIR) == OSSL_KEYMGMT_SELECT_PRIVATE_KEY && a->has_priv && b->has_priv)
    return CRYPTO_memcmp(TAVIK_KEY_SK(a), TAVIK_KEY_SK(b), a->alg->sk_bytes) == 0;
  return 1;
}

/* A secret key is checked against its own fields (both halves, for the pair) and against the
   public key beside it. */
static int km_validate(const void *keydata, int selection, int checktype) {
  const TAVIK_KEY *key = keydata;
  (void)checktype;
  if (!km_has(keydata, selection)) return 0;
  if ((selection & OSSL_KEYMGMT_SELECT_PRIVATE_KEY) != 0) {
    uint8_t pub[TAVIK_PROV_PK_MAX_BYTES];
    if (key->alg->pk_from_sk(pub, TAVIK_KEY_SK(key)) != TAVIK_OK) {
      tavik_raise(key->prov, TAVIK_R_DAMAGED_KEY, NULL);
      return 0;
    }
    if (memcmp(pub, key->pub, key->alg->pk_bytes) != 0) {
      tavik_raise(key->prov, TAVIK_R_KEY_MISMATCH, NULL);
      return 0;
    }
  }
  return 1;
}

/* The single scheme's parameters. No "security-bits" is reported: the parameter set has no
   derived strength figure, so libcrypto reads 0 and its security-level checks (an auth_level of
   1 or more, TLS security levels) refuse these keys rather than rely on an unfounded number. */
static const OSSL_PARAM gettable[] = {OSSL_PARAM_int(OSSL_PKEY_PARAM_BITS, NULL),
                                      OSSL_PARAM_int(OSSL_PKEY_PARAM_MAX_SIZE, NULL),
                                      OSSL_PARAM_utf8_string(OSSL_PKEY_PARAM_DEFAULT_DIGEST, NULL, 0),
                                      OSSL_PARAM_octet_string(OSSL_PKEY_PARAM_PUB_KEY, NULL, 0),
                                      OSSL_PARAM_octet_string(OSSL_PKEY_PARAM_PRIV_KEY, NULL, 0),
                                      OSSL_PARAM_octet_string(TAVIK_PKEY_PARAM_SEED, NULL, 0),
                                      OSSL_PARAM_END};

static int set_octets(OSSL_PARAM params[], const char *name, int has, const uint8_t *v, size_t len) {
  OSSL_PARAM *p = OSSL_PARAM_locate(params, name);
  return p == NULL || !has || OSSL_PARAM_set_octet_string(p, v, len);
}

/* The digest: none, said as an empty default digest, which EVP_PKEY_get_default_digest_name()
   reports as "UNDEF" (returning 1) and on which libcrypto signs the message itself. It is not
   said as a mandatory digest: on one, the openssl program drops a digest the user named
   (req -sha256, x509 -sha256) without a word, where it should reach the signature and be refused. */
static int km_get_params(void *keydata, OSSL_PARAM params[]) {
  const TAVIK_KEY *key = keydata;
  const TAVIK_ALG *alg = key->alg;
  OSSL_PARAM *p;
  if ((p = OSSL_PARAM_locate(params, OSSL_PKEY_PARAM_BITS)) != NULL && !OSSL_PARAM_set_int(p, alg->key_bits))
    return 0;
  if (alg->security_bits != 0 && (p = OSSL_PARAM_locate(params, OSSL_PKEY_PARAM_SECURITY_BITS)) != NULL &&
      !OSSL_PARAM_set_int(p, alg->security_bits))
    return 0;
  if ((p = OSSL_PARAM_locate(params, OSSL_PKEY_PARAM_MAX_SIZE)) != NULL && !OSSL_PARAM_set_int(p, (int)alg->sig_bytes))
    return 0;
  if ((p = OSSL_PARAM_locate(params, OSSL_PKEY_PARAM_DEFAULT_DIGEST)) != NULL && !OSSL_PARAM_set_utf8_string(p, ""))
    return 0;
  return set_octets(params, OSSL_PKEY_PARAM_PUB_KEY, key->has_pub, key->pub, alg->pk_bytes) &&
         set_octets(params, OSSL_PKEY_PARAM_PRIV_KEY, key->has_priv, key->secret, alg->sk_bytes) &&
         set_octets(params, TAVIK_PKEY_PARAM_SEED, key->has_seed, key->has_seed ? TAVIK_KEY_SEED(key) : NULL,
                    alg->seed_bytes);
}

/* Loading the key a decoder made: the reference holds its address, which is taken over when the
   key is of the algorithm asked for. */
static void *km_load(const TAVIK_ALG *alg, const void *reference, size_t reference_sz) {
  if (reference == NULL || reference_sz != sizeof(TAVIK_KEY *)) return NULL;
  TAVIK_KEY *key = *(TAVIK_KEY **)reference;
  if (key == NULL || key->alg != alg) return NULL;
  *(TAVIK_KEY **)reference = NULL;
  return key;
}

/* Key generation: a seed from the library context's private random generator, or the one given
   as the "seed" parameter; for the pair, both halves come from it. */
typedef struct {
  const TAVIK_ALG *alg;
  TAVIK_PROVCTX *prov;
  int has_seed;
  uint8_t seed[TAVIK_PROV_SEED_MAX_BYTES];
} GEN_CTX;

static int km_gen_set_params(void *genctx, const OSSL_PARAM params[]) {
  GEN_CTX *gen = genctx;
  int bad = 0;
  const uint8_t *seed = octets(params, TAVIK_PKEY_PARAM_SEED, gen->alg->seed_bytes, &bad);
  if (bad) {
    tavik_raise(gen->prov, TAVIK_R_BAD_PARAMETER_LENGTH, NULL);
    return 0;
  }
  if (seed != NULL) {
    memcpy(gen->seed, seed, gen->alg->seed_bytes);
    gen->has_seed = 1;
  }
  return 1;
}

static const OSSL_PARAM *km_gen_settable_params(void *genctx, void *provctx) {
  static const OSSL_PARAM settable[] = {OSSL_PARAM_octet_string(TAVIK_PKEY_PARAM_SEED, NULL, 0), OSSL_PARAM_END};
  (void)genctx;
  (void)provctx;
  return settable;
}

static void *km_gen_init(const TAVIK_ALG *alg, void *provctx, int selection, const OSSL_PARAM params[]) {
  GEN_CTX *gen;
  if ((selection & OSSL_KEYMGMT_SELECT_KEYPAIR) == 0) return NULL;
  gen = OPENSSL_secure_zalloc(sizeof *gen);
  if (gen == NULL) return NULL;
  gen->alg = alg;
  gen->prov = provctx;
  if (!km_gen_set_params(gen, params)) {
    OPENSSL_secure_clear_free(gen, sizeof *gen);
    return NULL;
  }
  return gen;
}

/* The seed's random bytes, from the generator the application configured: where no loaded
   provider offers one (the tavik provider alone), that is said, with the remedy, instead of a
   failure of a random source; libcrypto's own lines about the fetch stay on the queue before it. */
static int draw_seed(GEN_CTX *gen) {
  if (RAND_get0_private(gen->prov->libctx) == NULL) {
    tavik_raise(gen->prov, TAVIK_R_NO_GENERATOR, NULL);
    return 0;
  }
  if (RAND_priv_bytes_ex(gen->prov->libctx, gen->seed, gen->alg->seed_bytes, 0) != 1) {
    tavik_raise(gen->prov, TAVIK_R_GENERATOR_FAILED, NULL);
    return 0;
  }
  return 1;
}

static void *km_gen(void *genctx, OSSL_CALLBACK *cb, void *cbarg) {
  GEN_CTX *gen = genctx;
  (void)cb;
  (void)cbarg;
  if (!gen->has_seed && !draw_seed(gen)) return NULL;
  TAVIK_KEY *key = tavik_key_new(gen->alg, gen->prov);
  if (key != NULL && !tavik_key_set(key, gen->seed, NULL, NULL)) {
    tavik_key_free(key);
    key = NULL;
  }
  OPENSSL_cleanse(gen->seed, gen->alg->seed_bytes);
  gen->has_seed = 0;
  return key;
}

static void km_gen_cleanup(void *genctx) { OPENSSL_secure_clear_free(genctx, sizeof(GEN_CTX)); }

const TAVIK_ALG tavik_alg = {
    .name = TAVIK_ALG_NAME,
    .pk_bytes = TAVIK_PK_BYTES,
    .sk_bytes = TAVIK_SK_BYTES,
    .seed_bytes = TAVIK_SEED_BYTES,
    .sig_bytes = TAVIK_SIG_BYTES,
    .key_bits = 8 * TAVIK_PK_BYTES,
    .security_bits = 0,
    .gettable = gettable,
    .damaged_key = NULL,
    .keygen_from_seed = sig_keygen_from_seed,
    .pk_from_sk = tavik_pk_from_sk,
    .algorithm_identifier = tavik_der_algorithm_identifier,
    .sig = &tavik_sig_calls,
    .codec = &tavik_codec_calls,
};

/* An algorithm's key management: the calls that name no key are made for it here. */
#define KEYMGMT(prefix, alg)                                                                        \
  static void *prefix##_km_new(void *provctx) { return tavik_key_new(&(alg), provctx); }             \
  static void *prefix##_km_load(const void *reference, size_t reference_sz) {                        \
    return km_load(&(alg), reference, reference_sz);                                                 \
  }                                                                                                  \
  static void *prefix##_km_gen_init(void *provctx, int selection, const OSSL_PARAM params[]) {       \
    return km_gen_init(&(alg), provctx, selection, params);                                          \
  }                                                                                                  \
  static const OSSL_PARAM *prefix##_km_gettable_params(void *provctx) {                              \
    (void)provctx;                                                                                   \
    return (alg).gettable;                                                                           \
  }                                                                                                  \
  static const char *prefix##_km_query_operation_name(int operation_id) {                            \
    return operation_id == OSSL_OP_SIGNATURE ? (alg).name : NULL;                                    \
  }                                                                                                  \
  const OSSL_DISPATCH prefix##_keymgmt_functions[] = {                                               \
      {OSSL_FUNC_KEYMGMT_NEW, (void (*)(void))prefix##_km_new},                                      \
      {OSSL_FUNC_KEYMGMT_FREE, (void (*)(void))km_free},                                             \
      {OSSL_FUNC_KEYMGMT_DUP, (void (*)(void))km_dup},                                               \
      {OSSL_FUNC_KEYMGMT_LOAD, (void (*)(void))prefix##_km_load},                                    \
      {OSSL_FUNC_KEYMGMT_GEN_INIT, (void (*)(void))prefix##_km_gen_init},                            \
      {OSSL_FUNC_KEYMGMT_GEN_SET_PARAMS, (void (*)(void))km_gen_set_params},                         \
      {OSSL_FUNC_KEYMGMT_GEN_SETTABLE_PARAMS, (void (*)(void))km_gen_settable_params},               \
      {OSSL_FUNC_KEYMGMT_GEN, (void (*)(void))km_gen},                                               \
      {OSSL_FUNC_KEYMGMT_GEN_CLEANUP, (void (*)(void))km_gen_cleanup},                               \
      {OSSL_FUNC_KEYMGMT_GET_PARAMS, (void (*)(void))km_get_params},                                 \
      {OSSL_FUNC_KEYMGMT_GETTABLE_PARAMS, (void (*)(void))prefix##_km_gettable_params},              \
      {OSSL_FUNC_KEYMGMT_HAS, (void (*)(void))km_has},                                               \
      {OSSL_FUNC_KEYMGMT_MATCH, (void (*)(void))km_match},                                           \
      {OSSL_FUNC_KEYMGMT_VALIDATE, (void (*)(void))km_validate},                                     \
      {OSSL_FUNC_KEYMGMT_IMPORT, (void (*)(void))tavik_key_import},                                  \
      {OSSL_FUNC_KEYMGMT_IMPORT_TYPES, (void (*)(void))km_key_types},                                \
      {OSSL_FUNC_KEYMGMT_EXPORT, (void (*)(void))tavik_key_export},                                  \
      {OSSL_FUNC_KEYMGMT_EXPORT_TYPES, (void (*)(void))km_key_types},                                \
      {OSSL_FUNC_KEYMGMT_QUERY_OPERATION_NAME, (void (*)(void))prefix##_km_query_operation_name},    \
      {0, NULL}};

KEYMGMT(tavik, tavik_alg)
#ifdef TAVIK_PROVIDER_PAIR
KEYMGMT(tavik_pair, tavik_pair_alg)
#endif
