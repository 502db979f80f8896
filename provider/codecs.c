/* Encoders and decoders, one implementation for every algorithm the provider offers (its table
   says the containers' calls and sizes): SubjectPublicKeyInfo and PrivateKeyInfo in DER and PEM through the
   library's containers, the private key encrypted (EncryptedPrivateKeyInfo) when libcrypto asks
   for a cipher, and a text form for -text. PEM input, encrypted or not, reaches the DER decoders
   through libcrypto's own PEM and decryption decoders. */
#include <openssl/core_names.h>
#include <openssl/core_object.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>
#include <stdio.h>
#include <string.h>

#include "tavik_prov.h"

enum { SPKI_DER, SPKI_PEM, PKI_DER, PKI_PEM, TEXT };

typedef struct {
  TAVIK_PROVCTX *prov;
  EVP_CIPHER *cipher; /* encrypt the private key with it when set */
} CODEC_CTX;

static void *tavik_codec_newctx(void *provctx) {
  CODEC_CTX *ctx = OPENSSL_zalloc(sizeof *ctx);
  if (ctx != NULL) ctx->prov = provctx;
  return ctx;
}

static void tavik_codec_freectx(void *vctx) {
  CODEC_CTX *ctx = vctx;
  if (ctx == NULL) return;
  EVP_CIPHER_free(ctx->cipher);
  OPENSSL_free(ctx);
}

static int tavik_enc_set_ctx_params(void *vctx, const OSSL_PARAM params[]) {
  CODEC_CTX *ctx = vctx;
  const OSSL_PARAM *cipher = OSSL_PARAM_locate_const(params, OSSL_ENCODER_PARAM_CIPHER);
  const OSSL_PARAM *props = OSSL_PARAM_locate_const(params, OSSL_ENCODER_PARAM_PROPERTIES);
  const char *name = NULL, *propq = NULL;
  if (cipher == NULL) return 1;
  if (!OSSL_PARAM_get_utf8_string_ptr(cipher, &name) ||
      (props != NULL && !OSSL_PARAM_get_utf8_string_ptr(props, &propq)))
    return 0;
  EVP_CIPHER_free(ctx->cipher);
  ctx->cipher = NULL;
  if (name == NULL) return 1;
  ctx->cipher = EVP_CIPHER_fetch(ctx->prov->libctx, name, propq);
  return ctx->cipher != NULL;
}

static const OSSL_PARAM *tavik_enc_settable_ctx_params(void *provctx) {
  static const OSSL_PARAM settable[] = {OSSL_PARAM_utf8_string(OSSL_ENCODER_PARAM_CIPHER, NULL, 0),
                                        OSSL_PARAM_utf8_string(OSSL_ENCODER_PARAM_PROPERTIES, NULL, 0),
                                        OSSL_PARAM_END};
  (void)provctx;
  return settable;
}

/* Selections are levels: a selection asks for its highest part, which the coder must handle. */
static int tavik_selection_fits(int selection, int handled) {
  if (selection == 0) return 1;
  if ((selection & OSSL_KEYMGMT_SELECT_PRIVATE_KEY) != 0) return (handled & OSSL_KEYMGMT_SELECT_PRIVATE_KEY) != 0;
  if ((selection & OSSL_KEYMGMT_SELECT_PUBLIC_KEY) != 0) return (handled & OSSL_KEYMGMT_SELECT_PUBLIC_KEY) != 0;
  return 0;
}

/* Hex with colons, 15 bytes a line, as libcrypto prints keys; the digits are computed, not
   looked up, since a secret key is printed too. */
static int tavik_write_hex(OSSL_CORE_BIO *out, const char *title, const uint8_t *p, size_t n) {
  char line[4 + 15 * 3 + 2];
  if (!tavik_bio_write(out, title, strlen(title))) return 0;
  for (size_t i = 0; i < n; i += 15) {
    size_t o = 0;
    memcpy(line, "    ", 4);
    o = 4;
    for (size_t j = i; j < n && j < i + 15; ++j) {
      for (int shift = 4; shift >= 0; shift -= 4) {
        const uint32_t v = (p[j] >> shift) & 15u;
        line[o++] = (char)('0' + v + 39u * ((9u - v) >> 31));
      }
      if (j + 1 < n) line[o++] = ':';
    }
    line[o++] = '\n';
    if (!tavik_bio_write(out, line, o)) return 0;
  }
  OPENSSL_cleanse(line, sizeof line);
  return 1;
}

