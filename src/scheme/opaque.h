// Expanded keys and streaming states in the caller's opaque storage: what the expanded keys' and
// the streams' files share. Private to the library.
#pragma once
#include <cstddef>
#include <cstdint>
#include <new>

#include "ct.h"
#include "fips202.h"
#include "key_check.h"
#include "path.h"
#include "scheme.h"
#include "signature.h"
#include "tavik.h"
#include "wipe.h"

namespace tavik::scheme {

// Expanded keys and streaming states, built in the caller's opaque storage. The tag tells a live
// one from a wiped (finished) or never-initialised one.
constexpr uint64_t SIGN_TAG = 0x7461766b5369676eULL;
constexpr uint64_t VERIFY_TAG = 0x7461766b56657266ULL;
constexpr uint64_t EXPANDED_SK_TAG = 0x7461766b58534b31ULL;
constexpr uint64_t EXPANDED_PK_TAG = 0x7461766b58504b31ULL;

// An expanded key and its keyed check value (key_check.h), made when it was expanded.
template <typename Key>
struct alignas(64) Expanded {
  Key key;
  KeyCheckValue check;
  uint64_t tag;

  static_assert(sizeof(Key) % 8 == 0 && sizeof(Key) <= KEY_CHECK_MAX_BYTES);
  void seal() { check = key_check_of(&key, sizeof key, active_backend()); }
  // True when the key is as it was expanded in this process.
  bool intact() const { return key_check_matches(&key, sizeof key, check, active_backend()); }
};
using ExpandedSk = Expanded<SignKey>;
using ExpandedPk = Expanded<VerifyKey>;
static_assert(sizeof(SignKey) == sizeof(SignKey::A) + sizeof(SignKey::s1_pairs) + sizeof(SignKey::t0) +
                                     sizeof(SignKey::s2_t0x) + sizeof(SignKey::key) + sizeof(SignKey::tr) &&
                  sizeof(VerifyKey) == sizeof(VerifyKey::A) + sizeof(VerifyKey::t1) + sizeof(VerifyKey::tr),
              "no padding: every byte of a key is covered and meaningful");


template <typename Inner, typename Opaque>
constexpr bool fits = sizeof(Inner) <= sizeof(Opaque) && alignof(Inner) <= alignof(Opaque);
static_assert(fits<ExpandedSk, tavik_expanded_sk> && fits<ExpandedPk, tavik_expanded_pk>);

// The object of type T inside the opaque storage p when it is live, else null.
template <typename T, uint64_t Tag, typename Opaque>
T *live(Opaque *p) {
  if (p == nullptr) return nullptr;
  T *s = std::launder(reinterpret_cast<T *>(p));
  return ct::declassify(s->tag) == Tag ? s : nullptr;  // the tag is public in a secret struct
}

// The streaming state in p when it is live and its sponge position lies within a block (a state
// whose position was overwritten would make the next absorb write outside it), else null.
template <typename T, uint64_t Tag, typename Opaque>
T *live_stream(Opaque *p) {
  T *s = live<T, Tag>(p);
  return s != nullptr && s->h.pos < SHAKE256_RATE ? s : nullptr;
}

// True when n bytes at p share a byte with the state at st.
template <typename Opaque>
bool in_state(const void *p, uint64_t n, const Opaque *st) {
  const uintptr_t a = reinterpret_cast<uintptr_t>(p), b = reinterpret_cast<uintptr_t>(st);
  return n != 0 && (a >= b ? a - b < sizeof *st : b - a < n);
}

// Starts T in the opaque storage p, whose bytes from `from` on are zeroed first.
template <typename T, uint64_t Tag, typename Opaque>
T *start(Opaque *p, size_t from = 0) {
  secure_wipe(reinterpret_cast<uint8_t *>(p) + from, sizeof *p - from);
  T *s = new (p) T;
  s->tag = Tag;
  return s;
}

// Starts a streaming state in st: the expanded key or null, and the digest absorbing tr.
template <typename Stream, uint64_t Tag, typename Opaque, typename Expanded>
Stream *start_stream(Opaque *st, const Expanded *expanded, const uint8_t *tr) {
  Stream *s = start<Stream, Tag>(st);
  s->expanded = expanded;
  shake256_stream_init(s->h);
  shake256_stream_absorb(s->h, tr, CRH_BYTES);
  return s;
}

// The expanded key in p (its opaque storage, or a pointer kept in a streaming state) when it is
// live and unchanged since it was expanded in this process, else null.
template <typename X, uint64_t Tag, typename Opaque>
const X *intact(const Opaque *p) {
  const X *x = live<const X, Tag>(p);
  return x != nullptr && x->intact() ? x : nullptr;
}
template <typename Opaque>
const ExpandedSk *intact_expanded(const Opaque *p) { return intact<ExpandedSk, EXPANDED_SK_TAG>(p); }
template <typename Opaque>
const ExpandedPk *intact_expanded_pk(const Opaque *p) { return intact<ExpandedPk, EXPANDED_PK_TAG>(p); }

}  // namespace tavik::scheme
