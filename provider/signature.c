/* Signatures, one implementation for every algorithm the provider offers (its table says the
   sizes and the library's calls). Signatures of whole messages, never of digests: EVP_PKEY_sign/verify take the message itself
   (pkeyutl -rawin), EVP_DigestSign/DigestVerify take it in one piece or streamed, with no digest
   set (what certificate signing uses). Signing is hedged: fresh random bytes join the key in the
   seed of every mask. A digest is refused however it is named: as the init call's digest name,
   in its parameters, or set afterwards (EVP_PKEY_CTX_set_signature_md). A streamed message ends
   with its final call: updates and finals after it are refused until the context is initialised
   again (libcrypto finishes a copy instead unless EVP_MD_CTX_FLAG_FINALISE is set).
   The "context-string" parameter (0 to 255 bytes) binds the signature to a context: signing and
   verification use the library's context forms. It holds from when it is set until the next init,
   which clears it; it may be set before the first piece of a streamed message, not after, and a
   context refused leaves the operation unusable until the next init, as a refused digest does. */
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/params.h>
#include <string.h>

#include "tavik_prov.h"

/* OpenSSL's name for the parameter; 3.0's headers do not define it. */
#define TAVIK_SIGNATURE_PARAM_CONTEXT "context-string"

enum { OP_NONE, OP_SIGN, OP_VERIFY };
/* A streamed message: none yet, started by its first piece, ended by the final call. */
enum { STREAM_NONE, STREAM_OPEN, STREAM_FINISHED };

typedef struct {
  const TAVIK_ALG *alg;
  TAVIK_PROVCTX *prov;
  TAVIK_KEY *key;
  int op;
  int stream;               /* STREAM_* */
  void *sign;               /* secure heap: it holds a copy of the secret key */
  void *verify;
  uint8_t context[TAVIK_MAX_CONTEXT_BYTES];
  size_t context_len;       /* 0: no context */
} SIG_CTX;

static void drop_streams(SIG_CTX *ctx) {
  const TAVIK_SIG_CALLS *calls = ctx->alg->sig;
  if (ctx->sign != NULL) {
    calls->sign_state_wipe(ctx->sign);
    OPENSSL_secure_clear_free(ctx->sign, calls->sign_state_bytes);
    ctx->sign = NULL;
  }
  OPENSSL_clear_free(ctx->verify, calls->verify_state_bytes);
  ctx->verify = NULL;
  ctx->stream = STREAM_NONE;
}

static void *sg_newctx(const TAVIK_ALG *alg, void *provctx) {
  SIG_CTX *ctx = OPENSSL_zalloc(sizeof *ctx);
  if (ctx == NULL) return NULL;
  ctx->alg = alg;
  ctx->prov = provctx;
  return ctx;
}

static void sg_freectx(void *vctx) {
  SIG_CTX *ctx = vctx;
  if (ctx == NULL) return;
  drop_streams(ctx);
  tavik_key_free(ctx->key);
  OPENSSL_free(ctx);
}

/* A copy, streamed message included: libcrypto finishes a copy when asked for a signature midway. */
static void *sg_dupctx(void *vctx) {
  const SIG_CTX *src = vctx;
  const TAVIK_SIG_CALLS *calls = src->alg->sig;
  SIG_CTX *ctx = sg_newctx(src->alg, src->prov);
  if (ctx == NULL) return NULL;
  ctx->op = src->op;
  ctx->stream = src->stream;
  memcpy(ctx->context, src->context, src->context_len);
  ctx->context_len = src->context_len;
  if (src->key != NULL && tavik_key_up_ref(src->key)) ctx->key = src->key;
  if (src->sign != NULL) {
    ctx->sign = OPENSSL_secure_malloc(calls->sign_state_bytes);
    if (ctx->sign != NULL) memcpy(ctx->sign, src->sign, calls->sign_state_bytes);
  }
  if (src->verify != NULL) ctx->verify = OPENSSL_memdup(src->verify, calls->verify_state_bytes);
  if ((src->sign != NULL && ctx->sign == NULL) || (src->verify != NULL && ctx->verify == NULL)) {
    sg_freectx(ctx);
    return NULL;
  }
  return ctx;
}

/* Refuses a digest and leaves the context unusable until the next init, so that a caller who
   ignores the refusal cannot go on to sign a digest as if it were the message. */
static int refuse_digest(SIG_CTX *ctx, const char *name) {
  drop_streams(ctx);
  ctx->op = OP_NONE;
  tavik_raise(ctx->prov, TAVIK_R_DIGEST_NOT_ALLOWED, "digest %s given", name);
  return 0;
}

