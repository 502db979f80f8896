/* Signatures of "tavik-ed25519", the hybrid pair: the tavik half and the Ed25519 half over the
   pair's message representative, valid only when both verify (libtavik-hybrid). As for the single
   scheme (signature.c): whole messages, never digests (EVP_PKEY_sign/verify with pkeyutl -rawin,
   EVP_DigestSign/DigestVerify in one piece or streamed, as certificates use), a digest refused
   however it is named, signing hedged, a streamed message finished by its final call, and the
   "context-string" parameter (0 to 255 bytes) passed to the pair's context, set before the first
   piece only, cleared by the next init; a refused digest or context leaves the operation unusable
   until the next init. */
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/params.h>
#include <string.h>

#include "tavik_prov.h"

#define CONTEXT_PARAM "context-string"

enum { OP_NONE, OP_SIGN, OP_VERIFY };
enum { STREAM_NONE, STREAM_OPEN, STREAM_FINISHED };

typedef struct {
  TAVIK_PROVCTX *prov;
  TAVIK_KEY *key;
  int op;
  int stream;
  tavik_hybrid_sign_state *sign; /* secure heap: it holds a copy of the secret key */
  tavik_hybrid_verify_state *verify;
  uint8_t context[TAVIK_HYBRID_MAX_CONTEXT_BYTES];
  size_t context_len;
} PAIR_SIG_CTX;

static void drop_streams(PAIR_SIG_CTX *ctx) {
  if (ctx->sign != NULL) {
    tavik_hybrid_sign_state_wipe(ctx->sign);
    OPENSSL_secure_clear_free(ctx->sign, sizeof *ctx->sign);
    ctx->sign = NULL;
  }
  OPENSSL_clear_free(ctx->verify, sizeof *ctx->verify);
  ctx->verify = NULL;
  ctx->stream = STREAM_NONE;
}

static void *ps_newctx(void *provctx, const char *propq) {
  PAIR_SIG_CTX *ctx = OPENSSL_zalloc(sizeof *ctx);
  (void)propq;
  if (ctx == NULL) return NULL;
  ctx->prov = provctx;
  return ctx;
}

static void ps_freectx(void *vctx) {
  PAIR_SIG_CTX *ctx = vctx;
  if (ctx == NULL) return;
  drop_streams(ctx);
  tavik_key_free(ctx->key);
  OPENSSL_free(ctx);
}

static void *ps_dupctx(void *vctx) {
  const PAIR_SIG_CTX *src = vctx;
  PAIR_SIG_CTX *ctx = ps_newctx(src->prov, NULL);
  if (ctx == NULL) return NULL;
  ctx->op = src->op;
  ctx->stream = src->stream;
  memcpy(ctx->context, src->context, src->context_len);
  ctx->context_len = src->context_len;
  if (src->key != NULL && tavik_key_up_ref(src->key)) ctx->key = src->key;
  if (src->sign != NULL) {
    ctx->sign = OPENSSL_secure_malloc(sizeof *ctx->sign);
    if (ctx->sign != NULL) memcpy(ctx->sign, src->sign, sizeof *ctx->sign);
  }
  if (src->verify != NULL) ctx->verify = OPENSSL_memdup(src->verify, sizeof *src->verify);
  if ((src->sign != NULL && ctx->sign == NULL) || (src->verify != NULL && ctx->verify == NULL)) {
    ps_freectx(ctx);
    return NULL;
  }
  return ctx;
}

static int refuse(PAIR_SIG_CTX *ctx, int reason, const char *fmt, const char *what, size_t n) {
  drop_streams(ctx);
  ctx->op = OP_NONE;
  if (what != NULL)
    tavik_raise(ctx->prov, reason, fmt, what);
  else
    tavik_raise(ctx->prov, reason, fmt, n);
  return 0;
}

static int set_context(PAIR_SIG_CTX *ctx, const OSSL_PARAM *p) {
  const void *data = NULL;
  size_t len = 0;
  if (ctx->stream != STREAM_NONE)
    return refuse(ctx, TAVIK_R_BAD_CONTEXT, "set after the message began (%zu bytes of context)", NULL, p->data_size);
  const int empty = p->data_type == OSSL_PARAM_OCTET_STRING && p->data_size == 0;
  if (!empty && !OSSL_PARAM_get_octet_string_ptr(p, &data, &len))
    return refuse(ctx, TAVIK_R_BAD_CONTEXT, "not an octet string (type %zu)", NULL, (size_t)p->data_type);
  if (len > TAVIK_HYBRID_MAX_CONTEXT_BYTES) return refuse(ctx, TAVIK_R_BAD_CONTEXT, "%zu bytes, at most 255", NULL, len);
  if (len > 0) memcpy(ctx->context, data, len);
  ctx->context_len = len;
  return 1;
}

