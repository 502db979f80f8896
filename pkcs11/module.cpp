// The module's general calls, slots and tokens, sessions, logins and object management. One lock
// (Module::mu) guards slots, tokens, objects and the session list; a session's operation has a
// lock of its own, taken after the module's, so that signing in one session does not hold up the
// others.
#include <sodium.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "p11.h"

namespace tp11 {

constexpr CK_SLOT_ID MAX_SLOTS = 32;

Module &module() {
  static Module m;
  return m;
}

void Session::end_op() {
  if (op == Op::sign && streaming) tavik_sign_state_wipe(&sst);
  wipe(&vst, sizeof vst);
  wipe(ctx, sizeof ctx);
  wipe(mu_buf, sizeof mu_buf);
  op = Op::none;
  streaming = false;
  mu_len = 0;
  mu_overflow = false;
  ctxlen = 0;
}

void Session::drop_keys() {
  end_op();  // a streaming state points into the prepared key
  if (xsk) tavik_expanded_sk_wipe(xsk.get());
  xsk.reset();
  xpk.reset();
  xsk_key = xpk_key = 0;
}

Session::~Session() {
  end_op();
  drop_keys();
}

Slot *find_slot(CK_SLOT_ID id) {
  for (auto &s : module().slots)
    if (s->id == id) return s.get();
  return nullptr;
}

std::shared_ptr<Session> find_session(CK_SESSION_HANDLE h) {
  for (auto &s : module().sessions)
    if (s->handle == h) return s;
  return nullptr;
}

bool may_see(const Token &t, const Object &o) { return !o.priv || t.user == CKU_USER; }

Object *find_object(Session &s, CK_OBJECT_HANDLE h) {
  Slot *slot = find_slot(s.slot);
  if (!slot) return nullptr;
  for (auto &o : slot->token.objects)
    if (o->handle == h) return may_see(slot->token, *o) ? o.get() : nullptr;
  return nullptr;
}

namespace {

void give_handles(Token &t) {
  for (auto &o : t.objects)
    if (!o->handle) o->handle = module().next_handle++;
}

std::string token_dir(CK_SLOT_ID n) { return module().root + "/token" + std::to_string(n); }

// The slots: one per token directory found, and the first free number as an empty slot where
// C_InitToken makes the next token.
void scan_slots() {
  Module &m = module();
  m.slots.clear();
  bool empty_added = false;
  for (CK_SLOT_ID n = 0; n < MAX_SLOTS; n++) {
    auto slot = std::make_unique<Slot>();
    slot->id = n;
    slot->token.dir = token_dir(n);
    load_token(slot->token);
    give_handles(slot->token);
    if (slot->token.present || slot->token.status != CKR_OK) m.slots.push_back(std::move(slot));
    else if (!empty_added) {
      m.slots.push_back(std::move(slot));
      empty_added = true;
    }
  }
}

void add_empty_slot() {
  Module &m = module();
  for (CK_SLOT_ID n = 0; n < MAX_SLOTS; n++) {
    if (find_slot(n)) continue;
    auto slot = std::make_unique<Slot>();
    slot->id = n;
    slot->token.dir = token_dir(n);
    m.slots.push_back(std::move(slot));
    std::sort(m.slots.begin(), m.slots.end(), [](auto &a, auto &b) { return a->id < b->id; });
    return;
  }
}

std::string default_root() {
  if (const char *d = secure_getenv("TAVIK_PKCS11_DIR"); d && *d) return d;
  if (const char *x = secure_getenv("XDG_DATA_HOME"); x && *x == '/') return std::string(x) + "/tavik/tokens";
  if (const char *h = secure_getenv("HOME"); h && *h == '/') return std::string(h) + "/.local/share/tavik/tokens";
  return "";
}

void padded(CK_UTF8CHAR *out, size_t n, const char *text) {
  std::memset(out, ' ', n);
  std::memcpy(out, text, std::min(n, std::strlen(text)));
}

size_t count_sessions(CK_SLOT_ID slot, bool rw_only) {
  size_t n = 0;
  for (auto &s : module().sessions) n += s->slot == slot && (!rw_only || s->rw);
  return n;
}

// Ends the operations and drops the prepared keys of the sessions of a slot.
void drop_slot_keys(CK_SLOT_ID slot) {
  for (auto &s : module().sessions) {
    if (s->slot != slot) continue;
    std::lock_guard<std::mutex> g(s->mu);
    s->end_op();
    s->drop_keys();
    s->finding = false;
  }
}

bool pin_len_ok(CK_ULONG n) { return n >= TAVIK_PKCS11_MIN_PIN_BYTES && n <= TAVIK_PKCS11_MAX_PIN_BYTES; }

}  // namespace

}  // namespace tp11

