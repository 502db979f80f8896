// The software token module: its types, its state, and what its files share.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

extern "C" {
#include <p11-kit/pkcs11.h>
}

#include "tavik.h"
#include "tavik_pkcs11.h"

// The pieces of version 3.0 the packaged 2.40 header lacks: the interface calls and the 3.0
// function list (the 2.40 list, then its new entries in their order).
extern "C" {
typedef struct CK_INTERFACE {
  CK_UTF8CHAR *pInterfaceName;
  CK_VOID_PTR pFunctionList;
  CK_FLAGS flags;
} CK_INTERFACE;
typedef CK_INTERFACE *CK_INTERFACE_PTR;
typedef CK_INTERFACE_PTR *CK_INTERFACE_PTR_PTR;

struct CK_FUNCTION_LIST_3_0 {
  CK_VERSION version;
  CK_C_Initialize C_Initialize;
  CK_C_Finalize C_Finalize;
  CK_C_GetInfo C_GetInfo;
  CK_C_GetFunctionList C_GetFunctionList;
  CK_C_GetSlotList C_GetSlotList;
  CK_C_GetSlotInfo C_GetSlotInfo;
  CK_C_GetTokenInfo C_GetTokenInfo;
  CK_C_GetMechanismList C_GetMechanismList;
  CK_C_GetMechanismInfo C_GetMechanismInfo;
  CK_C_InitToken C_InitToken;
  CK_C_InitPIN C_InitPIN;
  CK_C_SetPIN C_SetPIN;
  CK_C_OpenSession C_OpenSession;
  CK_C_CloseSession C_CloseSession;
  CK_C_CloseAllSessions C_CloseAllSessions;
  CK_C_GetSessionInfo C_GetSessionInfo;
  CK_C_GetOperationState C_GetOperationState;
  CK_C_SetOperationState C_SetOperationState;
  CK_C_Login C_Login;
  CK_C_Logout C_Logout;
  CK_C_CreateObject C_CreateObject;
  CK_C_CopyObject C_CopyObject;
  CK_C_DestroyObject C_DestroyObject;
  CK_C_GetObjectSize C_GetObjectSize;
  CK_C_GetAttributeValue C_GetAttributeValue;
  CK_C_SetAttributeValue C_SetAttributeValue;
  CK_C_FindObjectsInit C_FindObjectsInit;
  CK_C_FindObjects C_FindObjects;
  CK_C_FindObjectsFinal C_FindObjectsFinal;
  CK_C_EncryptInit C_EncryptInit;
  CK_C_Encrypt C_Encrypt;
  CK_C_EncryptUpdate C_EncryptUpdate;
  CK_C_EncryptFinal C_EncryptFinal;
  CK_C_DecryptInit C_DecryptInit;
  CK_C_Decrypt C_Decrypt;
  CK_C_DecryptUpdate C_DecryptUpdate;
  CK_C_DecryptFinal C_DecryptFinal;
  CK_C_DigestInit C_DigestInit;
  CK_C_Digest C_Digest;
  CK_C_DigestUpdate C_DigestUpdate;
  CK_C_DigestKey C_DigestKey;
  CK_C_DigestFinal C_DigestFinal;
  CK_C_SignInit C_SignInit;
  CK_C_Sign C_Sign;
  CK_C_SignUpdate C_SignUpdate;
  CK_C_SignFinal C_SignFinal;
  CK_C_SignRecoverInit C_SignRecoverInit;
  CK_C_SignRecover C_SignRecover;
  CK_C_VerifyInit C_VerifyInit;
  CK_C_Verify C_Verify;
  CK_C_VerifyUpdate C_VerifyUpdate;
  CK_C_VerifyFinal C_VerifyFinal;
  CK_C_VerifyRecoverInit C_VerifyRecoverInit;
  CK_C_VerifyRecover C_VerifyRecover;
  CK_C_DigestEncryptUpdate C_DigestEncryptUpdate;
  CK_C_DecryptDigestUpdate C_DecryptDigestUpdate;
  CK_C_SignEncryptUpdate C_SignEncryptUpdate;
  CK_C_DecryptVerifyUpdate C_DecryptVerifyUpdate;
  CK_C_GenerateKey C_GenerateKey;
  CK_C_GenerateKeyPair C_GenerateKeyPair;
  CK_C_WrapKey C_WrapKey;
  CK_C_UnwrapKey C_UnwrapKey;
  CK_C_DeriveKey C_DeriveKey;
  CK_C_SeedRandom C_SeedRandom;
  CK_C_GenerateRandom C_GenerateRandom;
  CK_C_GetFunctionStatus C_GetFunctionStatus;
  CK_C_CancelFunction C_CancelFunction;
  CK_C_WaitForSlotEvent C_WaitForSlotEvent;
  CK_RV (*C_GetInterfaceList)(CK_INTERFACE_PTR, CK_ULONG_PTR);
  CK_RV (*C_GetInterface)(CK_UTF8CHAR_PTR, CK_VERSION_PTR, CK_INTERFACE_PTR_PTR, CK_FLAGS);
  CK_RV (*C_LoginUser)(CK_SESSION_HANDLE, CK_USER_TYPE, CK_UTF8CHAR_PTR, CK_ULONG, CK_UTF8CHAR_PTR, CK_ULONG);
  CK_RV (*C_SessionCancel)(CK_SESSION_HANDLE, CK_FLAGS);
  // The message-based calls, which this token does not offer (CKR_FUNCTION_NOT_SUPPORTED).
  CK_RV (*C_MessageEncryptInit)(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE);
  CK_RV (*C_EncryptMessage)(CK_SESSION_HANDLE, CK_VOID_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG,
                            CK_BYTE_PTR, CK_ULONG_PTR);
  CK_RV (*C_EncryptMessageBegin)(CK_SESSION_HANDLE, CK_VOID_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG);
  CK_RV (*C_EncryptMessageNext)(CK_SESSION_HANDLE, CK_VOID_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR,
                                CK_ULONG_PTR, CK_FLAGS);
  CK_RV (*C_MessageEncryptFinal)(CK_SESSION_HANDLE);
  CK_RV (*C_MessageDecryptInit)(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE);
  CK_RV (*C_DecryptMessage)(CK_SESSION_HANDLE, CK_VOID_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG,
                            CK_BYTE_PTR, CK_ULONG_PTR);
  CK_RV (*C_DecryptMessageBegin)(CK_SESSION_HANDLE, CK_VOID_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG);
  CK_RV (*C_DecryptMessageNext)(CK_SESSION_HANDLE, CK_VOID_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR,
                                CK_ULONG_PTR, CK_FLAGS);
  CK_RV (*C_MessageDecryptFinal)(CK_SESSION_HANDLE);
  CK_RV (*C_MessageSignInit)(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE);
  CK_RV (*C_SignMessage)(CK_SESSION_HANDLE, CK_VOID_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR);
  CK_RV (*C_SignMessageBegin)(CK_SESSION_HANDLE, CK_VOID_PTR, CK_ULONG);
  CK_RV (*C_SignMessageNext)(CK_SESSION_HANDLE, CK_VOID_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR);
  CK_RV (*C_MessageSignFinal)(CK_SESSION_HANDLE);
  CK_RV (*C_MessageVerifyInit)(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE);
  CK_RV (*C_VerifyMessage)(CK_SESSION_HANDLE, CK_VOID_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG);
  CK_RV (*C_VerifyMessageBegin)(CK_SESSION_HANDLE, CK_VOID_PTR, CK_ULONG);
  CK_RV (*C_VerifyMessageNext)(CK_SESSION_HANDLE, CK_VOID_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG);
  CK_RV (*C_MessageVerifyFinal)(CK_SESSION_HANDLE);
};
}

