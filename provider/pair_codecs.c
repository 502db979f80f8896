/* Encoders and decoders of "tavik-ed25519", the hybrid pair: SubjectPublicKeyInfo and PrivateKeyInfo
   in DER and PEM through the pair's containers (tavik_hybrid_der.h), the private key encrypted when
   libcrypto asks for a cipher, and a text form. PEM input reaches the DER decoders through
   libcrypto's own PEM and decryption decoders, as for the single scheme (codecs.c). */
#include <openssl/core_names.h>
#include <openssl/core_object.h>
#include <openssl/crypto.h>
#include <openssl/params.h>
#include <string.h>

#include "tavik_prov.h"

enum { SPKI_DER, SPKI_PEM, PKI_DER, PKI_PEM, TEXT };

#define ROOM TAVIK_HYBRID_SK_PEM_MAX_BYTES

static int encode(CODEC_CTX *ctx, int kind, OSSL_CORE_BIO *out, const void *obj_raw, const OSSL_PARAM obj_abstract[],
                  int selection, OSSL_PASSPHRASE_CALLBACK *cb, void *cbarg) {
  const TAVIK_KEY *key = obj_raw;
  TAVIK_KEY *imported = NULL;
  int ok = 0;
  if (key == NULL && obj_abstract != NULL) {
    if ((imported = tavik_key_new(&tavik_pair_alg, ctx->prov)) == NULL ||
        !tavik_key_import(imported, selection, obj_abstract)) {
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
  uint8_t *buf = OPENSSL_secure_malloc(ROOM);
  size_t n = 0;
  int32_t r = TAVIK_OK;
  if (buf == NULL) {
    tavik_raise(ctx->prov, TAVIK_R_OUT_OF_MEMORY, NULL);
    goto done;
  }
  const uint8_t *seed = key->has_priv && key->has_seed ? TAVIK_KEY_SEED(key) : NULL;
  const uint8_t *sk = key->has_priv ? TAVIK_KEY_SK(key) : NULL;
  switch (kind) {
    case SPKI_DER: r = tavik_hybrid_pk_to_der(buf, ROOM, &n, key->pub); break;
    case SPKI_PEM: r = tavik_hybrid_pk_to_pem((char *)buf, ROOM, &n, key->pub); break;
    case PKI_DER:
    case PKI_PEM:
      /* The seed and the key both, when the seed is known. Encrypted, libcrypto armours the DER. */
      if (kind == PKI_DER || ctx->cipher != NULL) {
        r = tavik_hybrid_sk_to_der(buf, ROOM, &n, seed, sk);
      } else {
        r = tavik_hybrid_sk_to_pem((char *)buf, ROOM, &n, seed, sk);
      }
      break;
    default: break;
  }
  if (r != TAVIK_OK) {
    tavik_raise_code(ctx->prov, r);
  } else if (kind == TEXT) {
    const int priv = (selection & OSSL_KEYMGMT_SELECT_PRIVATE_KEY) != 0 && key->has_priv;
    const char *head = priv ? "tavik-ed25519 Private-Key:\n" : "tavik-ed25519 Public-Key:\n";
    ok = tavik_bio_write(out, head, strlen(head)) &&
         (!priv || seed == NULL || tavik_write_hex(out, "seed:\n", seed, TAVIK_HYBRID_SEED_BYTES)) &&
         (!priv || tavik_write_hex(out, "tavik priv:\n", sk, TAVIK_SK_BYTES)) &&
         (!priv || tavik_write_hex(out, "ed25519 priv:\n", sk + TAVIK_HYBRID_SK_ED25519_SEED_OFFSET,
                                   TAVIK_HYBRID_ED25519_SEED_BYTES)) &&
         tavik_write_hex(out, "tavik pub:\n", key->pub, TAVIK_PK_BYTES) &&
         tavik_write_hex(out, "ed25519 pub:\n", key->pub + TAVIK_HYBRID_PK_ED25519_OFFSET,
                         TAVIK_HYBRID_ED25519_PK_BYTES);
  } else if ((kind == PKI_DER || kind == PKI_PEM) && ctx->cipher != NULL) {
    ok = tavik_write_encrypted(ctx, out, buf, n, kind == PKI_PEM, cb, cbarg);
  } else {
    ok = tavik_bio_write(out, buf, n);
  }
  OPENSSL_secure_clear_free(buf, ROOM);
done:
  tavik_key_free(imported);
  return ok;
}

static void *enc_import_object(void *vctx, int selection, const OSSL_PARAM params[]) {
  CODEC_CTX *ctx = vctx;
  TAVIK_KEY *key = tavik_key_new(&tavik_pair_alg, ctx->prov);
  if (key != NULL && !tavik_key_import(key, selection, params)) {
    tavik_key_free(key);
    key = NULL;
  }
  return key;
}

static void enc_free_object(void *key) { tavik_key_free(key); }

#define ENCODER(name, kind, handled)                                                                            \
  static int name##_does_selection(void *provctx, int selection) {                                             \
    (void)provctx;                                                                                              \
    return tavik_selection_fits(selection, handled);                                                           \
  }                                                                                                             \
  static int name##_encode(void *vctx, OSSL_CORE_BIO *out, const void *obj_raw, const OSSL_PARAM obj_abstract[], \
                           int selection, OSSL_PASSPHRASE_CALLBACK *cb, void *cbarg) {                          \
    return encode(vctx, kind, out, obj_raw, obj_abstract, selection, cb, cbarg);                                \
  }                                                                                                             \
  const OSSL_DISPATCH tavik_pair_##name##_encoder_functions[] = {                                               \
      {OSSL_FUNC_ENCODER_NEWCTX, (void (*)(void))tavik_codec_newctx},                                           \
      {OSSL_FUNC_ENCODER_FREECTX, (void (*)(void))tavik_codec_freectx},                                         \
      {OSSL_FUNC_ENCODER_SET_CTX_PARAMS, (void (*)(void))tavik_enc_set_ctx_params},                             \
      {OSSL_FUNC_ENCODER_SETTABLE_CTX_PARAMS, (void (*)(void))tavik_enc_settable_ctx_params},                   \
      {OSSL_FUNC_ENCODER_DOES_SELECTION, (void (*)(void))name##_does_selection},                                \
      {OSSL_FUNC_ENCODER_ENCODE, (void (*)(void))name##_encode},                                                \
      {OSSL_FUNC_ENCODER_IMPORT_OBJECT, (void (*)(void))enc_import_object},                                     \
      {OSSL_FUNC_ENCODER_FREE_OBJECT, (void (*)(void))enc_free_object},                                         \
      {0, NULL}};

ENCODER(spki_der, SPKI_DER, OSSL_KEYMGMT_SELECT_PUBLIC_KEY)
ENCODER(spki_pem, SPKI_PEM, OSSL_KEYMGMT_SELECT_PUBLIC_KEY)
ENCODER(pki_der, PKI_DER, OSSL_KEYMGMT_SELECT_PRIVATE_KEY)
ENCODER(pki_pem, PKI_PEM, OSSL_KEYMGMT_SELECT_PRIVATE_KEY)
ENCODER(text, TEXT, OSSL_KEYMGMT_SELECT_KEYPAIR)

/* Decoding. Input that is not one of the pair's containers is left to other decoders (return 1,
   nothing decoded); a container of the pair that the strict decoder refuses ends the decoding with
   the refusal's reason. */
#define DECODE_ROOM (TAVIK_DER_MAX_CONTAINER_BYTES + 4096)

static int ours(const uint8_t *der, size_t n) {
  uint8_t aid[8 + TAVIK_OID_MAX_BYTES];
  size_t len = 0;
  if (tavik_hybrid_der_algorithm_identifier(aid, sizeof aid, &len) != TAVIK_OK) return 0;
  for (size_t i = 0; i + len <= n && i < 32; ++i)
    if (memcmp(der + i, aid, len) == 0) return 1;
  return 0;
}

static int decode(CODEC_CTX *ctx, int secret, OSSL_CORE_BIO *in, OSSL_CALLBACK *data_cb, void *data_cbarg) {
  uint8_t *der = OPENSSL_secure_malloc(DECODE_ROOM);
  uint8_t *sk = OPENSSL_secure_malloc(TAVIK_HYBRID_SK_BYTES + TAVIK_HYBRID_SEED_BYTES);
  uint8_t pk[TAVIK_HYBRID_PK_BYTES];
  size_t n = 0, got = 0;
  uint32_t form = 0;
  int ok = 1;
  TAVIK_KEY *key = NULL;
  if (der == NULL || sk == NULL) {
    tavik_raise(ctx->prov, TAVIK_R_OUT_OF_MEMORY, NULL);
    ok = 0;
    goto done;
  }
  while (n < DECODE_ROOM && tavik_bio_read(in, der + n, DECODE_ROOM - n, &got) && got > 0) n += got;
  if (n == DECODE_ROOM) goto done; /* longer than any container of the pair */
  uint8_t *seed = sk + TAVIK_HYBRID_SK_BYTES;
  const int32_t r = secret ? tavik_hybrid_sk_from_der(sk, seed, &form, der, n) : tavik_hybrid_pk_from_der(pk, der, n);
  if (r != TAVIK_OK) {
    if (r != TAVIK_DER_WRONG_ALGORITHM && ours(der, n)) {
      tavik_raise_code(ctx->prov, r);
      ok = 0;
    }
    goto done;
  }
  if ((key = tavik_key_new(&tavik_pair_alg, ctx->prov)) == NULL ||
      !(secret ? tavik_key_set(key, (form & TAVIK_FORM_SEED) ? seed : NULL, (form & TAVIK_FORM_SEED) ? NULL : sk,
                                    NULL)
               : tavik_key_set(key, NULL, NULL, pk))) {
    ok = 0;
    goto done;
  }
  {
    int type = OSSL_OBJECT_PKEY;
    OSSL_PARAM params[4];
    params[0] = OSSL_PARAM_construct_int(OSSL_OBJECT_PARAM_TYPE, &type);
    params[1] = OSSL_PARAM_construct_utf8_string(OSSL_OBJECT_PARAM_DATA_TYPE, (char *)TAVIK_PAIR_NAME, 0);
    params[2] = OSSL_PARAM_construct_octet_string(OSSL_OBJECT_PARAM_REFERENCE, &key, sizeof key);
    params[3] = OSSL_PARAM_construct_end();
    ok = data_cb(params, data_cbarg);
  }
done:
  tavik_key_free(key); /* NULL when the key was taken over */
  OPENSSL_secure_clear_free(der, DECODE_ROOM);
  OPENSSL_secure_clear_free(sk, TAVIK_HYBRID_SK_BYTES + TAVIK_HYBRID_SEED_BYTES);
  return ok;
}

static int dec_export_object(void *vctx, const void *objref, size_t objref_sz, OSSL_CALLBACK *export_cb,
                             void *export_cbarg) {
  (void)vctx;
  if (objref == NULL || objref_sz != sizeof(TAVIK_KEY *)) return 0;
  return tavik_key_export(*(TAVIK_KEY *const *)objref, OSSL_KEYMGMT_SELECT_ALL, export_cb, export_cbarg);
}

#define DECODER(name, secret, handled)                                                                       \
  static int name##_dec_does_selection(void *provctx, int selection) {                                     \
    (void)provctx;                                                                                          \
    return tavik_selection_fits(selection, handled);                                                       \
  }                                                                                                         \
  static int name##_decode(void *vctx, OSSL_CORE_BIO *in, int selection, OSSL_CALLBACK *data_cb,            \
                           void *data_cbarg, OSSL_PASSPHRASE_CALLBACK *cb, void *cbarg) {                   \
    (void)selection;                                                                                        \
    (void)cb;                                                                                               \
    (void)cbarg;                                                                                            \
    return decode(vctx, secret, in, data_cb, data_cbarg);                                                   \
  }                                                                                                         \
  const OSSL_DISPATCH tavik_pair_##name##_decoder_functions[] = {                                           \
      {OSSL_FUNC_DECODER_NEWCTX, (void (*)(void))tavik_codec_newctx},                                       \
      {OSSL_FUNC_DECODER_FREECTX, (void (*)(void))tavik_codec_freectx},                                     \
      {OSSL_FUNC_DECODER_DOES_SELECTION, (void (*)(void))name##_dec_does_selection},                        \
      {OSSL_FUNC_DECODER_DECODE, (void (*)(void))name##_decode},                                            \
      {OSSL_FUNC_DECODER_EXPORT_OBJECT, (void (*)(void))dec_export_object},                                 \
      {0, NULL}};

DECODER(spki_der, 0, OSSL_KEYMGMT_SELECT_PUBLIC_KEY)
DECODER(pki_der, 1, OSSL_KEYMGMT_SELECT_PRIVATE_KEY)