/* Refuses a context and leaves the operation unusable until the next init: a caller who ignores
   the refusal would otherwise sign under no context, or under the one set before. */
static int refuse_context(SIG_CTX *ctx, const char *fmt, size_t n) {
  drop_streams(ctx);
  ctx->op = OP_NONE;
  tavik_raise(ctx->prov, TAVIK_R_BAD_CONTEXT, fmt, n);
  return 0;
}

static int set_context(SIG_CTX *ctx, const OSSL_PARAM *p) {
  const void *data = NULL;
  size_t len = 0;
  if (ctx->stream != STREAM_NONE)
    return refuse_context(ctx, "set after the message began (%zu bytes of context)", p->data_size);
  /* An empty octet string may carry no data pointer, which the getter refuses. */
  const int empty = p->data_type == OSSL_PARAM_OCTET_STRING && p->data_size == 0;
  if (!empty && !OSSL_PARAM_get_octet_string_ptr(p, &data, &len))
    return refuse_context(ctx, "not an octet string (type %zu)", (size_t)p->data_type);
  if (len > TAVIK_MAX_CONTEXT_BYTES) return refuse_context(ctx, "%zu bytes, at most 255", len);
  if (len > 0) memcpy(ctx->context, data, len);
  ctx->context_len = len;
  return 1;
}

/* The digest, to refuse it (no name but the empty one), and the context. */
static int sg_set_ctx_params(void *vctx, const OSSL_PARAM params[]) {
  SIG_CTX *ctx = vctx;
  const OSSL_PARAM *p = OSSL_PARAM_locate_const(params, OSSL_SIGNATURE_PARAM_DIGEST);
  if (p != NULL) {
    const char *name = NULL;
    if (!OSSL_PARAM_get_utf8_string_ptr(p, &name) || name == NULL) return refuse_digest(ctx, "(not a name)");
    if (name[0] != '\0') return refuse_digest(ctx, name);
  }
  p = OSSL_PARAM_locate_const(params, TAVIK_SIGNATURE_PARAM_CONTEXT);
  return p == NULL || set_context(ctx, p);
}

/* The digest is listed so that libcrypto hands it over (to be refused) rather than drop it; the
   context so that "-pkeyopt context-string:..." and "hexcontext-string:..." reach it. */
static const OSSL_PARAM *sg_settable_ctx_params(void *vctx, void *provctx) {
  static const OSSL_PARAM settable[] = {OSSL_PARAM_utf8_string(OSSL_SIGNATURE_PARAM_DIGEST, NULL, 0),
                                        OSSL_PARAM_octet_string(TAVIK_SIGNATURE_PARAM_CONTEXT, NULL, 0),
                                        OSSL_PARAM_END};
  (void)vctx;
  (void)provctx;
  return settable;
}

/* OpenSSL 3.0 hands EVP_MD_CTX_set_params and EVP_MD_CTX_get_params to these: the context is
   served there too, so that it can be set on the EVP_MD_CTX of EVP_DigestSign and EVP_DigestVerify. */
static const OSSL_PARAM *sg_md_params(void *vctx) {
  static const OSSL_PARAM params[] = {OSSL_PARAM_octet_string(TAVIK_SIGNATURE_PARAM_CONTEXT, NULL, 0), OSSL_PARAM_END};
  (void)vctx;
  return params;
}

static int sg_init(SIG_CTX *ctx, void *provkey, int op, const OSSL_PARAM params[]) {
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
  if (!sg_set_ctx_params(ctx, params)) return 0;
  ctx->op = op;
  return 1;
}

static int sg_sign_init(void *vctx, void *provkey, const OSSL_PARAM params[]) {
  return sg_init(vctx, provkey, OP_SIGN, params);
}

static int sg_verify_init(void *vctx, void *provkey, const OSSL_PARAM params[]) {
  return sg_init(vctx, provkey, OP_VERIFY, params);
}

/* The size on a query (sig NULL), else the room checked. */
static int signature_room(SIG_CTX *ctx, unsigned char *sig, size_t *siglen, size_t sigsize) {
  if (ctx->op != OP_SIGN) {
    tavik_raise(ctx->prov, TAVIK_R_WRONG_OPERATION, NULL);
    return 0;
  }
  if (sig != NULL && sigsize < ctx->alg->sig_bytes) {
    tavik_raise(ctx->prov, TAVIK_R_SIGNATURE_BUFFER_TOO_SMALL, "%zu bytes given, %d needed", sigsize,
                (int)ctx->alg->sig_bytes);
    return 0;
  }
  *siglen = ctx->alg->sig_bytes;
  return 1;
}