static int ps_set_ctx_params(void *vctx, const OSSL_PARAM params[]) {
  PAIR_SIG_CTX *ctx = vctx;
  const OSSL_PARAM *p = OSSL_PARAM_locate_const(params, OSSL_SIGNATURE_PARAM_DIGEST);
  if (p != NULL) {
    const char *name = NULL;
    if (!OSSL_PARAM_get_utf8_string_ptr(p, &name) || name == NULL)
      return refuse(ctx, TAVIK_R_DIGEST_NOT_ALLOWED, "digest %s given", "(not a name)", 0);
    if (name[0] != '\0') return refuse(ctx, TAVIK_R_DIGEST_NOT_ALLOWED, "digest %s given", name, 0);
  }
  p = OSSL_PARAM_locate_const(params, CONTEXT_PARAM);
  return p == NULL || set_context(ctx, p);
}

static const OSSL_PARAM *ps_settable_ctx_params(void *vctx, void *provctx) {
  static const OSSL_PARAM settable[] = {OSSL_PARAM_utf8_string(OSSL_SIGNATURE_PARAM_DIGEST, NULL, 0),
                                        OSSL_PARAM_octet_string(CONTEXT_PARAM, NULL, 0), OSSL_PARAM_END};
  (void)vctx;
  (void)provctx;
  return settable;
}

static const OSSL_PARAM *ps_md_params(void *vctx) {
  static const OSSL_PARAM params[] = {OSSL_PARAM_octet_string(CONTEXT_PARAM, NULL, 0), OSSL_PARAM_END};
  (void)vctx;
  return params;
}

static int ps_init(PAIR_SIG_CTX *ctx, void *provkey, int op, const OSSL_PARAM params[]) {
  TAVIK_KEY *key = provkey;
  drop_streams(ctx);
  ctx->op = OP_NONE;
  ctx->context_len = 0;
  if (key != NULL) {
    tavik_key_up_ref(key);
    tavik_key_free(ctx->key);
    ctx->key = key;
  }
  if (ctx->key == NULL || (op == OP_SIGN ? !ctx->key->has_priv : !ctx->key->has_pub)) {
    tavik_raise(ctx->prov, op == OP_SIGN ? TAVIK_R_NO_SECRET_KEY : TAVIK_R_NO_PUBLIC_KEY, NULL);
    return 0;
  }
  if (!ps_set_ctx_params(ctx, params)) return 0;
  ctx->op = op;
  return 1;
}

static int ps_sign_init(void *vctx, void *provkey, const OSSL_PARAM params[]) {
  return ps_init(vctx, provkey, OP_SIGN, params);
}

static int ps_verify_init(void *vctx, void *provkey, const OSSL_PARAM params[]) {
  return ps_init(vctx, provkey, OP_VERIFY, params);
}

static int signature_room(PAIR_SIG_CTX *ctx, unsigned char *sig, size_t *siglen, size_t sigsize) {
  if (ctx->op != OP_SIGN) {
    tavik_raise(ctx->prov, TAVIK_R_WRONG_OPERATION, NULL);
    return 0;
  }
  if (sig != NULL && sigsize < TAVIK_HYBRID_SIG_BYTES) {
    tavik_raise(ctx->prov, TAVIK_R_SIGNATURE_BUFFER_TOO_SMALL, "%zu bytes given, %d needed", sigsize,
                TAVIK_HYBRID_SIG_BYTES);
    return 0;
  }
  *siglen = TAVIK_HYBRID_SIG_BYTES;
  return 1;
}

static int ps_sign(void *vctx, unsigned char *sig, size_t *siglen, size_t sigsize, const unsigned char *tbs,
                   size_t tbslen) {
  PAIR_SIG_CTX *ctx = vctx;
  if (!signature_room(ctx, sig, siglen, sigsize)) return 0;
  if (sig == NULL) return 1;
  const int32_t r = tavik_hybrid_sign(TAVIK_KEY_SK(ctx->key), ctx->context, ctx->context_len, tbs, tbslen, sig);
  if (r != TAVIK_OK) tavik_raise_code(ctx->prov, r);
  return r == TAVIK_OK;
}

