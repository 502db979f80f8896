// tavik-c: C++20 interface, header-only over the C calls of tavik.h.
//
//   tavik::KeyPair kp = tavik::generate_keypair();
//   tavik::Result<tavik::Signature> sig = tavik::sign(kp.secret_key, tavik::as_bytes("hello"));
//   if (sig && tavik::verify(kp.public_key, tavik::as_bytes("hello"), *sig) == tavik::Status::ok) ...
//
// Signing is hedged unless asked otherwise: fresh random bytes go into every signature, so that a
// fault in the key or the computation cannot give the key away. Mode::deterministic gives the
// reproducible signatures of known-answer tests.
// Long messages can be given in pieces through tavik::Signer and tavik::Verifier: the object is the
// C call's _init, update() its _update and finalize() its _final (finish(), the name of 0.1.0 and
// 0.2.0, stays as a deprecated alias).
// A tavik::Context binds a signature to one protocol; tavik::mu and tavik::sign_mu split hashing
// the message from signing it (external mu).
// Nothing here throws or allocates. Keys and signatures are fixed-size arrays; a secret key is
// move-only and wipes itself when destroyed or moved from.
#ifndef TAVIK_HPP
#define TAVIK_HPP

#if __cplusplus < 202002L
#error "tavik.hpp needs C++20 (std::span); C++ programs of older standards can use tavik.h"
#endif

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>

#include "tavik.h"

namespace tavik {

using PublicKey = std::array<std::uint8_t, TAVIK_PK_BYTES>;
using Signature = std::array<std::uint8_t, TAVIK_SIG_BYTES>;
using Seed = std::array<std::uint8_t, TAVIK_SEED_BYTES>;

// Outcome of a call, the C codes as a type.
enum class Status : std::int32_t {
  ok = TAVIK_OK,
  invalid_signature = TAVIK_INVALID_SIGNATURE,  // verify only
  illegal_parameter = TAVIK_ILLEGAL_PARAMETER,  // e.g. a message or signature of the wrong length
  signing_failed = TAVIK_SIGNING_FAILED,        // attempt bound reached: a damaged key
  no_randomness = TAVIK_NO_RANDOMNESS,          // no random source answered in time
};

// How a signature's masks are seeded.
enum class Mode {
  hedged,         // from the key, the message and fresh random bytes: the default
  deterministic,  // from the key and the message alone: the same signature every time
};

// A value or the reason there is none. Without a value, value() is all zero.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(const T &value) : status_(Status::ok), value_(value) {}
  Result(Status status) : status_(status), value_{} {}

  bool ok() const { return status_ == Status::ok; }
  explicit operator bool() const { return ok(); }
  Status status() const { return status_; }
  const T &value() const { return value_; }
  const T &operator*() const { return value_; }
  const T *operator->() const { return &value_; }

 private:
  Status status_;
  T value_;
};

// The bytes of a text, for messages.
inline std::span<const std::uint8_t> as_bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t *>(text.data()), text.size()};
}

struct KeyPair;
KeyPair generate_keypair();
KeyPair keypair_from_seed(std::span<const std::uint8_t, TAVIK_SEED_BYTES> seed);

// A secret key: movable, never copied implicitly, wiped when destroyed and when moved from.
class SecretKey {
 public:
  static constexpr std::size_t size = TAVIK_SK_BYTES;

  // Takes a copy of stored key bytes; the caller wipes its own copy.
  explicit SecretKey(std::span<const std::uint8_t, size> bytes) {
    for (std::size_t i = 0; i < size; ++i) bytes_[i] = bytes[i];
  }
  SecretKey(const SecretKey &) = delete;
  SecretKey &operator=(const SecretKey &) = delete;
  SecretKey(SecretKey &&other) noexcept : bytes_(other.bytes_) { other.wipe(); }
  SecretKey &operator=(SecretKey &&other) noexcept {
    if (this != &other) {
      bytes_ = other.bytes_;
      other.wipe();
    }
    return *this;
  }
  ~SecretKey() { wipe(); }

  // The key's bytes, for storing it.
  std::span<const std::uint8_t, size> bytes() const { return bytes_; }
  const std::uint8_t *data() const { return bytes_.data(); }

 private:
  friend struct KeyPair;
  friend KeyPair generate_keypair();
  friend KeyPair keypair_from_seed(std::span<const std::uint8_t, TAVIK_SEED_BYTES>);
  SecretKey() = default;

  // Zeroes the bytes through volatile stores, which the compiler may not drop.
  void wipe() {
    volatile std::uint8_t *p = bytes_.data();
    for (std::size_t i = 0; i < size; ++i) p[i] = 0;
  }