static int sg_sign(void *vctx, unsigned char *sig, size_t *siglen, size_t sigsize, const unsigned char *tbs,
                    size_t tbslen) {
  SIG_CTX *ctx = vctx;
  if (!signature_room(ctx, sig, siglen, sigsize)) return 0;
  if (sig == NULL) return 1;
  const int32_t r = ctx->alg->sig->sign(ctx->key, ctx->context, ctx->context_len, tbs, tbslen, sig);
  if (r != TAVIK_OK) tavik_raise_code(ctx->prov, r);
  return r == TAVIK_OK;
}

static int sg_verify(void *vctx, const unsigned char *sig, size_t siglen, const unsigned char *tbs, size_t tbslen) {
  SIG_CTX *ctx = vctx;
  if (ctx->op != OP_VERIFY) {
    tavik_raise(ctx->prov, TAVIK_R_WRONG_OPERATION, NULL);
    return 0;
  }
  return ctx->alg->sig->verify(ctx->key, ctx->context, ctx->context_len, sig, siglen, tbs, tbslen) == TAVIK_OK;
}

static int digest_init(SIG_CTX *ctx, const char *mdname, void *provkey, int op, const OSSL_PARAM params[]) {
  if (mdname != NULL && mdname[0] != '\0') return refuse_digest(ctx, mdname);
  return sg_init(ctx, provkey, op, params);
}

static int sg_digest_sign_init(void *vctx, const char *mdname, void *provkey, const OSSL_PARAM params[]) {
  return digest_init(vctx, mdname, provkey, OP_SIGN, params);
}

static int sg_digest_verify_init(void *vctx, const char *mdname, void *provkey, const OSSL_PARAM params[]) {
  return digest_init(vctx, mdname, provkey, OP_VERIFY, params);
}

/* Starts the streamed message on its first piece; refuses one that has been finished. */
static int start_stream(SIG_CTX *ctx) {
  if (ctx->stream == STREAM_OPEN) return 1;
  if (ctx->stream == STREAM_FINISHED) {
    tavik_raise(ctx->prov, TAVIK_R_FINISHED, NULL);
    return 0;
  }
  const TAVIK_SIG_CALLS *calls = ctx->alg->sig;
  int ok = 0;
  if (ctx->op == OP_SIGN) {
    if (ctx->sign == NULL) ctx->sign = OPENSSL_secure_malloc(calls->sign_state_bytes);
    ok = ctx->sign != NULL && calls->sign_init(ctx->sign, ctx->key, ctx->context, ctx->context_len) == TAVIK_OK;
  } else if (ctx->op == OP_VERIFY) {
    if (ctx->verify == NULL) ctx->verify = OPENSSL_malloc(calls->verify_state_bytes);
    ok = ctx->verify != NULL && calls->verify_init(ctx->verify, ctx->key, ctx->context, ctx->context_len) == TAVIK_OK;
  }
  if (!ok) tavik_raise(ctx->prov, ctx->op == OP_NONE ? TAVIK_R_WRONG_OPERATION : TAVIK_R_OUT_OF_MEMORY, NULL);
  ctx->stream = ok ? STREAM_OPEN : STREAM_NONE;
  return ok;
}

static int sg_digest_update(void *vctx, const unsigned char *data, size_t len) {
  SIG_CTX *ctx = vctx;
  if (!start_stream(ctx)) return 0;
  return ctx->op == OP_SIGN ? ctx->alg->sig->sign_update(ctx->sign, data, len) == TAVIK_OK
                            : ctx->alg->sig->verify_update(ctx->verify, data, len) == TAVIK_OK;
}

static int sg_digest_sign_final(void *vctx, unsigned char *sig, size_t *siglen, size_t sigsize) {
  SIG_CTX *ctx = vctx;
  if (!signature_room(ctx, sig, siglen, sigsize)) return 0;
  if (sig == NULL) return 1;
  if (!start_stream(ctx)) return 0;
  ctx->stream = STREAM_FINISHED;
  const int32_t r = ctx->alg->sig->sign_final(ctx->sign, sig);
  if (r != TAVIK_OK) tavik_raise_code(ctx->prov, r);
  return r == TAVIK_OK;
}

