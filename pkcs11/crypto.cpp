// The token's mechanisms: key pair generation, key import, signing and verifying (one part,
// several parts, µ), and random bytes. Signing and verifying run under the session's own lock
// with the session's prepared (expanded) key, which is made once per key and kept.
#include <sodium.h>

#include <cstring>

#include "p11.h"

using namespace tp11;

namespace {

const CK_MECHANISM_TYPE MECHANISMS[] = {TAVIK_CKM_KEY_PAIR_GEN, TAVIK_CKM_SIGN, TAVIK_CKM_SIGN_MU};

// The session of h, found under the module's lock, which is then let go.
CK_RV session_of(CK_SESSION_HANDLE h, std::shared_ptr<Session> *out) {
  std::lock_guard<std::mutex> g(module().mu);
  if (!module().initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
  *out = find_session(h);
  return *out ? CKR_OK : CKR_SESSION_HANDLE_INVALID;
}

CK_RV sign_code(int32_t r) {
  switch (r) {
    case TAVIK_OK: return CKR_OK;
    case TAVIK_NO_RANDOMNESS: return CKR_DEVICE_ERROR;  // the random source did not answer
    case TAVIK_SIGNING_FAILED: return CKR_FUNCTION_FAILED;
    default: return CKR_GENERAL_ERROR;
  }
}

CK_RV verify_code(int32_t r) {
  return r == TAVIK_OK ? CKR_OK : r == TAVIK_INVALID_SIGNATURE ? CKR_SIGNATURE_INVALID : CKR_GENERAL_ERROR;
}

// Reads a signing mechanism's parameter into the session: flags byte, then (TAVIK_CKM_SIGN) the
// context.
CK_RV take_parameter(Session &s, const CK_MECHANISM &m) {
  if (m.mechanism != TAVIK_CKM_SIGN && m.mechanism != TAVIK_CKM_SIGN_MU) return CKR_MECHANISM_INVALID;
  const auto *p = static_cast<const uint8_t *>(m.pParameter);
  const CK_ULONG n = m.ulParameterLen;
  if (n && !p) return CKR_MECHANISM_PARAM_INVALID;
  if (n && (p[0] & ~TAVIK_CKP_DETERMINISTIC)) return CKR_MECHANISM_PARAM_INVALID;
  const CK_ULONG ctxlen = n ? n - 1 : 0;
  if (ctxlen > TAVIK_MAX_CONTEXT_BYTES || (m.mechanism == TAVIK_CKM_SIGN_MU && ctxlen)) return CKR_MECHANISM_PARAM_INVALID;
  s.mech = m.mechanism;
  s.deterministic = n && (p[0] & TAVIK_CKP_DETERMINISTIC);
  if (ctxlen) std::memcpy(s.ctx, p + 1, ctxlen);
  s.ctxlen = ctxlen;
  return CKR_OK;
}

CK_RV start(CK_SESSION_HANDLE h, CK_MECHANISM_PTR mech, CK_OBJECT_HANDLE key, Op op) {
  if (!mech) return CKR_ARGUMENTS_BAD;
  std::lock_guard<std::mutex> g(module().mu);
  if (!module().initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
  std::shared_ptr<Session> sp = find_session(h);
  if (!sp) return CKR_SESSION_HANDLE_INVALID;
  Session &s = *sp;
  std::lock_guard<std::mutex> g2(s.mu);
  if (s.op != Op::none) return CKR_OPERATION_ACTIVE;
  const Object *o = find_object(s, key);
  if (!o) return CKR_KEY_HANDLE_INVALID;
  const CK_RV rv = take_parameter(s, *mech);
  if (rv != CKR_OK) return rv;
  if (op == Op::sign) {
    if (o->cls != CKO_PRIVATE_KEY) return CKR_KEY_TYPE_INCONSISTENT;
    if (!o->sign) return CKR_KEY_FUNCTION_NOT_PERMITTED;
    if (!s.xsk || s.xsk_key != key || s.xsk_gen != o->generation) {
      if (!s.xsk) s.xsk = std::make_unique<tavik_expanded_sk>();
      s.xsk_key = 0;
      if (tavik_expand_sk(s.xsk.get(), o->sk) != TAVIK_OK) return CKR_GENERAL_ERROR;
      s.xsk_key = key;
      s.xsk_gen = o->generation;
    }
  } else {
    if (o->cls != CKO_PUBLIC_KEY) return CKR_KEY_TYPE_INCONSISTENT;
    if (!o->verify) return CKR_KEY_FUNCTION_NOT_PERMITTED;
    if (!s.xpk || s.xpk_key != key || s.xpk_gen != o->generation) {
      if (!s.xpk) s.xpk = std::make_unique<tavik_expanded_pk>();
      s.xpk_key = 0;
      if (tavik_expand_pk(s.xpk.get(), o->pk) != TAVIK_OK) return CKR_GENERAL_ERROR;
      s.xpk_key = key;
      s.xpk_gen = o->generation;
    }
  }
  s.op = op;
  s.streaming = false;
  s.mu_len = 0;
  s.mu_overflow = false;
  return CKR_OK;
}

// Several-part signing and verifying: the message goes into a streaming state, µ into the
// session's buffer.
CK_RV update(Session &s, const uint8_t *part, CK_ULONG len) {
  if (s.mech == TAVIK_CKM_SIGN_MU) {
    if (len > sizeof s.mu_buf - s.mu_len) {
      s.mu_overflow = true;
      return CKR_OK;  // refused at the final call: µ has TAVIK_MU_BYTES
    }
    if (len) std::memcpy(s.mu_buf + s.mu_len, part, len);
    s.mu_len += len;
    return CKR_OK;
  }
  int32_t r = TAVIK_OK;
  if (!s.streaming) {
    if (s.op == Op::sign)
      r = s.deterministic ? tavik_sign_init_expanded_ctx(&s.sst, s.xsk.get(), s.ctx, s.ctxlen)
                          : tavik_sign_init_expanded_ctx_hedged(&s.sst, s.xsk.get(), s.ctx, s.ctxlen);
    else
      r = tavik_verify_init_expanded_ctx(&s.vst, s.xpk.get(), s.ctx, s.ctxlen);
    if (r != TAVIK_OK) return CKR_GENERAL_ERROR;
    s.streaming = true;
  }
  r = s.op == Op::sign ? tavik_sign_update(&s.sst, part, len) : tavik_verify_update(&s.vst, part, len);
  return r == TAVIK_OK ? CKR_OK : CKR_GENERAL_ERROR;
}

// Whether the signature fits; false leaves the operation running (the caller asks for the size).
bool signature_room(CK_BYTE_PTR sig, CK_ULONG_PTR siglen, CK_RV *rv) {
  const CK_ULONG room = *siglen;
  *siglen = TAVIK_SIG_BYTES;
  if (!sig) *rv = CKR_OK;
  else if (room < TAVIK_SIG_BYTES) *rv = CKR_BUFFER_TOO_SMALL;
  else return true;
  return false;
}

CK_RV finish_sign(Session &s, CK_BYTE_PTR sig) {
  if (s.mech == TAVIK_CKM_SIGN_MU) {
    if (s.mu_overflow || s.mu_len != TAVIK_MU_BYTES) return CKR_DATA_LEN_RANGE;
    return sign_code(s.deterministic ? tavik_sign_expanded_mu(s.xsk.get(), s.mu_buf, sig)
                                     : tavik_sign_expanded_mu_hedged(s.xsk.get(), s.mu_buf, sig));
  }
  if (!s.streaming && update(s, nullptr, 0) != CKR_OK) return CKR_GENERAL_ERROR;
  return sign_code(tavik_sign_final(&s.sst, sig));
}

CK_RV finish_verify(Session &s, CK_BYTE_PTR sig, CK_ULONG siglen) {
  if (!sig) return CKR_ARGUMENTS_BAD;
  if (siglen != TAVIK_SIG_BYTES) return CKR_SIGNATURE_LEN_RANGE;
  if (s.mech == TAVIK_CKM_SIGN_MU) {
    if (s.mu_overflow || s.mu_len != TAVIK_MU_BYTES) return CKR_DATA_LEN_RANGE;
    return verify_code(tavik_verify_expanded_mu(s.xpk.get(), sig, siglen, s.mu_buf));
  }
  if (!s.streaming && update(s, nullptr, 0) != CKR_OK) return CKR_GENERAL_ERROR;
  return verify_code(tavik_verify_final(&s.vst, sig, siglen));
}

// A new key object's defaults, before its template.
std::unique_ptr<Object> new_key(CK_OBJECT_CLASS cls, CK_SESSION_HANDLE owner) {
  auto o = std::make_unique<Object>();
  o->cls = cls;
  o->owner = owner;
  if (cls == CKO_PRIVATE_KEY) {
    o->priv = o->sensitive = o->sign = true;
  } else {
    o->verify = true;
  }
  return o;
}

// Stores a new object (in a file when it is a token object) and gives it a handle.
CK_RV keep(Session &s, Token &t, std::unique_ptr<Object> o, CK_OBJECT_HANDLE *handle) {
  if (o->token && !s.rw) return CKR_SESSION_READ_ONLY;
  if (o->priv && t.user != CKU_USER) return CKR_USER_NOT_LOGGED_IN;
  if (o->token) {
    const CK_RV rv = write_object(t, *o);
    if (rv != CKR_OK) return rv;
  }
  o->handle = module().next_handle++;
  *handle = o->handle;
  t.objects.push_back(std::move(o));
  return CKR_OK;
}

// A piece of a several-part operation op in session h; a refused piece ends the operation.
CK_RV update_part(CK_SESSION_HANDLE h, Op op, CK_BYTE_PTR part, CK_ULONG len) {
  std::shared_ptr<Session> sp;
  if (CK_RV rv = session_of(h, &sp); rv != CKR_OK) return rv;
  Session &s = *sp;
  std::lock_guard<std::mutex> g(s.mu);
  if (s.op != op) return CKR_OPERATION_NOT_INITIALIZED;
  const CK_RV rv = !part && len ? CKR_ARGUMENTS_BAD : update(s, part, len);
  if (rv != CKR_OK) s.end_op();
  return rv;
}

}  // namespace

extern "C" {

CK_RV C_GetMechanismList(CK_SLOT_ID id, CK_MECHANISM_TYPE_PTR list, CK_ULONG_PTR count) {
  if (!count) return CKR_ARGUMENTS_BAD;
  std::lock_guard<std::mutex> g(module().mu);
  if (!module().initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
  if (!find_slot(id)) return CKR_SLOT_ID_INVALID;
  const CK_ULONG n = sizeof MECHANISMS / sizeof MECHANISMS[0];
  if (list && *count < n) {
    *count = n;
    return CKR_BUFFER_TOO_SMALL;
  }
  if (list) std::memcpy(list, MECHANISMS, sizeof MECHANISMS);
  *count = n;
  return CKR_OK;
}

CK_RV C_GetMechanismInfo(CK_SLOT_ID id, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR info) {
  if (!info) return CKR_ARGUMENTS_BAD;
  std::lock_guard<std::mutex> g(module().mu);
  if (!module().initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
  if (!find_slot(id)) return CKR_SLOT_ID_INVALID;
  // Key sizes: the public key's, in bits.
  info->ulMinKeySize = info->ulMaxKeySize = TAVIK_PK_BYTES * 8;
  if (type == TAVIK_CKM_KEY_PAIR_GEN) info->flags = CKF_GENERATE_KEY_PAIR;
  else if (type == TAVIK_CKM_SIGN || type == TAVIK_CKM_SIGN_MU) info->flags = CKF_SIGN | CKF_VERIFY;
  else return CKR_MECHANISM_INVALID;
  return CKR_OK;
}

CK_RV C_GenerateKeyPair(CK_SESSION_HANDLE h, CK_MECHANISM_PTR mech, CK_ATTRIBUTE_PTR pub_tmpl, CK_ULONG pub_count,
                        CK_ATTRIBUTE_PTR priv_tmpl, CK_ULONG priv_count, CK_OBJECT_HANDLE_PTR pub_out,
                        CK_OBJECT_HANDLE_PTR priv_out) {
  if (!mech || !pub_out || !priv_out || (!pub_tmpl && pub_count) || (!priv_tmpl && priv_count)) return CKR_ARGUMENTS_BAD;
  std::lock_guard<std::mutex> g(module().mu);
  if (!module().initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
  std::shared_ptr<Session> sp = find_session(h);
  if (!sp) return CKR_SESSION_HANDLE_INVALID;
  Token &t = find_slot(sp->slot)->token;
  if (mech->mechanism != TAVIK_CKM_KEY_PAIR_GEN) return CKR_MECHANISM_INVALID;
  if (mech->ulParameterLen != 0 && (mech->ulParameterLen != TAVIK_SEED_BYTES || !mech->pParameter))
    return CKR_MECHANISM_PARAM_INVALID;
  auto pub = new_key(CKO_PUBLIC_KEY, h), priv = new_key(CKO_PRIVATE_KEY, h);
  CK_RV rv = apply_template(*pub, pub_tmpl, pub_count, true);
  if (rv == CKR_OK) rv = apply_template(*priv, priv_tmpl, priv_count, true);
  if (rv != CKR_OK) return rv;
  if ((pub->token || priv->token) && !sp->rw) return CKR_SESSION_READ_ONLY;
  if ((pub->priv || priv->priv) && t.user != CKU_USER) return CKR_USER_NOT_LOGGED_IN;
  const int32_t r = mech->ulParameterLen ? sig_keygen_from_seed(pub->pk, priv->sk, static_cast<const uint8_t *>(mech->pParameter))
                                         : sig_keygen(pub->pk, priv->sk);
  if (r != TAVIK_OK) return r == TAVIK_NO_RANDOMNESS ? CKR_DEVICE_ERROR : CKR_GENERAL_ERROR;
  std::memcpy(priv->pk, pub->pk, TAVIK_PK_BYTES);
  pub->local = priv->local = true;
  priv->always_sensitive = priv->sensitive;
  priv->never_extractable = !priv->extractable;
  rv = keep(*sp, t, std::move(pub), pub_out);
  if (rv != CKR_OK) return rv;
  rv = keep(*sp, t, std::move(priv), priv_out);
  if (rv != CKR_OK) {
    // The pair is made whole or not at all.
    for (auto &o : t.objects)
      if (o->handle == *pub_out && o->token) remove_object(t, *o);
    std::erase_if(t.objects, [&](const std::unique_ptr<Object> &o) { return o->handle == *pub_out; });
  }
  return rv;
}

CK_RV C_CreateObject(CK_SESSION_HANDLE h, CK_ATTRIBUTE_PTR tmpl, CK_ULONG count, CK_OBJECT_HANDLE_PTR out) {
  if (!out || (!tmpl && count)) return CKR_ARGUMENTS_BAD;
  std::lock_guard<std::mutex> g(module().mu);
  if (!module().initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
  std::shared_ptr<Session> sp = find_session(h);
  if (!sp) return CKR_SESSION_HANDLE_INVALID;
  Token &t = find_slot(sp->slot)->token;
  // An imported key: its class, key type and value, then the attributes key generation takes.
  CK_OBJECT_CLASS cls = CK_UNAVAILABLE_INFORMATION;
  const CK_ATTRIBUTE *value = nullptr;
  bool typed = false;
  std::vector<CK_ATTRIBUTE> rest;
  for (CK_ULONG i = 0; i < count; i++) {
    const CK_ATTRIBUTE &a = tmpl[i];
    if (a.type == CKA_CLASS) {
      if (!a.pValue || a.ulValueLen != sizeof cls) return CKR_ATTRIBUTE_VALUE_INVALID;
      std::memcpy(&cls, a.pValue, sizeof cls);
    } else if (a.type == CKA_VALUE) {
      value = &a;
    } else {
      typed |= a.type == CKA_KEY_TYPE;
      rest.push_back(a);
    }
  }
  if (cls != CKO_PUBLIC_KEY && cls != CKO_PRIVATE_KEY) return cls == CK_UNAVAILABLE_INFORMATION ? CKR_TEMPLATE_INCOMPLETE : CKR_ATTRIBUTE_VALUE_INVALID;
  if (!typed || !value) return CKR_TEMPLATE_INCOMPLETE;
  auto o = new_key(cls, h);
  CK_RV rv = apply_template(*o, rest.data(), rest.size(), true);
  if (rv != CKR_OK) return rv;
  const size_t want = cls == CKO_PUBLIC_KEY ? TAVIK_PK_BYTES : TAVIK_SK_BYTES;
  if (value->ulValueLen != want || !value->pValue) return CKR_ATTRIBUTE_VALUE_INVALID;
  if (cls == CKO_PUBLIC_KEY) {
    std::memcpy(o->pk, value->pValue, want);
  } else {
    std::memcpy(o->sk, value->pValue, want);
    // A secret key whose parts disagree is refused: signing with it would fail every time.
    if (tavik_pk_from_sk(o->pk, o->sk) != TAVIK_OK) return CKR_ATTRIBUTE_VALUE_INVALID;
  }
  return keep(*sp, t, std::move(o), out);
}

CK_RV C_SignInit(CK_SESSION_HANDLE h, CK_MECHANISM_PTR mech, CK_OBJECT_HANDLE key) {
  return start(h, mech, key, Op::sign);
}

CK_RV C_VerifyInit(CK_SESSION_HANDLE h, CK_MECHANISM_PTR mech, CK_OBJECT_HANDLE key) {
  return start(h, mech, key, Op::verify);
}

CK_RV C_Sign(CK_SESSION_HANDLE h, CK_BYTE_PTR data, CK_ULONG len, CK_BYTE_PTR sig, CK_ULONG_PTR siglen) {
  std::shared_ptr<Session> sp;
  if (CK_RV rv = session_of(h, &sp); rv != CKR_OK) return rv;
  Session &s = *sp;
  std::lock_guard<std::mutex> g(s.mu);
  if (s.op != Op::sign) return CKR_OPERATION_NOT_INITIALIZED;
  CK_RV rv = CKR_OK;
  if (!siglen || (!data && len)) rv = CKR_ARGUMENTS_BAD;
  else if (s.streaming || s.mu_len) rv = CKR_OPERATION_ACTIVE;  // a several-part operation began
  else if (!signature_room(sig, siglen, &rv)) return rv;
  else if (s.mech == TAVIK_CKM_SIGN_MU && len != TAVIK_MU_BYTES) rv = CKR_DATA_LEN_RANGE;
  else if (s.mech == TAVIK_CKM_SIGN && len <= TAVIK_MAX_MSG_BYTES)
    rv = sign_code(s.deterministic ? tavik_sign_expanded_ctx(s.xsk.get(), s.ctx, s.ctxlen, data, len, sig)
                                   : tavik_sign_expanded_ctx_hedged(s.xsk.get(), s.ctx, s.ctxlen, data, len, sig));
  else if ((rv = update(s, data, len)) == CKR_OK)
    rv = finish_sign(s, sig);
  s.end_op();
  return rv;
}

CK_RV C_SignUpdate(CK_SESSION_HANDLE h, CK_BYTE_PTR part, CK_ULONG len) { return update_part(h, Op::sign, part, len); }

CK_RV C_SignFinal(CK_SESSION_HANDLE h, CK_BYTE_PTR sig, CK_ULONG_PTR siglen) {
  std::shared_ptr<Session> sp;
  if (CK_RV rv = session_of(h, &sp); rv != CKR_OK) return rv;
  Session &s = *sp;
  std::lock_guard<std::mutex> g(s.mu);
  if (s.op != Op::sign) return CKR_OPERATION_NOT_INITIALIZED;
  CK_RV rv = CKR_OK;
  if (!siglen) rv = CKR_ARGUMENTS_BAD;
  else if (!signature_room(sig, siglen, &rv)) return rv;
  else rv = finish_sign(s, sig);
  s.end_op();
  return rv;
}

CK_RV C_Verify(CK_SESSION_HANDLE h, CK_BYTE_PTR data, CK_ULONG len, CK_BYTE_PTR sig, CK_ULONG siglen) {
  std::shared_ptr<Session> sp;
  if (CK_RV rv = session_of(h, &sp); rv != CKR_OK) return rv;
  Session &s = *sp;
  std::lock_guard<std::mutex> g(s.mu);
  if (s.op != Op::verify) return CKR_OPERATION_NOT_INITIALIZED;
  CK_RV rv = CKR_OK;
  if ((!data && len) || !sig) rv = CKR_ARGUMENTS_BAD;
  else if (s.streaming || s.mu_len) rv = CKR_OPERATION_ACTIVE;
  else if (s.mech == TAVIK_CKM_SIGN_MU && len != TAVIK_MU_BYTES) rv = CKR_DATA_LEN_RANGE;
  else if (siglen != TAVIK_SIG_BYTES) rv = CKR_SIGNATURE_LEN_RANGE;
  else if (s.mech == TAVIK_CKM_SIGN && len <= TAVIK_MAX_MSG_BYTES)
    rv = verify_code(tavik_verify_expanded_ctx(s.xpk.get(), s.ctx, s.ctxlen, sig, siglen, data, len));
  else if ((rv = update(s, data, len)) == CKR_OK)
    rv = finish_verify(s, sig, siglen);
  s.end_op();
  return rv;
}

CK_RV C_VerifyUpdate(CK_SESSION_HANDLE h, CK_BYTE_PTR part, CK_ULONG len) {
  return update_part(h, Op::verify, part, len);
}

CK_RV C_VerifyFinal(CK_SESSION_HANDLE h, CK_BYTE_PTR sig, CK_ULONG siglen) {
  std::shared_ptr<Session> sp;
  if (CK_RV rv = session_of(h, &sp); rv != CKR_OK) return rv;
  Session &s = *sp;
  std::lock_guard<std::mutex> g(s.mu);
  if (s.op != Op::verify) return CKR_OPERATION_NOT_INITIALIZED;
  const CK_RV rv = finish_verify(s, sig, siglen);
  s.end_op();
  return rv;
}

CK_RV C_GenerateRandom(CK_SESSION_HANDLE h, CK_BYTE_PTR out, CK_ULONG len) {
  std::shared_ptr<Session> sp;
  if (CK_RV rv = session_of(h, &sp); rv != CKR_OK) return rv;
  if (!out && len) return CKR_ARGUMENTS_BAD;
  if (len) randombytes_buf(out, len);
  return CKR_OK;
}

CK_RV C_SeedRandom(CK_SESSION_HANDLE h, CK_BYTE_PTR seed, CK_ULONG len) {
  std::shared_ptr<Session> sp;
  if (CK_RV rv = session_of(h, &sp); rv != CKR_OK) return rv;
  if (!seed && len) return CKR_ARGUMENTS_BAD;
  return CKR_RANDOM_SEED_NOT_SUPPORTED;  // the operating system's source is used alone
}

}  // extern "C"