  std::array<std::uint8_t, size> bytes_{};
};

// Made only by generate_keypair and keypair_from_seed.
struct KeyPair {
  PublicKey public_key{};
  SecretKey secret_key;
  // Status::no_randomness when generate_keypair found no random source; both keys are then zero.
  Status status = Status::ok;
  bool ok() const { return status == Status::ok; }

 private:
  friend KeyPair generate_keypair();
  friend KeyPair keypair_from_seed(std::span<const std::uint8_t, TAVIK_SEED_BYTES>);
  KeyPair() = default;
};

// A fresh key pair from the operating system's random source; check ok().
inline KeyPair generate_keypair() {
  KeyPair kp;
  kp.status = Status(sig_keygen(kp.public_key.data(), kp.secret_key.bytes_.data()));
  return kp;
}

// The key pair generate_keypair makes when the random source yields these 32 bytes.
inline KeyPair keypair_from_seed(std::span<const std::uint8_t, TAVIK_SEED_BYTES> seed) {
  KeyPair kp;
  (void)sig_keygen_from_seed(kp.public_key.data(), kp.secret_key.bytes_.data(), seed.data());
  return kp;
}

// Signature of a message of any length (empty too), hedged unless mode says otherwise; the
// deterministic one is, for the messages sig_sign accepts, the signature sig_sign makes.
inline Result<Signature> sign(const SecretKey &sk, std::span<const std::uint8_t> msg, Mode mode = Mode::hedged) {
  Signature sig{};
  const std::int32_t r = mode == Mode::hedged ? tavik_sign_hedged(sk.data(), msg.data(), msg.size(), sig.data())
                                              : tavik_sign(sk.data(), msg.data(), msg.size(), sig.data());
  if (r != TAVIK_OK) return Status(r);
  return sig;
}

// Status::ok when sig is a valid signature of msg under pk, Status::invalid_signature when not,
// Status::illegal_parameter when sig is not TAVIK_SIG_BYTES long.
[[nodiscard]] inline Status verify(std::span<const std::uint8_t, TAVIK_PK_BYTES> pk,
                                   std::span<const std::uint8_t> msg,
                                   std::span<const std::uint8_t> sig) {
  return Status(tavik_verify(pk.data(), sig.data(), sig.size(), msg.data(), msg.size()));
}

// The context a signature is bound to besides the key and the message: 0 to
// TAVIK_MAX_CONTEXT_BYTES bytes (a longer one makes every call return Status::illegal_parameter).
// The empty context is no context. The bytes are read during the call only.
//   tavik::sign(sk, msg, tavik::Context(tavik::as_bytes("example.org/ticket v1")))
struct Context {
  std::span<const std::uint8_t> bytes{};
  Context() = default;
  explicit Context(std::span<const std::uint8_t> b) : bytes(b) {}
};

// The digest a signature signs (external mu): computed from the public key alone, so that the
// message can be hashed where it lies and only these bytes go to the signer.
using Mu = std::array<std::uint8_t, TAVIK_MU_BYTES>;

// sign() under a context.
inline Result<Signature> sign(const SecretKey &sk, std::span<const std::uint8_t> msg, Context ctx,
                              Mode mode = Mode::hedged) {
  Signature sig{};
  const auto call = mode == Mode::hedged ? tavik_sign_ctx_hedged : tavik_sign_ctx;
  const std::int32_t r = call(sk.data(), ctx.bytes.data(), ctx.bytes.size(), msg.data(), msg.size(), sig.data());
  if (r != TAVIK_OK) return Status(r);
  return sig;
}

// verify() under a context: Status::ok only for a signature made under the same context.
[[nodiscard]] inline Status verify(std::span<const std::uint8_t, TAVIK_PK_BYTES> pk, std::span<const std::uint8_t> msg,
                                   std::span<const std::uint8_t> sig, Context ctx) {
  return Status(tavik_verify_ctx(pk.data(), ctx.bytes.data(), ctx.bytes.size(), sig.data(), sig.size(), msg.data(),
                                 msg.size()));
}

// The mu of a message under pk and a context, given in pieces. Neither copied nor moved.
class MuHasher {
 public:
  explicit MuHasher(std::span<const std::uint8_t, TAVIK_PK_BYTES> pk, Context ctx = {})
      : status_(Status(tavik_mu_init(&state_, pk.data(), ctx.bytes.data(), ctx.bytes.size()))) {}
  MuHasher(const MuHasher &) = delete;
  MuHasher &operator=(const MuHasher &) = delete;
  ~MuHasher() { tavik_mu_state_wipe(&state_); }