/* EncryptedPrivateKeyInfo of a PrivateKeyInfo under the context's cipher and the caller's
   passphrase, in DER or PEM. */
static int tavik_write_encrypted(CODEC_CTX *ctx, OSSL_CORE_BIO *out, const uint8_t *der, size_t n, int pem,
                                 OSSL_PASSPHRASE_CALLBACK *cb, void *cbarg) {
  char pass[1024];
  size_t passlen = 0;
  int ok = 0;
  const unsigned char *p = der;
  PKCS8_PRIV_KEY_INFO *p8 = NULL;
  X509_SIG *enc = NULL;
  BIO *mem = NULL;
  if (cb == NULL || !cb(pass, sizeof pass, &passlen, NULL, cbarg)) {
    tavik_raise(ctx->prov, TAVIK_R_ENCRYPTION_FAILED, "no passphrase");
    goto done;
  }
  if ((p8 = d2i_PKCS8_PRIV_KEY_INFO(NULL, &p, (long)n)) == NULL ||
      (enc = PKCS8_encrypt_ex(-1, ctx->cipher, pass, (int)passlen, NULL, 0, 0, p8, ctx->prov->libctx, NULL)) == NULL ||
      (mem = BIO_new(BIO_s_mem())) == NULL ||
      !(pem ? PEM_write_bio_PKCS8(mem, enc) : i2d_PKCS8_bio(mem, enc))) {
    tavik_raise(ctx->prov, TAVIK_R_ENCRYPTION_FAILED, NULL);
    goto done;
  }
  char *text = NULL;
  const long len = BIO_get_mem_data(mem, &text);
  ok = len > 0 && tavik_bio_write(out, text, (size_t)len);
done:
  OPENSSL_cleanse(pass, sizeof pass);
  BIO_free(mem);
  X509_SIG_free(enc);
  PKCS8_PRIV_KEY_INFO_free(p8);
  return ok;
}

