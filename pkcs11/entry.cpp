// The module's entry points: the function lists of versions 2.40 and 3.0, the 3.0 interface
// calls, and the answers for the functions this token does not offer.
#include <cstring>

#include "p11.h"

using namespace tp11;

namespace {

bool initialized() {
  std::lock_guard<std::mutex> g(module().mu);
  return module().initialized;
}

// A function this token does not offer, with the arguments of its slot in the list.
template <class... A>
CK_RV unsupported(A...) {
  return initialized() ? CKR_FUNCTION_NOT_SUPPORTED : CKR_CRYPTOKI_NOT_INITIALIZED;
}

// Secret-key generation: no mechanism of this token makes one.
CK_RV generate_key(CK_SESSION_HANDLE h, CK_MECHANISM_PTR mech, CK_ATTRIBUTE_PTR, CK_ULONG, CK_OBJECT_HANDLE_PTR) {
  std::lock_guard<std::mutex> g(module().mu);
  if (!module().initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
  if (!find_session(h)) return CKR_SESSION_HANDLE_INVALID;
  return mech ? CKR_MECHANISM_INVALID : CKR_ARGUMENTS_BAD;
}

// Functions run in parallel are a thing of version 1: none runs here.
CK_RV not_parallel(CK_SESSION_HANDLE h) {
  std::lock_guard<std::mutex> g(module().mu);
  if (!module().initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
  return find_session(h) ? CKR_FUNCTION_NOT_PARALLEL : CKR_SESSION_HANDLE_INVALID;
}

CK_RV login_user(CK_SESSION_HANDLE h, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin, CK_ULONG pinlen, CK_UTF8CHAR_PTR,
                 CK_ULONG) {
  // The token has no user names: the name is ignored.
  return C_Login(h, user, pin, pinlen);
}

CK_RV session_cancel(CK_SESSION_HANDLE h, CK_FLAGS flags) {
  std::lock_guard<std::mutex> g(module().mu);
  if (!module().initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
  std::shared_ptr<Session> s = find_session(h);
  if (!s) return CKR_SESSION_HANDLE_INVALID;
  std::lock_guard<std::mutex> g2(s->mu);
  if ((flags & CKF_SIGN && s->op == Op::sign) || (flags & CKF_VERIFY && s->op == Op::verify)) s->end_op();
  if (flags & 0x00400000UL)  // CKF_FIND_OBJECTS of version 3.0
    s->finding = false;
  return CKR_OK;
}

template <class L>
void fill(L &l) {
  l.C_Initialize = C_Initialize;
  l.C_Finalize = C_Finalize;
  l.C_GetInfo = C_GetInfo;
  l.C_GetFunctionList = C_GetFunctionList;
  l.C_GetSlotList = C_GetSlotList;
  l.C_GetSlotInfo = C_GetSlotInfo;
  l.C_GetTokenInfo = C_GetTokenInfo;
  l.C_GetMechanismList = C_GetMechanismList;
  l.C_GetMechanismInfo = C_GetMechanismInfo;
  l.C_InitToken = C_InitToken;
  l.C_InitPIN = C_InitPIN;
  l.C_SetPIN = C_SetPIN;
  l.C_OpenSession = C_OpenSession;
  l.C_CloseSession = C_CloseSession;
  l.C_CloseAllSessions = C_CloseAllSessions;
  l.C_GetSessionInfo = C_GetSessionInfo;
  l.C_GetOperationState = unsupported<CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR>;
  l.C_SetOperationState = unsupported<CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_OBJECT_HANDLE, CK_OBJECT_HANDLE>;
  l.C_Login = C_Login;
  l.C_Logout = C_Logout;
  l.C_CreateObject = C_CreateObject;
  l.C_CopyObject = unsupported<CK_SESSION_HANDLE, CK_OBJECT_HANDLE, CK_ATTRIBUTE_PTR, CK_ULONG, CK_OBJECT_HANDLE_PTR>;
  l.C_DestroyObject = C_DestroyObject;
  l.C_GetObjectSize = C_GetObjectSize;
  l.C_GetAttributeValue = C_GetAttributeValue;
  l.C_SetAttributeValue = C_SetAttributeValue;
  l.C_FindObjectsInit = C_FindObjectsInit;
  l.C_FindObjects = C_FindObjects;
  l.C_FindObjectsFinal = C_FindObjectsFinal;
  using Init = CK_RV (*)(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE);
  using OnePart = CK_RV (*)(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR);
  using Final = CK_RV (*)(CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR);
  const Init init = unsupported<CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE>;
  const OnePart one = unsupported<CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR>;
  const Final final_ = unsupported<CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR>;
  l.C_EncryptInit = l.C_DecryptInit = l.C_SignRecoverInit = l.C_VerifyRecoverInit = init;
  l.C_Encrypt = l.C_EncryptUpdate = l.C_Decrypt = l.C_DecryptUpdate = l.C_SignRecover = l.C_VerifyRecover = one;
  l.C_DigestEncryptUpdate = l.C_DecryptDigestUpdate = l.C_SignEncryptUpdate = l.C_DecryptVerifyUpdate = one;
  l.C_EncryptFinal = l.C_DecryptFinal = l.C_DigestFinal = final_;
  l.C_DigestInit = unsupported<CK_SESSION_HANDLE, CK_MECHANISM_PTR>;
  l.C_Digest = one;
  l.C_DigestUpdate = unsupported<CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG>;
  l.C_DigestKey = unsupported<CK_SESSION_HANDLE, CK_OBJECT_HANDLE>;
  l.C_SignInit = C_SignInit;
  l.C_Sign = C_Sign;
  l.C_SignUpdate = C_SignUpdate;
  l.C_SignFinal = C_SignFinal;
  l.C_VerifyInit = C_VerifyInit;
  l.C_Verify = C_Verify;
  l.C_VerifyUpdate = C_VerifyUpdate;
  l.C_VerifyFinal = C_VerifyFinal;
  l.C_GenerateKey = generate_key;
  l.C_GenerateKeyPair = C_GenerateKeyPair;
  l.C_WrapKey = unsupported<CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE, CK_OBJECT_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR>;
  l.C_UnwrapKey = unsupported<CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE, CK_BYTE_PTR, CK_ULONG,
                              CK_ATTRIBUTE_PTR, CK_ULONG, CK_OBJECT_HANDLE_PTR>;
  l.C_DeriveKey = unsupported<CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE, CK_ATTRIBUTE_PTR, CK_ULONG,
                              CK_OBJECT_HANDLE_PTR>;
  l.C_SeedRandom = C_SeedRandom;
  l.C_GenerateRandom = C_GenerateRandom;
  l.C_GetFunctionStatus = not_parallel;
  l.C_CancelFunction = not_parallel;
  l.C_WaitForSlotEvent = unsupported<CK_FLAGS, CK_SLOT_ID_PTR, CK_VOID_PTR>;
}

CK_RV get_interface_list(CK_INTERFACE_PTR list, CK_ULONG_PTR count);
CK_RV get_interface(CK_UTF8CHAR_PTR name, CK_VERSION_PTR version, CK_INTERFACE_PTR_PTR out, CK_FLAGS flags);

struct Lists {
  CK_FUNCTION_LIST v2{};
  CK_FUNCTION_LIST_3_0 v3{};
  CK_INTERFACE interfaces[2];
  Lists() {
    fill(v2);
    fill(v3);
    v2.version = {2, 40};
    v3.version = {3, 0};
    v3.C_GetInterfaceList = get_interface_list;
    v3.C_GetInterface = get_interface;
    v3.C_LoginUser = login_user;
    v3.C_SessionCancel = session_cancel;
    v3.C_MessageEncryptInit = v3.C_MessageDecryptInit = v3.C_MessageSignInit = v3.C_MessageVerifyInit =
        unsupported<CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE>;
    v3.C_EncryptMessage = v3.C_DecryptMessage = unsupported<CK_SESSION_HANDLE, CK_VOID_PTR, CK_ULONG, CK_BYTE_PTR,
                                                            CK_ULONG, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR>;
    v3.C_EncryptMessageBegin = v3.C_DecryptMessageBegin =
        unsupported<CK_SESSION_HANDLE, CK_VOID_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG>;
    v3.C_EncryptMessageNext = v3.C_DecryptMessageNext = unsupported<CK_SESSION_HANDLE, CK_VOID_PTR, CK_ULONG, CK_BYTE_PTR,
                                                                    CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR, CK_FLAGS>;
    v3.C_MessageEncryptFinal = v3.C_MessageDecryptFinal = v3.C_MessageSignFinal = v3.C_MessageVerifyFinal =
        unsupported<CK_SESSION_HANDLE>;
    v3.C_SignMessage = v3.C_SignMessageNext =
        unsupported<CK_SESSION_HANDLE, CK_VOID_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR>;
    v3.C_SignMessageBegin = v3.C_VerifyMessageBegin = unsupported<CK_SESSION_HANDLE, CK_VOID_PTR, CK_ULONG>;
    v3.C_VerifyMessage = v3.C_VerifyMessageNext =
        unsupported<CK_SESSION_HANDLE, CK_VOID_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG>;
    static CK_UTF8CHAR name[] = "PKCS 11";
    interfaces[0] = {name, &v3, 0};
    interfaces[1] = {name, &v2, 0};
  }
};

Lists &lists() {
  static Lists l;
  return l;
}

CK_RV get_interface_list(CK_INTERFACE_PTR list, CK_ULONG_PTR count) {
  if (!count) return CKR_ARGUMENTS_BAD;
  const CK_ULONG n = 2;
  if (list && *count < n) {
    *count = n;
    return CKR_BUFFER_TOO_SMALL;
  }
  if (list) std::memcpy(list, lists().interfaces, sizeof lists().interfaces);
  *count = n;
  return CKR_OK;
}

CK_RV get_interface(CK_UTF8CHAR_PTR name, CK_VERSION_PTR version, CK_INTERFACE_PTR_PTR out, CK_FLAGS flags) {
  if (!out) return CKR_ARGUMENTS_BAD;
  if (name && std::strcmp(reinterpret_cast<const char *>(name), "PKCS 11") != 0) return CKR_ARGUMENTS_BAD;
  for (CK_INTERFACE &i : lists().interfaces) {
    const CK_VERSION v = *static_cast<const CK_VERSION *>(i.pFunctionList);
    if (version && (version->major != v.major || version->minor != v.minor)) continue;
    if ((flags & i.flags) != flags) continue;
    *out = &i;
    return CKR_OK;
  }
  return CKR_ARGUMENTS_BAD;
}

}  // namespace

extern "C" {

CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR out) {
  if (!out) return CKR_ARGUMENTS_BAD;
  *out = &lists().v2;
  return CKR_OK;
}

__attribute__((visibility("default"))) CK_RV C_GetInterfaceList(CK_INTERFACE_PTR list, CK_ULONG_PTR count) {
  return get_interface_list(list, count);
}

__attribute__((visibility("default"))) CK_RV C_GetInterface(CK_UTF8CHAR_PTR name, CK_VERSION_PTR version,
                                                            CK_INTERFACE_PTR_PTR out, CK_FLAGS flags) {
  return get_interface(name, version, out, flags);
}

}  // extern "C"
