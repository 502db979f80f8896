// Attributes of the token's key objects: reading them, matching search templates, and the
// templates of key generation and C_SetAttributeValue.
#include <cstring>

#include "p11.h"
#include "tavik_der.h"

namespace tp11 {
namespace {

bool is_private_only(CK_ATTRIBUTE_TYPE a) {
  switch (a) {
    case CKA_SIGN: case CKA_SENSITIVE: case CKA_EXTRACTABLE: case CKA_ALWAYS_SENSITIVE: case CKA_NEVER_EXTRACTABLE:
    case CKA_DECRYPT: case CKA_UNWRAP: case CKA_SIGN_RECOVER: case CKA_ALWAYS_AUTHENTICATE: case CKA_WRAP_WITH_TRUSTED:
      return true;
    default: return false;
  }
}
bool is_public_only(CK_ATTRIBUTE_TYPE a) {
  switch (a) {
    case CKA_VERIFY: case CKA_ENCRYPT: case CKA_WRAP: case CKA_VERIFY_RECOVER: case CKA_TRUSTED: return true;
    default: return false;
  }
}

// The value of attribute a of o in *out; false: the object has no such attribute. *secret: the
// value is the secret key, given only when the key is not sensitive.
struct Value {
  uint8_t small[TAVIK_SPKI_MAX_BYTES];
  const uint8_t *p = nullptr;
  size_t n = 0;
  bool secret = false;
  ~Value() { wipe(small, sizeof small); }
};

template <class T>
void scalar(Value *v, T x) {
  std::memcpy(v->small, &x, sizeof x);
  v->p = v->small;
  v->n = sizeof x;
}

bool value_of(const Object &o, CK_ATTRIBUTE_TYPE a, Value *v) {
  const bool pub = o.cls == CKO_PUBLIC_KEY;
  if ((pub && is_private_only(a)) || (!pub && is_public_only(a))) return false;
  switch (a) {
    case CKA_CLASS: scalar(v, CK_OBJECT_CLASS(o.cls)); return true;
    case CKA_KEY_TYPE: scalar(v, CK_KEY_TYPE(TAVIK_CKK_KEY)); return true;
    case CKA_TOKEN: scalar(v, CK_BBOOL(o.token)); return true;
    case CKA_PRIVATE: scalar(v, CK_BBOOL(o.priv)); return true;
    case CKA_MODIFIABLE: scalar(v, CK_BBOOL(o.modifiable)); return true;
    case CKA_COPYABLE: scalar(v, CK_BBOOL(false)); return true;
    case CKA_DESTROYABLE: scalar(v, CK_BBOOL(true)); return true;
    case CKA_LOCAL: scalar(v, CK_BBOOL(o.local)); return true;
    case CKA_SIGN: scalar(v, CK_BBOOL(o.sign)); return true;
    case CKA_VERIFY: scalar(v, CK_BBOOL(o.verify)); return true;
    case CKA_SENSITIVE: scalar(v, CK_BBOOL(o.sensitive)); return true;
    case CKA_EXTRACTABLE: scalar(v, CK_BBOOL(o.extractable)); return true;
    case CKA_ALWAYS_SENSITIVE: scalar(v, CK_BBOOL(o.always_sensitive)); return true;
    case CKA_NEVER_EXTRACTABLE: scalar(v, CK_BBOOL(o.never_extractable)); return true;
    case CKA_ENCRYPT: case CKA_DECRYPT: case CKA_WRAP: case CKA_UNWRAP: case CKA_DERIVE: case CKA_SIGN_RECOVER:
    case CKA_VERIFY_RECOVER: case CKA_ALWAYS_AUTHENTICATE: case CKA_WRAP_WITH_TRUSTED: case CKA_TRUSTED:
      scalar(v, CK_BBOOL(false));
      return true;
    case CKA_KEY_GEN_MECHANISM:
      scalar(v, CK_MECHANISM_TYPE(o.local ? TAVIK_CKM_KEY_PAIR_GEN : CK_UNAVAILABLE_INFORMATION));
      return true;
    case CKA_LABEL: v->p = reinterpret_cast<const uint8_t *>(o.label.data()); v->n = o.label.size(); return true;
    case CKA_ID: v->p = o.id.data(); v->n = o.id.size(); return true;
    case CKA_SUBJECT: case CKA_START_DATE: case CKA_END_DATE: v->n = 0; return true;
    case CKA_PUBLIC_KEY_INFO: {
      size_t n = 0;
      if (tavik_pk_to_der(v->small, sizeof v->small, &n, o.pk) != TAVIK_OK) return false;
      v->p = v->small;
      v->n = n;
      return true;
    }
    case CKA_VALUE:
      if (pub) {
        v->p = o.pk;
        v->n = TAVIK_PK_BYTES;
      } else {
        v->p = o.sk;
        v->n = TAVIK_SK_BYTES;
        v->secret = true;
      }
      return true;
    default: return false;
  }
}

bool as_bool(const CK_ATTRIBUTE &a, bool *b) {
  if (!a.pValue || a.ulValueLen != sizeof(CK_BBOOL)) return false;
  const CK_BBOOL x = *static_cast<const CK_BBOOL *>(a.pValue);
  if (x > 1) return false;
  *b = x;
  return true;
}

bool as_ulong(const CK_ATTRIBUTE &a, CK_ULONG *x) {
  if (!a.pValue || a.ulValueLen != sizeof(CK_ULONG)) return false;
  std::memcpy(x, a.pValue, sizeof *x);
  return true;
}

}  // namespace

CK_RV get_attributes(const Object &o, CK_ATTRIBUTE_PTR tmpl, CK_ULONG count) {
  if (!tmpl && count) return CKR_ARGUMENTS_BAD;
  CK_RV rv = CKR_OK;
  for (CK_ULONG i = 0; i < count; i++) {
    CK_ATTRIBUTE &a = tmpl[i];
    Value v;
    if (!value_of(o, a.type, &v)) {
      a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
      rv = CKR_ATTRIBUTE_TYPE_INVALID;
    } else if (v.secret && (o.sensitive || !o.extractable)) {
      a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
      if (rv == CKR_OK) rv = CKR_ATTRIBUTE_SENSITIVE;
    } else if (!a.pValue) {
      a.ulValueLen = v.n;
    } else if (a.ulValueLen < v.n) {
      a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
      if (rv == CKR_OK) rv = CKR_BUFFER_TOO_SMALL;
    } else {
      if (v.n) std::memcpy(a.pValue, v.p, v.n);
      a.ulValueLen = v.n;
    }
  }
  return rv;
}

bool matches(const Object &o, const CK_ATTRIBUTE *tmpl, CK_ULONG count) {
  for (CK_ULONG i = 0; i < count; i++) {
    Value v;
    if (!value_of(o, tmpl[i].type, &v) || v.secret || tmpl[i].ulValueLen != v.n) return false;
    if (v.n && (!tmpl[i].pValue || std::memcmp(tmpl[i].pValue, v.p, v.n) != 0)) return false;
  }
  return true;
}

CK_RV apply_template(Object &o, const CK_ATTRIBUTE *tmpl, CK_ULONG count, bool creating) {
  if (!tmpl && count) return CKR_ARGUMENTS_BAD;
  const bool pub = o.cls == CKO_PUBLIC_KEY;
  for (CK_ULONG i = 0; i < count; i++) {
    const CK_ATTRIBUTE &a = tmpl[i];
    if (a.ulValueLen && !a.pValue) return CKR_ATTRIBUTE_VALUE_INVALID;
    if ((pub && is_private_only(a.type)) || (!pub && is_public_only(a.type))) return CKR_ATTRIBUTE_TYPE_INVALID;
    bool b = false;
    CK_ULONG x = 0;
    switch (a.type) {
      case CKA_CLASS:
        if (!as_ulong(a, &x) || x != o.cls) return CKR_TEMPLATE_INCONSISTENT;
        break;
      case CKA_KEY_TYPE:
        if (!as_ulong(a, &x) || x != TAVIK_CKK_KEY) return CKR_TEMPLATE_INCONSISTENT;
        break;
      case CKA_LABEL:
        if (a.ulValueLen > 255) return CKR_ATTRIBUTE_VALUE_INVALID;
        o.label.assign(static_cast<const char *>(a.pValue), a.ulValueLen);
        break;
      case CKA_ID:
        if (a.ulValueLen > 255) return CKR_ATTRIBUTE_VALUE_INVALID;
        o.id.assign(static_cast<const uint8_t *>(a.pValue), static_cast<const uint8_t *>(a.pValue) + a.ulValueLen);
        break;
      case CKA_SUBJECT: case CKA_START_DATE: case CKA_END_DATE:
        // Kept empty: only an empty value is taken.
        if (a.ulValueLen) return CKR_ATTRIBUTE_VALUE_INVALID;
        break;
      case CKA_TOKEN: case CKA_PRIVATE: case CKA_MODIFIABLE: case CKA_SIGN: case CKA_VERIFY: case CKA_SENSITIVE:
      case CKA_EXTRACTABLE: case CKA_ENCRYPT: case CKA_DECRYPT: case CKA_WRAP: case CKA_UNWRAP: case CKA_DERIVE:
      case CKA_SIGN_RECOVER: case CKA_VERIFY_RECOVER: case CKA_COPYABLE: case CKA_DESTROYABLE:
        if (!as_bool(a, &b)) return CKR_ATTRIBUTE_VALUE_INVALID;
        if (!creating && (a.type == CKA_TOKEN || a.type == CKA_PRIVATE || a.type == CKA_MODIFIABLE))
          return CKR_ATTRIBUTE_READ_ONLY;
        // Only the uses these keys have; a key that must not be copied or destroyed is not kept.
        if (a.type == CKA_TOKEN) o.token = b;
        else if (a.type == CKA_PRIVATE) o.priv = b;
        else if (a.type == CKA_MODIFIABLE) o.modifiable = b;
        else if (a.type == CKA_SIGN) o.sign = b;
        else if (a.type == CKA_VERIFY) o.verify = b;
        else if (a.type == CKA_SENSITIVE) {
          if (!creating && o.sensitive && !b) return CKR_ATTRIBUTE_READ_ONLY;  // sensitive stays sensitive
          o.sensitive = b;
        } else if (a.type == CKA_EXTRACTABLE) {
          if (!creating && !o.extractable && b) return CKR_ATTRIBUTE_READ_ONLY;
          o.extractable = b;
        } else if (a.type == CKA_COPYABLE || a.type == CKA_DESTROYABLE) {
          if (b != (a.type == CKA_DESTROYABLE)) return CKR_ATTRIBUTE_VALUE_INVALID;
        } else if (b) {
          return CKR_ATTRIBUTE_VALUE_INVALID;  // encryption, wrapping, derivation: not this key's
        }
        break;
      case CKA_VALUE: case CKA_PUBLIC_KEY_INFO: case CKA_LOCAL: case CKA_KEY_GEN_MECHANISM: case CKA_ALWAYS_SENSITIVE:
      case CKA_NEVER_EXTRACTABLE:
        return creating ? CKR_TEMPLATE_INCONSISTENT : CKR_ATTRIBUTE_READ_ONLY;
      default: return CKR_ATTRIBUTE_TYPE_INVALID;
    }
  }
  // A secret key is kept sealed at rest: a private key object is always private.
  if (!pub && !o.priv) return CKR_TEMPLATE_INCONSISTENT;
  return CKR_OK;
}

CK_RV set_attributes(Object &o, const CK_ATTRIBUTE *tmpl, CK_ULONG count) {
  if (!o.modifiable) return CKR_ACTION_PROHIBITED;
  Object copy_flags;  // the changes are made on a copy of the fields and kept only when all apply
  copy_flags.cls = o.cls;
  copy_flags.token = o.token;
  copy_flags.priv = o.priv;
  copy_flags.modifiable = o.modifiable;
  copy_flags.sign = o.sign;
  copy_flags.verify = o.verify;
  copy_flags.sensitive = o.sensitive;
  copy_flags.extractable = o.extractable;
  copy_flags.label = o.label;
  copy_flags.id = o.id;
  const CK_RV rv = apply_template(copy_flags, tmpl, count, false);
  if (rv != CKR_OK) return rv;
  o.sign = copy_flags.sign;
  o.verify = copy_flags.verify;
  o.sensitive = copy_flags.sensitive;
  o.extractable = copy_flags.extractable;
  o.label = copy_flags.label;
  o.id = copy_flags.id;
  return CKR_OK;
}

}  // namespace tp11