static int encode(const TAVIK_ALG *alg, CODEC_CTX *ctx, int kind, OSSL_CORE_BIO *out, const void *obj_raw,
                  const OSSL_PARAM obj_abstract[], int selection, OSSL_PASSPHRASE_CALLBACK *cb, void *cbarg) {
  const TAVIK_CODEC_CALLS *calls = alg->codec;
  const TAVIK_KEY *key = obj_raw;
  TAVIK_KEY *imported = NULL;
  int ok = 0;
  if (key == NULL && obj_abstract != NULL) {
    if ((imported = tavik_key_new(alg, ctx->prov)) == NULL || !tavik_key_import(imported, selection, obj_abstract)) {
      tavik_key_free(imported);
      return 0;
    }
    key = imported;
  }
  if (key == NULL || !key->has_pub) {
    tavik_raise(ctx->prov, TAVIK_R_NO_PUBLIC_KEY, NULL);
    goto done;
  }
  if ((kind == PKI_DER || kind == PKI_PEM) && !key->has_priv) {
    tavik_raise(ctx->prov, TAVIK_R_NO_SECRET_KEY, NULL);
    goto done;
  }
  uint8_t *buf = OPENSSL_secure_malloc(calls->room);
  size_t n = 0;
  int32_t r = TAVIK_OK;
  if (buf == NULL) {
    tavik_raise(ctx->prov, TAVIK_R_OUT_OF_MEMORY, NULL);
    goto done;
  }
  const uint8_t *seed = key->has_priv && key->has_seed ? TAVIK_KEY_SEED(key) : NULL;
  const uint8_t *sk = key->has_priv ? TAVIK_KEY_SK(key) : NULL;
  switch (kind) {
    case SPKI_DER: r = calls->pk_to_der(buf, calls->room, &n, key->pub); break;
    case SPKI_PEM: r = calls->pk_to_pem((char *)buf, calls->room, &n, key->pub); break;
    case PKI_DER:
    case PKI_PEM:
      /* The seed and the key both, when the seed is known. Encrypted, libcrypto armours the DER. */
      if (kind == PKI_DER || ctx->cipher != NULL) {
        r = calls->sk_to_der(buf, calls->room, &n, seed, sk);
      } else {
        r = calls->sk_to_pem((char *)buf, calls->room, &n, seed, sk);
      }
      break;
    default: break;
  }
  if (r != TAVIK_OK) {
    tavik_raise_code(ctx->prov, r);
  } else if (kind == TEXT) {
    /* The algorithm's name and what the key holds, the secret parts only when asked for. */
    const int priv = (selection & OSSL_KEYMGMT_SELECT_PRIVATE_KEY) != 0 && key->has_priv;
    const char *head = priv ? " Private-Key:\n" : " Public-Key:\n";
    ok = tavik_bio_write(out, alg->name, strlen(alg->name)) && tavik_bio_write(out, head, strlen(head)) &&
         (!priv || seed == NULL || tavik_write_hex(out, "seed:\n", seed, alg->seed_bytes));
    for (const TAVIK_TEXT_PART *part = calls->text; ok && part->title != NULL; ++part)
      if (priv || !part->secret)
        ok = tavik_write_hex(out, part->title, (part->secret ? sk : key->pub) + part->offset, part->len);
  } else if ((kind == PKI_DER || kind == PKI_PEM) && ctx->cipher != NULL) {
    ok = tavik_write_encrypted(ctx, out, buf, n, kind == PKI_PEM, cb, cbarg);
  } else {
    ok = tavik_bio_write(out, buf, n);
  }
  OPENSSL_secure_clear_free(buf, calls->room);
done:
  tavik_key_free(imported);
  return ok;
}

static void *enc_import_object(const TAVIK_ALG *alg, void *vctx, int selection, const OSSL_PARAM params[]) {
  CODEC_CTX *ctx = vctx;
  TAVIK_KEY *key = tavik_key_new(alg, ctx->prov);
  if (key != NULL && !tavik_key_import(key, selection, params)) {
    tavik_key_free(key);
    key = NULL;
  }
  return key;
}

static void enc_free_object(void *key) { tavik_key_free(key); }

/* Decoding. Input that is not one of the algorithm's containers is left to other decoders
   (return 1, nothing decoded); a container of the algorithm that the strict decoder refuses ends
   the decoding with the refusal's reason. */
static int ours(const TAVIK_ALG *alg, const uint8_t *der, size_t n) {
  uint8_t aid[8 + TAVIK_OID_MAX_BYTES];
  size_t len = 0;
  if (alg->algorithm_identifier(aid, sizeof aid, &len) != TAVIK_OK) return 0;
  for (size_t i = 0; i + len <= n && i < 32; ++i)
    if (memcmp(der + i, aid, len) == 0) return 1;
  return 0;
}