  // Status::illegal_parameter for a context that was refused, or once finished.
  Status update(std::span<const std::uint8_t> piece) {
    return Status(tavik_mu_update(&state_, piece.data(), piece.size()));
  }
  Result<Mu> finalize() {
    Mu mu{};
    const std::int32_t r = tavik_mu_final(&state_, mu.data());
    if (r != TAVIK_OK) return Status(r);
    return mu;
  }
  // Status::ok, or Status::illegal_parameter when the context was refused.
  Status status() const { return status_; }

 private:
  tavik_mu_state state_{};
  Status status_;
};

// The mu of a whole message.
inline Result<Mu> mu(std::span<const std::uint8_t, TAVIK_PK_BYTES> pk, std::span<const std::uint8_t> msg,
                     Context ctx = {}) {
  MuHasher h(pk, ctx);
  if (const Status s = h.update(msg); s != Status::ok) return s;
  return h.finalize();
}

// The signature of the message whose mu this is: the bytes sign() makes of the message (in the
// deterministic mode, and in the hedged one for the same random bytes).
inline Result<Signature> sign_mu(const SecretKey &sk, const Mu &mu, Mode mode = Mode::hedged) {
  Signature sig{};
  const std::int32_t r = mode == Mode::hedged ? tavik_sign_mu_hedged(sk.data(), mu.data(), sig.data())
                                              : tavik_sign_mu(sk.data(), mu.data(), sig.data());
  if (r != TAVIK_OK) return Status(r);
  return sig;
}

// The verdict verify() gives the message whose mu this is.
[[nodiscard]] inline Status verify_mu(std::span<const std::uint8_t, TAVIK_PK_BYTES> pk, const Mu &mu,
                                      std::span<const std::uint8_t> sig) {
  return Status(tavik_verify_mu(pk.data(), sig.data(), sig.size(), mu.data()));
}

// Signs a message given in pieces, as sign() does the pieces joined. Holds a copy of the secret
// key until finalize(), and wipes it then or when destroyed. Neither copied nor moved.
class Signer {
 public:
  explicit Signer(const SecretKey &sk, Mode mode = Mode::hedged) {
    (void)(mode == Mode::hedged ? tavik_sign_init_hedged(&state_, sk.data()) : tavik_sign_init(&state_, sk.data()));
  }
  // Under a context; a context refused makes every call return Status::illegal_parameter.
  Signer(const SecretKey &sk, Context ctx, Mode mode = Mode::hedged) {
    const auto init = mode == Mode::hedged ? tavik_sign_init_ctx_hedged : tavik_sign_init_ctx;
    (void)init(&state_, sk.data(), ctx.bytes.data(), ctx.bytes.size());
  }
  Signer(const Signer &) = delete;
  Signer &operator=(const Signer &) = delete;
  ~Signer() { tavik_sign_state_wipe(&state_); }

  // Status::illegal_parameter once finished.
  Status update(std::span<const std::uint8_t> piece) {
    return Status(tavik_sign_update(&state_, piece.data(), piece.size()));
  }
  // The signature; Status::illegal_parameter when called a second time.
  Result<Signature> finalize() {
    Signature sig{};
    const std::int32_t r = tavik_sign_final(&state_, sig.data());
    if (r != TAVIK_OK) return Status(r);
    return sig;
  }
  [[deprecated("finish() is finalize()")]] Result<Signature> finish() { return finalize(); }

 private:
  tavik_sign_state state_{};
};

// Verifies a message given in pieces, as verify() does the pieces joined. Neither copied nor moved.
class Verifier {
 public:
  explicit Verifier(std::span<const std::uint8_t, TAVIK_PK_BYTES> pk) { (void)tavik_verify_init(&state_, pk.data()); }
  // Under a context; a context refused makes every call return Status::illegal_parameter.
  Verifier(std::span<const std::uint8_t, TAVIK_PK_BYTES> pk, Context ctx) {
    (void)tavik_verify_init_ctx(&state_, pk.data(), ctx.bytes.data(), ctx.bytes.size());
  }
  Verifier(const Verifier &) = delete;
  Verifier &operator=(const Verifier &) = delete;

  // Status::illegal_parameter once finished.
  Status update(std::span<const std::uint8_t> piece) {
    return Status(tavik_verify_update(&state_, piece.data(), piece.size()));
  }
  // The verdict over every piece given; Status::illegal_parameter for a signature of the wrong
  // length (the verifier stays usable then) or when called after a verdict.
  [[nodiscard]] Status finalize(std::span<const std::uint8_t> sig) {
    return Status(tavik_verify_final(&state_, sig.data(), sig.size()));
  }
  [[deprecated("finish(sig) is finalize(sig)")]] [[nodiscard]] Status finish(std::span<const std::uint8_t> sig) {
    return finalize(sig);
  }