static int ps_verify(void *vctx, const unsigned char *sig, size_t siglen, const unsigned char *tbs, size_t tbslen) {
  PAIR_SIG_CTX *ctx = vctx;
  if (ctx->op != OP_VERIFY) {
    tavik_raise(ctx->prov, TAVIK_R_WRONG_OPERATION, NULL);
    return 0;
  }
  return tavik_hybrid_verify(ctx->key->pub, ctx->context, ctx->context_len, sig, siglen, tbs, tbslen) == TAVIK_OK;
}

static int digest_init(PAIR_SIG_CTX *ctx, const char *mdname, void *provkey, int op, const OSSL_PARAM params[]) {
  if (mdname != NULL && mdname[0] != '\0') return refuse(ctx, TAVIK_R_DIGEST_NOT_ALLOWED, "digest %s given", mdname, 0);
  return ps_init(ctx, provkey, op, params);
}

static int ps_digest_sign_init(void *vctx, const char *mdname, void *provkey, const OSSL_PARAM params[]) {
  return digest_init(vctx, mdname, provkey, OP_SIGN, params);
}

static int ps_digest_verify_init(void *vctx, const char *mdname, void *provkey, const OSSL_PARAM params[]) {
  return digest_init(vctx, mdname, provkey, OP_VERIFY, params);
}

static int start_stream(PAIR_SIG_CTX *ctx) {
  if (ctx->stream == STREAM_OPEN) return 1;
  if (ctx->stream == STREAM_FINISHED) {
    tavik_raise(ctx->prov, TAVIK_R_FINISHED, NULL);
    return 0;
  }
  int ok = 0;
  if (ctx->op == OP_SIGN) {
    if (ctx->sign == NULL) ctx->sign = OPENSSL_secure_malloc(sizeof *ctx->sign);
    ok = ctx->sign != NULL &&
         tavik_hybrid_sign_init(ctx->sign, TAVIK_KEY_SK(ctx->key), ctx->context, ctx->context_len) == TAVIK_OK;
  } else if (ctx->op == OP_VERIFY) {
    if (ctx->verify == NULL) ctx->verify = OPENSSL_malloc(sizeof *ctx->verify);
    ok = ctx->verify != NULL &&
         tavik_hybrid_verify_init(ctx->verify, ctx->key->pub, ctx->context, ctx->context_len) == TAVIK_OK;
  }
  if (!ok) tavik_raise(ctx->prov, ctx->op == OP_NONE ? TAVIK_R_WRONG_OPERATION : TAVIK_R_OUT_OF_MEMORY, NULL);
  ctx->stream = ok ? STREAM_OPEN : STREAM_NONE;
  return ok;
}

static int ps_digest_update(void *vctx, const unsigned char *data, size_t len) {
  PAIR_SIG_CTX *ctx = vctx;
  if (!start_stream(ctx)) return 0;
  return ctx->op == OP_SIGN ? tavik_hybrid_sign_update(ctx->sign, data, len) == TAVIK_OK
                            : tavik_hybrid_verify_update(ctx->verify, data, len) == TAVIK_OK;
}

static int ps_digest_sign_final(void *vctx, unsigned char *sig, size_t *siglen, size_t sigsize) {
  PAIR_SIG_CTX *ctx = vctx;
  if (!signature_room(ctx, sig, siglen, sigsize)) return 0;
  if (sig == NULL) return 1;
  if (!start_stream(ctx)) return 0;
  ctx->stream = STREAM_FINISHED;
  const int32_t r = tavik_hybrid_sign_final(ctx->sign, sig);
  if (r != TAVIK_OK) tavik_raise_code(ctx->prov, r);
  return r == TAVIK_OK;
}

static int ps_digest_verify_final(void *vctx, const unsigned char *sig, size_t siglen) {
  PAIR_SIG_CTX *ctx = vctx;
  if (ctx->op != OP_VERIFY) {
    tavik_raise(ctx->prov, TAVIK_R_WRONG_OPERATION, NULL);
    return 0;
  }
  if (!start_stream(ctx)) return 0;
  ctx->stream = STREAM_FINISHED;
  return tavik_hybrid_verify_final(ctx->verify, sig, siglen) == TAVIK_OK;
}