static int decode(const TAVIK_ALG *alg, CODEC_CTX *ctx, int secret, OSSL_CORE_BIO *in, OSSL_CALLBACK *data_cb,
                  void *data_cbarg) {
  const TAVIK_CODEC_CALLS *calls = alg->codec;
  const size_t room = calls->decode_room, secret_bytes = alg->sk_bytes + alg->seed_bytes;
  uint8_t *der = OPENSSL_secure_malloc(room);
  uint8_t *sk = OPENSSL_secure_malloc(secret_bytes);
  uint8_t pk[TAVIK_PROV_PK_MAX_BYTES];
  size_t n = 0, got = 0;
  uint32_t form = 0;
  int ok = 1;
  TAVIK_KEY *key = NULL;
  if (der == NULL || sk == NULL) {
    tavik_raise(ctx->prov, TAVIK_R_OUT_OF_MEMORY, NULL);
    ok = 0;
    goto done;
  }
  while (n < room && tavik_bio_read(in, der + n, room - n, &got) && got > 0) n += got;
  if (n == room) goto done; /* longer than any container of the algorithm */
  uint8_t *seed = sk + alg->sk_bytes;
  const int32_t r = secret ? calls->sk_from_der(sk, seed, &form, der, n) : calls->pk_from_der(pk, der, n);
  if (r != TAVIK_OK) {
    if (r != TAVIK_DER_WRONG_ALGORITHM && ours(alg, der, n)) {
      tavik_raise_code(ctx->prov, r);
      ok = 0;
    }
    goto done;
  }
  if ((key = tavik_key_new(alg, ctx->prov)) == NULL ||
      !(secret ? tavik_key_set(key, (form & TAVIK_FORM_SEED) ? seed : NULL, (form & TAVIK_FORM_SEED) ? NULL : sk, NULL)
               : tavik_key_set(key, NULL, NULL, pk))) {
    ok = 0;
    goto done;
  }
  {
    int type = OSSL_OBJECT_PKEY;
    OSSL_PARAM params[4];
    params[0] = OSSL_PARAM_construct_int(OSSL_OBJECT_PARAM_TYPE, &type);
    params[1] = OSSL_PARAM_construct_utf8_string(OSSL_OBJECT_PARAM_DATA_TYPE, (char *)alg->name, 0);
    params[2] = OSSL_PARAM_construct_octet_string(OSSL_OBJECT_PARAM_REFERENCE, &key, sizeof key);
    params[3] = OSSL_PARAM_construct_end();
    ok = data_cb(params, data_cbarg);
  }
done:
  tavik_key_free(key); /* NULL when the key was taken over */
  OPENSSL_secure_clear_free(der, room);
  OPENSSL_secure_clear_free(sk, secret_bytes);
  return ok;
}

static int dec_export_object(void *vctx, const void *objref, size_t objref_sz, OSSL_CALLBACK *export_cb,
                             void *export_cbarg) {
  (void)vctx;
  if (objref == NULL || objref_sz != sizeof(TAVIK_KEY *)) return 0;
  return tavik_key_export(*(TAVIK_KEY *const *)objref, OSSL_KEYMGMT_SELECT_ALL, export_cb, export_cbarg);
}

/* The single scheme's containers, and its text form after the seed: the secret key, the public key. */
static const TAVIK_TEXT_PART single_text[] = {
    {"priv:\n", 1, 0, TAVIK_SK_BYTES}, {"pub:\n", 0, 0, TAVIK_PK_BYTES}, {NULL, 0, 0, 0}};

const TAVIK_CODEC_CALLS tavik_codec_calls = {
    .room = TAVIK_SK_PEM_MAX_BYTES,
    .decode_room = TAVIK_PKCS8_MAX_BYTES + 4096,
    .pk_to_der = tavik_pk_to_der,
    .pk_to_pem = tavik_pk_to_pem,
    .sk_to_der = tavik_sk_to_der,
    .sk_to_pem = tavik_sk_to_pem,
    .pk_from_der = tavik_pk_from_der,
    .sk_from_der = tavik_sk_from_der,
    .text = single_text,
};