static int sg_digest_verify_final(void *vctx, const unsigned char *sig, size_t siglen) {
  SIG_CTX *ctx = vctx;
  if (ctx->op != OP_VERIFY) {
    tavik_raise(ctx->prov, TAVIK_R_WRONG_OPERATION, NULL);
    return 0;
  }
  if (!start_stream(ctx)) return 0;
  ctx->stream = STREAM_FINISHED;
  return ctx->alg->sig->verify_final(ctx->verify, sig, siglen) == TAVIK_OK;
}

/* The algorithm's AlgorithmIdentifier, which certificates carry for these signatures, and the
   context set. */
static int sg_get_ctx_params(void *vctx, OSSL_PARAM params[]) {
  SIG_CTX *ctx = vctx;
  OSSL_PARAM *p = OSSL_PARAM_locate(params, OSSL_SIGNATURE_PARAM_ALGORITHM_ID);
  if (p != NULL) {
    uint8_t aid[8 + TAVIK_OID_MAX_BYTES];
    size_t n = 0;
    if (ctx->alg->algorithm_identifier(aid, sizeof aid, &n) != TAVIK_OK ||
        !OSSL_PARAM_set_octet_string(p, aid, n)) {
      tavik_raise(ctx->prov, TAVIK_R_OUTPUT_FAILED, "algorithm identifier");
      return 0;
    }
  }
  p = OSSL_PARAM_locate(params, TAVIK_SIGNATURE_PARAM_CONTEXT);
  if (p != NULL && !OSSL_PARAM_set_octet_string(p, ctx->context, ctx->context_len)) {
    tavik_raise(ctx->prov, TAVIK_R_OUTPUT_FAILED, "context (%zu bytes)", ctx->context_len);
    return 0;
  }
  return 1;
}

static const OSSL_PARAM *sg_gettable_ctx_params(void *vctx, void *provctx) {
  static const OSSL_PARAM gettable[] = {OSSL_PARAM_octet_string(OSSL_SIGNATURE_PARAM_ALGORITHM_ID, NULL, 0),
                                        OSSL_PARAM_octet_string(TAVIK_SIGNATURE_PARAM_CONTEXT, NULL, 0),
                                        OSSL_PARAM_END};
  (void)vctx;
  (void)provctx;
  return gettable;
}

/* The single scheme's calls: the key's expanded forms once it has them, the key itself before. */
static int32_t single_sign(TAVIK_KEY *key, const uint8_t *c, size_t clen, const uint8_t *m, size_t mlen, uint8_t *sig) {
  const tavik_expanded_sk *x = tavik_key_expanded_sk(key);
  return x != NULL ? tavik_sign_expanded_ctx_hedged(x, c, clen, m, mlen, sig)
                   : tavik_sign_ctx_hedged(TAVIK_KEY_SK(key), c, clen, m, mlen, sig);
}

static int32_t single_verify(TAVIK_KEY *key, const uint8_t *c, size_t clen, const uint8_t *sig, size_t siglen,
                             const uint8_t *m, size_t mlen) {
  const tavik_expanded_pk *x = tavik_key_expanded_pk(key);
  return x != NULL ? tavik_verify_expanded_ctx(x, c, clen, sig, siglen, m, mlen)
                   : tavik_verify_ctx(key->pub, c, clen, sig, siglen, m, mlen);
}

static int32_t single_sign_init(void *st, TAVIK_KEY *key, const uint8_t *c, size_t clen) {
  const tavik_expanded_sk *x = tavik_key_expanded_sk(key);
  return x != NULL ? tavik_sign_init_expanded_ctx_hedged(st, x, c, clen)
                   : tavik_sign_init_ctx_hedged(st, TAVIK_KEY_SK(key), c, clen);
}

static int32_t single_verify_init(void *st, TAVIK_KEY *key, const uint8_t *c, size_t clen) {
  const tavik_expanded_pk *x = tavik_key_expanded_pk(key);
  return x != NULL ? tavik_verify_init_expanded_ctx(st, x, c, clen) : tavik_verify_init_ctx(st, key->pub, c, clen);
}

static int32_t single_sign_update(void *st, const uint8_t *m, size_t len) { return tavik_sign_update(st, m, len); }
static int32_t single_sign_final(void *st, uint8_t *sig) { return tavik_sign_final(st, sig); }
static void single_sign_state_wipe(void *st) { tavik_sign_state_wipe(st); }
static int32_t single_verify_update(void *st, const uint8_t *m, size_t len) { return tavik_verify_update(st, m, len); }
static int32_t single_verify_final(void *st, const uint8_t *sig, size_t siglen) {
  return tavik_verify_final(st, sig, siglen);
}