namespace tp11 {

constexpr CK_ULONG NO_USER = ~CK_ULONG(0);

// A key object. Token objects live in files of their token's directory (file_name), session
// objects only in memory (owner: their session).
struct Object {
  CK_OBJECT_HANDLE handle = 0;
  CK_SESSION_HANDLE owner = 0;
  std::string file_name;
  CK_OBJECT_CLASS cls = CKO_PUBLIC_KEY;
  bool token = false, priv = false, sensitive = false, extractable = false, sign = false, verify = false;
  bool local = false, always_sensitive = false, never_extractable = false, modifiable = true;
  std::string label;
  std::vector<uint8_t> id;
  uint8_t pk[TAVIK_PK_BYTES] = {};
  uint8_t sk[TAVIK_SK_BYTES] = {};  // private keys only
  uint64_t generation = 0;          // changes when the key bytes could: keys the session caches
  ~Object();
};

// The token file's fields (token.dat).
struct TokenHeader {
  uint8_t user_pin_set = 0, so_fail = 0, user_fail = 0;
  uint32_t opslimit = 0, memlimit = 0;
  uint8_t token_id[16] = {};
  char label[32] = {};
  struct Wrap { uint8_t salt[16], nonce[24], sealed[48]; } so{}, user{};
};

struct Token {
  std::string dir;
  bool present = false;      // initialised: the directory holds a token file
  CK_RV status = CKR_OK;     // CKR_DEVICE_ERROR when a file of it was refused
  TokenHeader hdr;
  std::vector<std::unique_ptr<Object>> objects;  // token objects: public ones, private ones while logged in
  CK_USER_TYPE user = NO_USER;
  uint8_t master[32] = {};   // while logged in
};

struct Slot {
  CK_SLOT_ID id = 0;
  Token token;
};

enum class Op { none, sign, verify };

struct Session {
  CK_SESSION_HANDLE handle = 0;
  CK_SLOT_ID slot = 0;
  bool rw = false;
  std::mutex mu;  // the operation below; taken after the module's lock, never before it
  // Find
  bool finding = false;
  std::vector<CK_OBJECT_HANDLE> found;
  size_t found_pos = 0;
  // Sign or verify
  Op op = Op::none;
  CK_MECHANISM_TYPE mech = 0;
  bool deterministic = false, streaming = false;
  uint8_t ctx[TAVIK_MAX_CONTEXT_BYTES] = {};
  size_t ctxlen = 0;
  uint8_t mu_buf[TAVIK_MU_BYTES] = {};
  size_t mu_len = 0;
  bool mu_overflow = false;
  tavik_sign_state sst{};
  tavik_verify_state vst{};
  // The prepared keys of the last key used, and which key and generation they are of.
  std::unique_ptr<tavik_expanded_sk> xsk;
  CK_OBJECT_HANDLE xsk_key = 0;
  uint64_t xsk_gen = 0;
  std::unique_ptr<tavik_expanded_pk> xpk;
  CK_OBJECT_HANDLE xpk_key = 0;
  uint64_t xpk_gen = 0;
  void end_op();
  void drop_keys();
  ~Session();
};

// ---- The module's state (module.cpp) ----
struct Module {
  std::mutex mu;
  bool initialized = false;
  std::string root;
  std::vector<std::unique_ptr<Slot>> slots;
  std::vector<std::shared_ptr<Session>> sessions;
  CK_ULONG next_handle = 1;
};
Module &module();
Slot *find_slot(CK_SLOT_ID id);
std::shared_ptr<Session> find_session(CK_SESSION_HANDLE h);
// The object of handle h that session s may see, or null.
Object *find_object(Session &s, CK_OBJECT_HANDLE h);
bool may_see(const Token &t, const Object &o);

// ---- Token files (store.cpp) ----
// Reads the token of dir: its header and public objects. CKR_OK, or CKR_DEVICE_ERROR when a file
// is damaged or not this token's.
CK_RV load_token(Token &t);
CK_RV write_header(const Token &t);
// A new token in t.dir (made when missing) with the SO PIN: every object file removed first.
CK_RV init_token(Token &t, const uint8_t *pin, size_t pinlen, const uint8_t label[32]);
// Login: checks the PIN against its wrap and counts a failure before the check; on success the
// master key is in t.master and, for the user, the private objects are read.
CK_RV login(Token &t, CK_USER_TYPE user, const uint8_t *pin, size_t pinlen);
// The PIN check of login alone: the master key to master (32 bytes) on success.
CK_RV check_pin(Token &t, CK_USER_TYPE user, const uint8_t *pin, size_t pinlen, uint8_t master[32]);
void logout(Token &t);
// Seals the master key under a new PIN for `user` (CKU_SO or CKU_USER) and writes the header.
CK_RV set_pin(Token &t, CK_USER_TYPE user, const uint8_t *pin, size_t pinlen, const uint8_t master[32]);
CK_RV write_object(const Token &t, Object &o);  // o.file_name given a fresh name when empty
CK_RV remove_object(const Token &t, const Object &o);

// ---- Attributes (objects.cpp) ----
CK_RV get_attributes(const Object &o, CK_ATTRIBUTE_PTR tmpl, CK_ULONG count);
bool matches(const Object &o, const CK_ATTRIBUTE *tmpl, CK_ULONG count);
// Applies a key generation template to o (class already set); refuses what does not fit.
CK_RV apply_template(Object &o, const CK_ATTRIBUTE *tmpl, CK_ULONG count, bool creating);
CK_RV set_attributes(Object &o, const CK_ATTRIBUTE *tmpl, CK_ULONG count);

void wipe(void *p, size_t n);

}  // namespace tp11
