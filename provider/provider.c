/* The provider's entry point: the algorithms it offers, its parameters, its error reasons, and
   the object identifier it registers with libcrypto so that certificates can name the
   algorithm. */
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/params.h>
#include <openssl/provider.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "tavik_prov.h"

/* The core's calls this provider uses, taken once at load time. */
static OSSL_FUNC_core_new_error_fn *c_new_error;
static OSSL_FUNC_core_set_error_debug_fn *c_set_error_debug;
static OSSL_FUNC_core_vset_error_fn *c_vset_error;
static OSSL_FUNC_BIO_read_ex_fn *c_bio_read_ex;
static OSSL_FUNC_BIO_write_ex_fn *c_bio_write_ex;
static OSSL_FUNC_core_obj_create_fn *c_obj_create;
static OSSL_FUNC_core_obj_add_sigid_fn *c_obj_add_sigid;

void tavik_raise(const TAVIK_PROVCTX *prov, int reason, const char *fmt, ...) {
  if (prov == NULL || c_new_error == NULL || c_vset_error == NULL) return;
  va_list args;
  va_start(args, fmt);
  c_new_error(prov->handle);
  if (c_set_error_debug != NULL) c_set_error_debug(prov->handle, NULL, 0, NULL);
  c_vset_error(prov->handle, (uint32_t)reason, fmt, args);
  va_end(args);
}

void tavik_raise_code(const TAVIK_PROVCTX *prov, int32_t code) {
  switch (code) {
    case TAVIK_SIGNING_FAILED: tavik_raise(prov, TAVIK_R_SIGNING_FAILED, NULL); break;
    case TAVIK_NO_RANDOMNESS: tavik_raise(prov, TAVIK_R_NO_RANDOMNESS, NULL); break;
    default: tavik_raise(prov, code < 0 ? -code : code, NULL); break;
  }
}

int tavik_bio_read(OSSL_CORE_BIO *bio, void *buf, size_t len, size_t *got) {
  return c_bio_read_ex != NULL && c_bio_read_ex(bio, buf, len, got);
}

int tavik_bio_write(OSSL_CORE_BIO *bio, const void *buf, size_t len) {
  size_t done = 0;
  return c_bio_write_ex != NULL && c_bio_write_ex(bio, buf, len, &done) && done == len;
}

/* Reason strings: the provider's own, then every code of the containers. */
static OSSL_ITEM reason_strings[] = {
    {TAVIK_R_NO_SECRET_KEY, "the key has no secret part"},
    {TAVIK_R_NO_PUBLIC_KEY, "the key has no public part"},
    {TAVIK_R_DIGEST_NOT_ALLOWED, "tavik signs whole messages: no digest may be set"},
    {TAVIK_R_BAD_PARAMETER_LENGTH, "a key or seed parameter of the wrong length"},
    {TAVIK_R_SIGNATURE_BUFFER_TOO_SMALL, "signature buffer too small"},
    {TAVIK_R_SIGNING_FAILED, "signing failed: the key or the memory holding it is faulty"},
    {TAVIK_R_NO_RANDOMNESS, "no random source answered"},
    {TAVIK_R_KEY_MISMATCH, "the seed, secret key and public key given do not belong together"},
    {TAVIK_R_DAMAGED_KEY, "damaged secret key (its hash or t0 do not match)"},
    {TAVIK_R_OUT_OF_MEMORY, "out of memory"},
    {TAVIK_R_WRONG_OPERATION, "the operation was not initialised for this call"},
    {TAVIK_R_ENCRYPTION_FAILED, "could not encrypt the private key"},
    {TAVIK_R_OUTPUT_FAILED, "could not write the output"},
    {TAVIK_R_FINISHED, "the signature or verification is finished: initialise the context again"},
    {TAVIK_R_BAD_CONTEXT, "context-string refused (0 to 255 bytes, set before the message): initialise again"},
    {TAVIK_R_NO_GENERATOR,
     "no OpenSSL random generator to draw the key's seed from: load the default provider too (-provider default, or "
     "activate it in the configuration file)"},
    {TAVIK_R_GENERATOR_FAILED, "OpenSSL's random generator gave no bytes for the key's seed"},
    /* filled from tavik_der_error_string() at load time */
    {2, NULL}, {101, NULL}, {102, NULL}, {103, NULL}, {104, NULL}, {105, NULL}, {106, NULL}, {107, NULL},
    {108, NULL}, {109, NULL}, {110, NULL}, {111, NULL}, {112, NULL}, {113, NULL}, {114, NULL}, {120, NULL},
    {121, NULL}, {122, NULL}, {123, NULL}, {124, NULL}, {125, NULL},
    {0, NULL}};

static const OSSL_ITEM *tavik_get_reason_strings(void *provctx) {
  (void)provctx;
  return reason_strings;
}