using namespace tp11;

#define NEED_INIT()                                          \
  std::lock_guard<std::mutex> lock_(module().mu);            \
  if (!module().initialized) return CKR_CRYPTOKI_NOT_INITIALIZED
#define NEED_SESSION(h)                                      \
  NEED_INIT();                                               \
  std::shared_ptr<Session> sp_ = find_session(h);            \
  if (!sp_) return CKR_SESSION_HANDLE_INVALID;               \
  Session &s = *sp_;                                         \
  Token &tok = find_slot(s.slot)->token

extern "C" {

CK_RV C_Initialize(CK_VOID_PTR init_args) {
  if (init_args) {
    const auto *a = static_cast<const CK_C_INITIALIZE_ARGS *>(init_args);
    const int given = !!a->CreateMutex + !!a->DestroyMutex + !!a->LockMutex + !!a->UnlockMutex;
    if (a->pReserved || (given != 0 && given != 4)) return CKR_ARGUMENTS_BAD;
    // The module locks with the operating system's primitives only.
    if (given == 4 && !(a->flags & CKF_OS_LOCKING_OK)) return CKR_CANT_LOCK;
  }
  std::lock_guard<std::mutex> g(module().mu);
  Module &m = module();
  if (m.initialized) return CKR_CRYPTOKI_ALREADY_INITIALIZED;
  if (sodium_init() < 0) return CKR_GENERAL_ERROR;
  m.root = default_root();
  if (m.root.empty()) return CKR_GENERAL_ERROR;
  scan_slots();
  m.initialized = true;
  return CKR_OK;
}

CK_RV C_Finalize(CK_VOID_PTR reserved) {
  if (reserved) return CKR_ARGUMENTS_BAD;
  NEED_INIT();
  Module &m = module();
  m.sessions.clear();
  for (auto &slot : m.slots) logout(slot->token);
  m.slots.clear();
  m.initialized = false;
  return CKR_OK;
}

CK_RV C_GetInfo(CK_INFO_PTR info) {
  if (!info) return CKR_ARGUMENTS_BAD;
  NEED_INIT();
  std::memset(info, 0, sizeof *info);
  info->cryptokiVersion = {3, 0};
  padded(info->manufacturerID, sizeof info->manufacturerID, "tavik-c");
  padded(info->libraryDescription, sizeof info->libraryDescription, "tavik software token");
  info->libraryVersion = {TAVIK_VERSION_MAJOR, TAVIK_VERSION_MINOR};
  return CKR_OK;
}

CK_RV C_GetSlotList(CK_BBOOL, CK_SLOT_ID_PTR list, CK_ULONG_PTR count) {
  if (!count) return CKR_ARGUMENTS_BAD;
  NEED_INIT();
  // Every slot holds a token: an empty slot holds one not yet initialised.
  const auto &slots = module().slots;
  if (list) {
    if (*count < slots.size()) {
      *count = slots.size();
      return CKR_BUFFER_TOO_SMALL;
    }
    for (size_t i = 0; i < slots.size(); i++) list[i] = slots[i]->id;
  }
  *count = slots.size();
  return CKR_OK;
}

CK_RV C_GetSlotInfo(CK_SLOT_ID id, CK_SLOT_INFO_PTR info) {
  if (!info) return CKR_ARGUMENTS_BAD;
  NEED_INIT();
  if (!find_slot(id)) return CKR_SLOT_ID_INVALID;
  std::memset(info, 0, sizeof *info);
  padded(info->slotDescription, sizeof info->slotDescription, "tavik software token slot");
  padded(info->manufacturerID, sizeof info->manufacturerID, "tavik-c");
  info->flags = CKF_TOKEN_PRESENT;
  info->hardwareVersion = info->firmwareVersion = {TAVIK_VERSION_MAJOR, TAVIK_VERSION_MINOR};
  return CKR_OK;
}

CK_RV C_GetTokenInfo(CK_SLOT_ID id, CK_TOKEN_INFO_PTR info) {
  if (!info) return CKR_ARGUMENTS_BAD;
  NEED_INIT();
  Slot *slot = find_slot(id);
  if (!slot) return CKR_SLOT_ID_INVALID;
  const Token &t = slot->token;
  std::memset(info, 0, sizeof *info);
  padded(info->label, sizeof info->label, "");
  if (t.present) std::memcpy(info->label, t.hdr.label, 32);
  padded(info->manufacturerID, sizeof info->manufacturerID, "tavik-c");
  padded(info->model, sizeof info->model, "software token");
  char serial[33];
  sodium_bin2hex(serial, sizeof serial, t.hdr.token_id, 8);
  padded(info->serialNumber, sizeof info->serialNumber, t.present ? serial : "");
  CK_FLAGS f = CKF_RNG | CKF_LOGIN_REQUIRED;
  if (t.present) f |= CKF_TOKEN_INITIALIZED;
  if (t.hdr.user_pin_set) f |= CKF_USER_PIN_INITIALIZED;
  auto counts = [&f](unsigned fails, CK_FLAGS low, CK_FLAGS final_try, CK_FLAGS locked) {
    if (fails >= TAVIK_PKCS11_MAX_PIN_TRIES) f |= locked;
    else if (fails + 1 == TAVIK_PKCS11_MAX_PIN_TRIES) f |= final_try | low;
    else if (fails) f |= low;
  };
  counts(t.hdr.user_fail, CKF_USER_PIN_COUNT_LOW, CKF_USER_PIN_FINAL_TRY, CKF_USER_PIN_LOCKED);
  counts(t.hdr.so_fail, CKF_SO_PIN_COUNT_LOW, CKF_SO_PIN_FINAL_TRY, CKF_SO_PIN_LOCKED);
  info->flags = f;
  info->ulMaxSessionCount = info->ulMaxRwSessionCount = CK_EFFECTIVELY_INFINITE;
  info->ulSessionCount = count_sessions(id, false);
  info->ulRwSessionCount = count_sessions(id, true);
  info->ulMaxPinLen = TAVIK_PKCS11_MAX_PIN_BYTES;
  info->ulMinPinLen = TAVIK_PKCS11_MIN_PIN_BYTES;
  info->ulTotalPublicMemory = info->ulFreePublicMemory = CK_UNAVAILABLE_INFORMATION;
  info->ulTotalPrivateMemory = info->ulFreePrivateMemory = CK_UNAVAILABLE_INFORMATION;
  info->hardwareVersion = info->firmwareVersion = {TAVIK_VERSION_MAJOR, TAVIK_VERSION_MINOR};
  padded(info->utcTime, sizeof info->utcTime, "");
  return CKR_OK;
}

CK_RV C_InitToken(CK_SLOT_ID id, CK_UTF8CHAR_PTR pin, CK_ULONG pinlen, CK_UTF8CHAR_PTR label) {
  if (!pin || !label) return CKR_ARGUMENTS_BAD;
  NEED_INIT();
  Slot *slot = find_slot(id);
  if (!slot) return CKR_SLOT_ID_INVALID;
  if (count_sessions(id, false)) return CKR_SESSION_EXISTS;
  Token &t = slot->token;
  const bool was_empty = !t.present;
  if (t.present) {
    // A token made again: only with its security officer's PIN.
    uint8_t master[32];
    const CK_RV rv = check_pin(t, CKU_SO, pin, pinlen, master);
    wipe(master, sizeof master);
    if (rv != CKR_OK) return rv;
  } else if (t.status != CKR_OK) {
    return t.status;
  } else if (!pin_len_ok(pinlen)) {
    return CKR_PIN_LEN_RANGE;
  }
  // The label is 32 blank-padded bytes; some clients pass a shorter string ended by a zero byte
  // instead, so the label ends at a zero byte, and nothing past it is read.
  uint8_t padded_label[32];
  std::memset(padded_label, ' ', 32);
  for (size_t i = 0; i < 32 && label[i]; i++) padded_label[i] = label[i];
  const CK_RV rv = init_token(t, pin, pinlen, padded_label);
  if (rv == CKR_OK && was_empty) add_empty_slot();
  return rv;
}

CK_RV C_OpenSession(CK_SLOT_ID id, CK_FLAGS flags, CK_VOID_PTR, CK_NOTIFY, CK_SESSION_HANDLE_PTR out) {
  if (!out) return CKR_ARGUMENTS_BAD;
  NEED_INIT();
  Slot *slot = find_slot(id);
  if (!slot) return CKR_SLOT_ID_INVALID;
  if (!(flags & CKF_SERIAL_SESSION)) return CKR_SESSION_PARALLEL_NOT_SUPPORTED;
  if (slot->token.status != CKR_OK) return slot->token.status;
  if (!slot->token.present) return CKR_TOKEN_NOT_RECOGNIZED;
  const bool rw = flags & CKF_RW_SESSION;
  if (!rw && slot->token.user == CKU_SO) return CKR_SESSION_READ_WRITE_SO_EXISTS;
  auto s = std::make_shared<Session>();
  s->handle = module().next_handle++;
  s->slot = id;
  s->rw = rw;
  module().sessions.push_back(s);
  *out = s->handle;
  return CKR_OK;
}

namespace {
void close_session(std::shared_ptr<Session> s) {
  Module &m = module();
  std::erase(m.sessions, s);
  Token &t = find_slot(s->slot)->token;
  std::erase_if(t.objects, [&](const std::unique_ptr<Object> &o) { return !o->token && o->owner == s->handle; });
  {
    std::lock_guard<std::mutex> g(s->mu);
    s->end_op();
    s->drop_keys();
  }
  // The last session of an application logs it out.
  if (!count_sessions(s->slot, false) && t.user != NO_USER) logout(t);
}
}  // namespace

CK_RV C_CloseSession(CK_SESSION_HANDLE h) {
  NEED_SESSION(h);
  (void)tok;
  close_session(sp_);
  return CKR_OK;
}

CK_RV C_CloseAllSessions(CK_SLOT_ID id) {
  NEED_INIT();
  if (!find_slot(id)) return CKR_SLOT_ID_INVALID;
  std::vector<std::shared_ptr<Session>> of_slot;
  for (auto &s : module().sessions)
    if (s->slot == id) of_slot.push_back(s);
  for (auto &s : of_slot) close_session(s);
  return CKR_OK;
}

CK_RV C_GetSessionInfo(CK_SESSION_HANDLE h, CK_SESSION_INFO_PTR info) {
  if (!info) return CKR_ARGUMENTS_BAD;
  NEED_SESSION(h);
  std::memset(info, 0, sizeof *info);
  info->slotID = s.slot;
  info->flags = CKF_SERIAL_SESSION | (s.rw ? CKF_RW_SESSION : 0);
  if (tok.user == CKU_SO) info->state = CKS_RW_SO_FUNCTIONS;
  else if (tok.user == CKU_USER) info->state = s.rw ? CKS_RW_USER_FUNCTIONS : CKS_RO_USER_FUNCTIONS;
  else info->state = s.rw ? CKS_RW_PUBLIC_SESSION : CKS_RO_PUBLIC_SESSION;
  return CKR_OK;
}

CK_RV C_Login(CK_SESSION_HANDLE h, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin, CK_ULONG pinlen) {
  NEED_SESSION(h);
  if (user == CKU_CONTEXT_SPECIFIC) return CKR_OPERATION_NOT_INITIALIZED;  // no key asks for it
  if (user != CKU_SO && user != CKU_USER) return CKR_USER_TYPE_INVALID;
  if (!pin) return CKR_ARGUMENTS_BAD;
  if (tok.user == user) return CKR_USER_ALREADY_LOGGED_IN;
  if (tok.user != NO_USER) return CKR_USER_ANOTHER_ALREADY_LOGGED_IN;
  if (user == CKU_SO && count_sessions(s.slot, false) != count_sessions(s.slot, true)) return CKR_SESSION_READ_ONLY_EXISTS;
  const CK_RV rv = login(tok, user, pin, pinlen);
  give_handles(tok);
  return rv;
}

CK_RV C_Logout(CK_SESSION_HANDLE h) {
  NEED_SESSION(h);
  if (tok.user == NO_USER) return CKR_USER_NOT_LOGGED_IN;
  drop_slot_keys(s.slot);
  logout(tok);
  return CKR_OK;
}

CK_RV C_InitPIN(CK_SESSION_HANDLE h, CK_UTF8CHAR_PTR pin, CK_ULONG pinlen) {
  if (!pin) return CKR_ARGUMENTS_BAD;
  NEED_SESSION(h);
  if (tok.user != CKU_SO) return CKR_USER_NOT_LOGGED_IN;
  if (!pin_len_ok(pinlen)) return CKR_PIN_LEN_RANGE;
  return set_pin(tok, CKU_USER, pin, pinlen, tok.master);
}

CK_RV C_SetPIN(CK_SESSION_HANDLE h, CK_UTF8CHAR_PTR old_pin, CK_ULONG old_len, CK_UTF8CHAR_PTR new_pin, CK_ULONG new_len) {
  if (!old_pin || !new_pin) return CKR_ARGUMENTS_BAD;
  NEED_SESSION(h);
  if (!s.rw) return CKR_SESSION_READ_ONLY;
  if (!pin_len_ok(new_len)) return CKR_PIN_LEN_RANGE;
  const CK_USER_TYPE who = tok.user == CKU_SO ? CKU_SO : CKU_USER;
  uint8_t master[32];
  CK_RV rv = check_pin(tok, who, old_pin, old_len, master);
  if (rv == CKR_OK) rv = set_pin(tok, who, new_pin, new_len, master);
  wipe(master, sizeof master);
  return rv;
}

CK_RV C_FindObjectsInit(CK_SESSION_HANDLE h, CK_ATTRIBUTE_PTR tmpl, CK_ULONG count) {
  if (!tmpl && count) return CKR_ARGUMENTS_BAD;
  NEED_SESSION(h);
  std::lock_guard<std::mutex> g(s.mu);
  if (s.finding) return CKR_OPERATION_ACTIVE;
  s.found.clear();
  s.found_pos = 0;
  for (auto &o : tok.objects)
    if (may_see(tok, *o) && matches(*o, tmpl, count)) s.found.push_back(o->handle);
  s.finding = true;
  return CKR_OK;
}

CK_RV C_FindObjects(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE_PTR out, CK_ULONG max, CK_ULONG_PTR count) {
  if ((!out && max) || !count) return CKR_ARGUMENTS_BAD;
  NEED_SESSION(h);
  (void)tok;
  std::lock_guard<std::mutex> g(s.mu);
  if (!s.finding) return CKR_OPERATION_NOT_INITIALIZED;
  CK_ULONG n = 0;
  while (n < max && s.found_pos < s.found.size()) out[n++] = s.found[s.found_pos++];
  *count = n;
  return CKR_OK;
}

CK_RV C_FindObjectsFinal(CK_SESSION_HANDLE h) {
  NEED_SESSION(h);
  (void)tok;
  std::lock_guard<std::mutex> g(s.mu);
  if (!s.finding) return CKR_OPERATION_NOT_INITIALIZED;
  s.finding = false;
  s.found.clear();
  return CKR_OK;
}

CK_RV C_GetAttributeValue(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE obj, CK_ATTRIBUTE_PTR tmpl, CK_ULONG count) {
  NEED_SESSION(h);
  (void)tok;
  const Object *o = find_object(s, obj);
  if (!o) return CKR_OBJECT_HANDLE_INVALID;
  return get_attributes(*o, tmpl, count);
}

CK_RV C_GetObjectSize(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE obj, CK_ULONG_PTR size) {
  if (!size) return CKR_ARGUMENTS_BAD;
  NEED_SESSION(h);
  (void)tok;
  const Object *o = find_object(s, obj);
  if (!o) return CKR_OBJECT_HANDLE_INVALID;
  *size = o->cls == CKO_PRIVATE_KEY ? TAVIK_SK_BYTES : TAVIK_PK_BYTES;
  return CKR_OK;
}

CK_RV C_SetAttributeValue(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE obj, CK_ATTRIBUTE_PTR tmpl, CK_ULONG count) {
  if (!tmpl && count) return CKR_ARGUMENTS_BAD;
  NEED_SESSION(h);
  Object *o = find_object(s, obj);
  if (!o) return CKR_OBJECT_HANDLE_INVALID;
  if (o->token && !s.rw) return CKR_SESSION_READ_ONLY;
  const bool sign = o->sign, verify = o->verify, sens = o->sensitive, extr = o->extractable;
  const std::string label = o->label;
  const std::vector<uint8_t> id = o->id;
  CK_RV rv = set_attributes(*o, tmpl, count);
  if (rv == CKR_OK && o->token) {
    rv = write_object(tok, *o);
    if (rv != CKR_OK) {
      o->sign = sign, o->verify = verify, o->sensitive = sens, o->extractable = extr;
      o->label = label;
      o->id = id;
    }
  }
  return rv;
}

CK_RV C_DestroyObject(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE obj) {
  NEED_SESSION(h);
  Object *o = find_object(s, obj);
  if (!o) return CKR_OBJECT_HANDLE_INVALID;
  if (o->token && !s.rw) return CKR_SESSION_READ_ONLY;
  if (o->token) {
    const CK_RV rv = remove_object(tok, *o);
    if (rv != CKR_OK) return rv;
  }
  // The sessions' prepared copies of the key go with it.
  for (auto &other : module().sessions) {
    if (other->slot != s.slot) continue;
    std::lock_guard<std::mutex> g(other->mu);
    if (other->xsk_key == obj || other->xpk_key == obj) other->drop_keys();
  }
  std::erase_if(tok.objects, [obj](const std::unique_ptr<Object> &x) { return x->handle == obj; });
  return CKR_OK;
}

}  // extern "C"