const TAVIK_SIG_CALLS tavik_sig_calls = {
    .sign_state_bytes = sizeof(tavik_sign_state),
    .verify_state_bytes = sizeof(tavik_verify_state),
    .sign = single_sign,
    .verify = single_verify,
    .sign_init = single_sign_init,
    .sign_update = single_sign_update,
    .sign_final = single_sign_final,
    .sign_state_wipe = single_sign_state_wipe,
    .verify_init = single_verify_init,
    .verify_update = single_verify_update,
    .verify_final = single_verify_final,
};

/* An algorithm's signature operations: a new context is made for it here. */
#define SIGNATURE(prefix, alg)                                                                     \
  static void *prefix##_sg_newctx(void *provctx, const char *propq) {                               \
    (void)propq;                                                                                    \
    return sg_newctx(&(alg), provctx);                                                              \
  }                                                                                                 \
  const OSSL_DISPATCH prefix##_signature_functions[] = {                                            \
      {OSSL_FUNC_SIGNATURE_NEWCTX, (void (*)(void))prefix##_sg_newctx},                             \
      {OSSL_FUNC_SIGNATURE_FREECTX, (void (*)(void))sg_freectx},                                    \
      {OSSL_FUNC_SIGNATURE_DUPCTX, (void (*)(void))sg_dupctx},                                      \
      {OSSL_FUNC_SIGNATURE_SIGN_INIT, (void (*)(void))sg_sign_init},                                \
      {OSSL_FUNC_SIGNATURE_SIGN, (void (*)(void))sg_sign},                                          \
      {OSSL_FUNC_SIGNATURE_VERIFY_INIT, (void (*)(void))sg_verify_init},                            \
      {OSSL_FUNC_SIGNATURE_VERIFY, (void (*)(void))sg_verify},                                      \
      {OSSL_FUNC_SIGNATURE_DIGEST_SIGN_INIT, (void (*)(void))sg_digest_sign_init},                  \
      {OSSL_FUNC_SIGNATURE_DIGEST_SIGN_UPDATE, (void (*)(void))sg_digest_update},                   \
      {OSSL_FUNC_SIGNATURE_DIGEST_SIGN_FINAL, (void (*)(void))sg_digest_sign_final},                \
      {OSSL_FUNC_SIGNATURE_DIGEST_SIGN, (void (*)(void))sg_sign},                                   \
      {OSSL_FUNC_SIGNATURE_DIGEST_VERIFY_INIT, (void (*)(void))sg_digest_verify_init},              \
      {OSSL_FUNC_SIGNATURE_DIGEST_VERIFY_UPDATE, (void (*)(void))sg_digest_update},                 \
      {OSSL_FUNC_SIGNATURE_DIGEST_VERIFY_FINAL, (void (*)(void))sg_digest_verify_final},            \
      {OSSL_FUNC_SIGNATURE_DIGEST_VERIFY, (void (*)(void))sg_verify},                               \
      {OSSL_FUNC_SIGNATURE_GET_CTX_PARAMS, (void (*)(void))sg_get_ctx_params},                      \
      {OSSL_FUNC_SIGNATURE_GETTABLE_CTX_PARAMS, (void (*)(void))sg_gettable_ctx_params},            \
      {OSSL_FUNC_SIGNATURE_SET_CTX_PARAMS, (void (*)(void))sg_set_ctx_params},                      \
      {OSSL_FUNC_SIGNATURE_SETTABLE_CTX_PARAMS, (void (*)(void))sg_settable_ctx_params},            \
      {OSSL_FUNC_SIGNATURE_GET_CTX_MD_PARAMS, (void (*)(void))sg_get_ctx_params},                   \
      {OSSL_FUNC_SIGNATURE_GETTABLE_CTX_MD_PARAMS, (void (*)(void))sg_md_params},                   \
      {OSSL_FUNC_SIGNATURE_SET_CTX_MD_PARAMS, (void (*)(void))sg_set_ctx_params},                   \
      {OSSL_FUNC_SIGNATURE_SETTABLE_CTX_MD_PARAMS, (void (*)(void))sg_md_params},                   \
      {0, NULL}};

SIGNATURE(tavik, tavik_alg)
#ifdef TAVIK_PROVIDER_PAIR
SIGNATURE(tavik_pair, tavik_pair_alg)
#endif