static const OSSL_ALGORITHM keymgmt[] = {
    {TAVIK_ALG_NAMES, "provider=tavik", tavik_keymgmt_functions, "tavik keys"},
#ifdef TAVIK_PROVIDER_PAIR
    {TAVIK_PAIR_NAMES, "provider=tavik", tavik_pair_keymgmt_functions, "tavik beside Ed25519: hybrid key pairs"},
#endif
    {NULL, NULL, NULL, NULL}};
static const OSSL_ALGORITHM signature[] = {
    {TAVIK_ALG_NAMES, "provider=tavik", tavik_signature_functions, "tavik signatures of whole messages"},
#ifdef TAVIK_PROVIDER_PAIR
    {TAVIK_PAIR_NAMES, "provider=tavik", tavik_pair_signature_functions,
     "hybrid signatures of whole messages, valid only when the tavik and the Ed25519 half both are"},
#endif
    {NULL, NULL, NULL, NULL}};
static const OSSL_ALGORITHM encoders[] = {
    {TAVIK_ALG_NAMES, "provider=tavik,output=der,structure=SubjectPublicKeyInfo", tavik_spki_der_encoder_functions,
     NULL},
    {TAVIK_ALG_NAMES, "provider=tavik,output=pem,structure=SubjectPublicKeyInfo", tavik_spki_pem_encoder_functions,
     NULL},
    {TAVIK_ALG_NAMES, "provider=tavik,output=der,structure=PrivateKeyInfo", tavik_pki_der_encoder_functions, NULL},
    {TAVIK_ALG_NAMES, "provider=tavik,output=pem,structure=PrivateKeyInfo", tavik_pki_pem_encoder_functions, NULL},
    {TAVIK_ALG_NAMES, "provider=tavik,output=text", tavik_text_encoder_functions, NULL},
#ifdef TAVIK_PROVIDER_PAIR
    {TAVIK_PAIR_NAMES, "provider=tavik,output=der,structure=SubjectPublicKeyInfo",
     tavik_pair_spki_der_encoder_functions, NULL},
    {TAVIK_PAIR_NAMES, "provider=tavik,output=pem,structure=SubjectPublicKeyInfo",
     tavik_pair_spki_pem_encoder_functions, NULL},
    {TAVIK_PAIR_NAMES, "provider=tavik,output=der,structure=PrivateKeyInfo", tavik_pair_pki_der_encoder_functions,
     NULL},
    {TAVIK_PAIR_NAMES, "provider=tavik,output=pem,structure=PrivateKeyInfo", tavik_pair_pki_pem_encoder_functions,
     NULL},
    {TAVIK_PAIR_NAMES, "provider=tavik,output=text", tavik_pair_text_encoder_functions, NULL},
#endif
    {NULL, NULL, NULL, NULL}};
static const OSSL_ALGORITHM decoders[] = {
    {TAVIK_ALG_NAMES, "provider=tavik,input=der,structure=SubjectPublicKeyInfo", tavik_spki_der_decoder_functions,
     NULL},
    {TAVIK_ALG_NAMES, "provider=tavik,input=der,structure=PrivateKeyInfo", tavik_pki_der_decoder_functions, NULL},
#ifdef TAVIK_PROVIDER_PAIR
    {TAVIK_PAIR_NAMES, "provider=tavik,input=der,structure=SubjectPublicKeyInfo",
     tavik_pair_spki_der_decoder_functions, NULL},
    {TAVIK_PAIR_NAMES, "provider=tavik,input=der,structure=PrivateKeyInfo", tavik_pair_pki_der_decoder_functions,
     NULL},
#endif
    {NULL, NULL, NULL, NULL}};

static const OSSL_ALGORITHM *tavik_query(void *provctx, int operation_id, int *no_cache) {
  (void)provctx;
  *no_cache = 0;
  switch (operation_id) {
    case OSSL_OP_KEYMGMT: return keymgmt;
    case OSSL_OP_SIGNATURE: return signature;
    case OSSL_OP_ENCODER: return encoders;
    case OSSL_OP_DECODER: return decoders;
    default: return NULL;
  }
}

static const OSSL_PARAM *tavik_gettable_params(void *provctx) {
  static const OSSL_PARAM params[] = {OSSL_PARAM_DEFN(OSSL_PROV_PARAM_NAME, OSSL_PARAM_UTF8_PTR, NULL, 0),
                                      OSSL_PARAM_DEFN(OSSL_PROV_PARAM_VERSION, OSSL_PARAM_UTF8_PTR, NULL, 0),
                                      OSSL_PARAM_DEFN(OSSL_PROV_PARAM_BUILDINFO, OSSL_PARAM_UTF8_PTR, NULL, 0),
                                      OSSL_PARAM_DEFN(OSSL_PROV_PARAM_STATUS, OSSL_PARAM_INTEGER, NULL, 0),
                                      OSSL_PARAM_END};
  (void)provctx;
  return params;
}