 private:
  tavik_verify_state state_{};
};

// A secret key expanded once (tavik_expand_sk) to sign many messages at a fraction of the cost;
// the same signatures as sign(). TAVIK_EXPANDED_SK_BYTES large, so best kept static or on the
// heap. Neither copied nor moved; wiped when destroyed. A damaged secret key is refused: status()
// is then Status::illegal_parameter (Status::no_randomness when the process's check key for
// expanded keys could not be drawn), and every sign() returns Status::illegal_parameter.
class ExpandedSecretKey {
 public:
  explicit ExpandedSecretKey(const SecretKey &sk) : status_(Status(tavik_expand_sk(&key_, sk.data()))) {}
  ExpandedSecretKey(const ExpandedSecretKey &) = delete;
  ExpandedSecretKey &operator=(const ExpandedSecretKey &) = delete;
  ~ExpandedSecretKey() { tavik_expanded_sk_wipe(&key_); }

  Status status() const { return status_; }
  Result<Signature> sign(std::span<const std::uint8_t> msg, Mode mode = Mode::hedged) const {
    Signature sig{};
    const std::int32_t r = mode == Mode::hedged ? tavik_sign_expanded_hedged(&key_, msg.data(), msg.size(), sig.data())
                                                : tavik_sign_expanded(&key_, msg.data(), msg.size(), sig.data());
    if (r != TAVIK_OK) return Status(r);
    return sig;
  }
  Result<Signature> sign(std::span<const std::uint8_t> msg, Context ctx, Mode mode = Mode::hedged) const {
    Signature sig{};
    const auto call = mode == Mode::hedged ? tavik_sign_expanded_ctx_hedged : tavik_sign_expanded_ctx;
    const std::int32_t r = call(&key_, ctx.bytes.data(), ctx.bytes.size(), msg.data(), msg.size(), sig.data());
    if (r != TAVIK_OK) return Status(r);
    return sig;
  }
  Result<Signature> sign_mu(const Mu &mu, Mode mode = Mode::hedged) const {
    Signature sig{};
    const std::int32_t r = mode == Mode::hedged ? tavik_sign_expanded_mu_hedged(&key_, mu.data(), sig.data())
                                                : tavik_sign_expanded_mu(&key_, mu.data(), sig.data());
    if (r != TAVIK_OK) return Status(r);
    return sig;
  }
  // For the C calls, e.g. tavik_sign_init_expanded.
  const tavik_expanded_sk *get() const { return &key_; }

 private:
  Status status_;
  tavik_expanded_sk key_;
};

// A public key expanded once (tavik_expand_pk) to verify many signatures; the verdicts of
// verify(). Neither copied nor moved. status() is Status::no_randomness when the process's check
// key for expanded keys could not be drawn; every verify() then returns Status::illegal_parameter.
class ExpandedPublicKey {
 public:
  explicit ExpandedPublicKey(std::span<const std::uint8_t, TAVIK_PK_BYTES> pk)
      : status_(Status(tavik_expand_pk(&key_, pk.data()))) {}
  Status status() const { return status_; }
  ExpandedPublicKey(const ExpandedPublicKey &) = delete;
  ExpandedPublicKey &operator=(const ExpandedPublicKey &) = delete;

  [[nodiscard]] Status verify(std::span<const std::uint8_t> msg, std::span<const std::uint8_t> sig) const {
    return Status(tavik_verify_expanded(&key_, sig.data(), sig.size(), msg.data(), msg.size()));
  }
  [[nodiscard]] Status verify(std::span<const std::uint8_t> msg, std::span<const std::uint8_t> sig, Context ctx) const {
    return Status(tavik_verify_expanded_ctx(&key_, ctx.bytes.data(), ctx.bytes.size(), sig.data(), sig.size(),
                                            msg.data(), msg.size()));
  }
  [[nodiscard]] Status verify_mu(const Mu &mu, std::span<const std::uint8_t> sig) const {
    return Status(tavik_verify_expanded_mu(&key_, sig.data(), sig.size(), mu.data()));
  }
  const tavik_expanded_pk *get() const { return &key_; }

 private:
  tavik_expanded_pk key_{};  // zero (never expanded) when the expansion wrote nothing
  Status status_;
};

}  // namespace tavik

#endif