/* The pair's AlgorithmIdentifier, which certificates carry for these signatures, and the context. */
static int ps_get_ctx_params(void *vctx, OSSL_PARAM params[]) {
  PAIR_SIG_CTX *ctx = vctx;
  OSSL_PARAM *p = OSSL_PARAM_locate(params, OSSL_SIGNATURE_PARAM_ALGORITHM_ID);
  if (p != NULL) {
    uint8_t aid[8 + TAVIK_OID_MAX_BYTES];
    size_t n = 0;
    if (tavik_hybrid_der_algorithm_identifier(aid, sizeof aid, &n) != TAVIK_OK ||
        !OSSL_PARAM_set_octet_string(p, aid, n)) {
      tavik_raise(ctx->prov, TAVIK_R_OUTPUT_FAILED, "algorithm identifier");
      return 0;
    }
  }
  p = OSSL_PARAM_locate(params, CONTEXT_PARAM);
  if (p != NULL && !OSSL_PARAM_set_octet_string(p, ctx->context, ctx->context_len)) {
    tavik_raise(ctx->prov, TAVIK_R_OUTPUT_FAILED, "context (%zu bytes)", ctx->context_len);
    return 0;
  }
  return 1;
}

static const OSSL_PARAM *ps_gettable_ctx_params(void *vctx, void *provctx) {
  static const OSSL_PARAM gettable[] = {OSSL_PARAM_octet_string(OSSL_SIGNATURE_PARAM_ALGORITHM_ID, NULL, 0),
                                        OSSL_PARAM_octet_string(CONTEXT_PARAM, NULL, 0), OSSL_PARAM_END};
  (void)vctx;
  (void)provctx;
  return gettable;
}

const OSSL_DISPATCH tavik_pair_signature_functions[] = {
    {OSSL_FUNC_SIGNATURE_NEWCTX, (void (*)(void))ps_newctx},
    {OSSL_FUNC_SIGNATURE_FREECTX, (void (*)(void))ps_freectx},
    {OSSL_FUNC_SIGNATURE_DUPCTX, (void (*)(void))ps_dupctx},
    {OSSL_FUNC_SIGNATURE_SIGN_INIT, (void (*)(void))ps_sign_init},
    {OSSL_FUNC_SIGNATURE_SIGN, (void (*)(void))ps_sign},
    {OSSL_FUNC_SIGNATURE_VERIFY_INIT, (void (*)(void))ps_verify_init},
    {OSSL_FUNC_SIGNATURE_VERIFY, (void (*)(void))ps_verify},
    {OSSL_FUNC_SIGNATURE_DIGEST_SIGN_INIT, (void (*)(void))ps_digest_sign_init},
    {OSSL_FUNC_SIGNATURE_DIGEST_SIGN_UPDATE, (void (*)(void))ps_digest_update},
    {OSSL_FUNC_SIGNATURE_DIGEST_SIGN_FINAL, (void (*)(void))ps_digest_sign_final},
    {OSSL_FUNC_SIGNATURE_DIGEST_SIGN, (void (*)(void))ps_sign},
    {OSSL_FUNC_SIGNATURE_DIGEST_VERIFY_INIT, (void (*)(void))ps_digest_verify_init},
    {OSSL_FUNC_SIGNATURE_DIGEST_VERIFY_UPDATE, (void (*)(void))ps_digest_update},
    {OSSL_FUNC_SIGNATURE_DIGEST_VERIFY_FINAL, (void (*)(void))ps_digest_verify_final},
    {OSSL_FUNC_SIGNATURE_DIGEST_VERIFY, (void (*)(void))ps_verify},
    {OSSL_FUNC_SIGNATURE_GET_CTX_PARAMS, (void (*)(void))ps_get_ctx_params},
    {OSSL_FUNC_SIGNATURE_GETTABLE_CTX_PARAMS, (void (*)(void))ps_gettable_ctx_params},
    {OSSL_FUNC_SIGNATURE_SET_CTX_PARAMS, (void (*)(void))ps_set_ctx_params},
    {OSSL_FUNC_SIGNATURE_SETTABLE_CTX_PARAMS, (void (*)(void))ps_settable_ctx_params},
    {OSSL_FUNC_SIGNATURE_GET_CTX_MD_PARAMS, (void (*)(void))ps_get_ctx_params},
    {OSSL_FUNC_SIGNATURE_GETTABLE_CTX_MD_PARAMS, (void (*)(void))ps_md_params},
    {OSSL_FUNC_SIGNATURE_SET_CTX_MD_PARAMS, (void (*)(void))ps_set_ctx_params},
    {OSSL_FUNC_SIGNATURE_SETTABLE_CTX_MD_PARAMS, (void (*)(void))ps_md_params},
    {0, NULL}};