static int tavik_get_params(void *provctx, OSSL_PARAM params[]) {
  OSSL_PARAM *p;
  (void)provctx;
  if ((p = OSSL_PARAM_locate(params, OSSL_PROV_PARAM_NAME)) != NULL &&
      !OSSL_PARAM_set_utf8_ptr(p, "tavik-c provider"))
    return 0;
  if ((p = OSSL_PARAM_locate(params, OSSL_PROV_PARAM_VERSION)) != NULL && !OSSL_PARAM_set_utf8_ptr(p, tavik_version()))
    return 0;
  if ((p = OSSL_PARAM_locate(params, OSSL_PROV_PARAM_BUILDINFO)) != NULL &&
      !OSSL_PARAM_set_utf8_ptr(p, "object identifier " TAVIK_OID_TEXT))
    return 0;
  if ((p = OSSL_PARAM_locate(params, OSSL_PROV_PARAM_STATUS)) != NULL && !OSSL_PARAM_set_int(p, 1)) return 0;
  return 1;
}

static void tavik_teardown(void *provctx) {
  TAVIK_PROVCTX *prov = provctx;
  if (prov == NULL) return;
  OSSL_LIB_CTX_free(prov->libctx);
  OPENSSL_free(prov);
}

static const OSSL_DISPATCH provider_functions[] = {
    {OSSL_FUNC_PROVIDER_TEARDOWN, (void (*)(void))tavik_teardown},
    {OSSL_FUNC_PROVIDER_QUERY_OPERATION, (void (*)(void))tavik_query},
    {OSSL_FUNC_PROVIDER_GETTABLE_PARAMS, (void (*)(void))tavik_gettable_params},
    {OSSL_FUNC_PROVIDER_GET_PARAMS, (void (*)(void))tavik_get_params},
    {OSSL_FUNC_PROVIDER_GET_REASON_STRINGS, (void (*)(void))tavik_get_reason_strings},
    {0, NULL}};

/* The container codes' reasons take their text from the library, once. */
static pthread_once_t reasons_once = PTHREAD_ONCE_INIT;
static void fill_reasons(void) {
  for (OSSL_ITEM *r = reason_strings; r->id != 0; ++r)
    if (r->ptr == NULL) r->ptr = (void *)tavik_der_error_string(-(int32_t)r->id);
}

__attribute__((visibility("default"))) int OSSL_provider_init(const OSSL_CORE_HANDLE *handle,
                                                              const OSSL_DISPATCH *in,
                                                              const OSSL_DISPATCH **out, void **provctx) {
  for (const OSSL_DISPATCH *f = in; f->function_id != 0; ++f) {
    switch (f->function_id) {
      case OSSL_FUNC_CORE_NEW_ERROR: c_new_error = OSSL_FUNC_core_new_error(f); break;
      case OSSL_FUNC_CORE_SET_ERROR_DEBUG: c_set_error_debug = OSSL_FUNC_core_set_error_debug(f); break;
      case OSSL_FUNC_CORE_VSET_ERROR: c_vset_error = OSSL_FUNC_core_vset_error(f); break;
      case OSSL_FUNC_BIO_READ_EX: c_bio_read_ex = OSSL_FUNC_BIO_read_ex(f); break;
      case OSSL_FUNC_BIO_WRITE_EX: c_bio_write_ex = OSSL_FUNC_BIO_write_ex(f); break;
      case OSSL_FUNC_CORE_OBJ_CREATE: c_obj_create = OSSL_FUNC_core_obj_create(f); break;
      case OSSL_FUNC_CORE_OBJ_ADD_SIGID: c_obj_add_sigid = OSSL_FUNC_core_obj_add_sigid(f); break;
      default: break;
    }
  }
  pthread_once(&reasons_once, fill_reasons);

  /* The identifier names the key in SubjectPublicKeyInfo and the signature in certificates:
     a signature algorithm of its own key type, with no digest. */
  if (c_obj_create == NULL || c_obj_add_sigid == NULL ||
      !c_obj_create(handle, TAVIK_OID_TEXT, TAVIK_ALG_NAME, TAVIK_ALG_NAME) ||
      !c_obj_add_sigid(handle, TAVIK_ALG_NAME, "", TAVIK_ALG_NAME))
    return 0;
#ifdef TAVIK_PROVIDER_PAIR
  /* The pair's identifier likewise names its keys and its signatures. */
  if (!c_obj_create(handle, TAVIK_HYBRID_OID_TEXT, TAVIK_PAIR_NAME, TAVIK_PAIR_NAME) ||
      !c_obj_add_sigid(handle, TAVIK_PAIR_NAME, "", TAVIK_PAIR_NAME))
    return 0;
#endif

  TAVIK_PROVCTX *prov = OPENSSL_zalloc(sizeof *prov);
  if (prov == NULL) return 0;
  prov->handle = handle;
  prov->libctx = OSSL_LIB_CTX_new_child(handle, in);
  if (prov->libctx == NULL) {
    OPENSSL_free(prov);
    return 0;
  }
  *out = provider_functions;
  *provctx = prov;
  return 1;
}