/* An algorithm's encoder of one container (kind) for the parts it handles, and its decoders. */
#define ENCODER(prefix, alg, name, kind, handled)                                                             \
  static int prefix##_##name##_does_selection(void *provctx, int selection) {                                \
    (void)provctx;                                                                                            \
    return tavik_selection_fits(selection, handled);                                                          \
  }                                                                                                           \
  static int prefix##_##name##_encode(void *vctx, OSSL_CORE_BIO *out, const void *obj_raw,                    \
                                      const OSSL_PARAM obj_abstract[], int selection,                         \
                                      OSSL_PASSPHRASE_CALLBACK *cb, void *cbarg) {                            \
    return encode(&(alg), vctx, kind, out, obj_raw, obj_abstract, selection, cb, cbarg);                      \
  }                                                                                                           \
  static void *prefix##_##name##_import_object(void *vctx, int selection, const OSSL_PARAM params[]) {       \
    return enc_import_object(&(alg), vctx, selection, params);                                                \
  }                                                                                                           \
  const OSSL_DISPATCH prefix##_##name##_encoder_functions[] = {                                               \
      {OSSL_FUNC_ENCODER_NEWCTX, (void (*)(void))tavik_codec_newctx},                                         \
      {OSSL_FUNC_ENCODER_FREECTX, (void (*)(void))tavik_codec_freectx},                                       \
      {OSSL_FUNC_ENCODER_SET_CTX_PARAMS, (void (*)(void))tavik_enc_set_ctx_params},                           \
      {OSSL_FUNC_ENCODER_SETTABLE_CTX_PARAMS, (void (*)(void))tavik_enc_settable_ctx_params},                 \
      {OSSL_FUNC_ENCODER_DOES_SELECTION, (void (*)(void))prefix##_##name##_does_selection},                   \
      {OSSL_FUNC_ENCODER_ENCODE, (void (*)(void))prefix##_##name##_encode},                                   \
      {OSSL_FUNC_ENCODER_IMPORT_OBJECT, (void (*)(void))prefix##_##name##_import_object},                     \
      {OSSL_FUNC_ENCODER_FREE_OBJECT, (void (*)(void))enc_free_object},                                       \
      {0, NULL}};

#define DECODER(prefix, alg, name, secret, handled)                                                           \
  static int prefix##_##name##_dec_does_selection(void *provctx, int selection) {                            \
    (void)provctx;                                                                                            \
    return tavik_selection_fits(selection, handled);                                                          \
  }                                                                                                           \
  static int prefix##_##name##_decode(void *vctx, OSSL_CORE_BIO *in, int selection, OSSL_CALLBACK *data_cb,   \
                                      void *data_cbarg, OSSL_PASSPHRASE_CALLBACK *cb, void *cbarg) {          \
    (void)selection;                                                                                          \
    (void)cb;                                                                                                 \
    (void)cbarg;                                                                                              \
    return decode(&(alg), vctx, secret, in, data_cb, data_cbarg);                                             \
  }                                                                                                           \
  const OSSL_DISPATCH prefix##_##name##_decoder_functions[] = {                                               \
      {OSSL_FUNC_DECODER_NEWCTX, (void (*)(void))tavik_codec_newctx},                                         \
      {OSSL_FUNC_DECODER_FREECTX, (void (*)(void))tavik_codec_freectx},                                       \
      {OSSL_FUNC_DECODER_DOES_SELECTION, (void (*)(void))prefix##_##name##_dec_does_selection},               \
      {OSSL_FUNC_DECODER_DECODE, (void (*)(void))prefix##_##name##_decode},                                   \
      {OSSL_FUNC_DECODER_EXPORT_OBJECT, (void (*)(void))dec_export_object},                                   \
      {0, NULL}};

#define CODECS(prefix, alg)                                                  \
  ENCODER(prefix, alg, spki_der, SPKI_DER, OSSL_KEYMGMT_SELECT_PUBLIC_KEY)   \
  ENCODER(prefix, alg, spki_pem, SPKI_PEM, OSSL_KEYMGMT_SELECT_PUBLIC_KEY)   \
  ENCODER(prefix, alg, pki_der, PKI_DER, OSSL_KEYMGMT_SELECT_PRIVATE_KEY)    \
  ENCODER(prefix, alg, pki_pem, PKI_PEM, OSSL_KEYMGMT_SELECT_PRIVATE_KEY)    \
  ENCODER(prefix, alg, text, TEXT, OSSL_KEYMGMT_SELECT_KEYPAIR)              \
  DECODER(prefix, alg, spki_der, 0, OSSL_KEYMGMT_SELECT_PUBLIC_KEY)          \
  DECODER(prefix, alg, pki_der, 1, OSSL_KEYMGMT_SELECT_PRIVATE_KEY)

CODECS(tavik, tavik_alg)
#ifdef TAVIK_PROVIDER_PAIR
CODECS(tavik_pair, tavik_pair_alg)
#endif
