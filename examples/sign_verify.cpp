// The same as sign_verify.c through the C++ interface.
#include <cstdio>
#include <tavik.hpp>

int main() {
  const tavik::KeyPair kp = tavik::generate_keypair();  // the secret key wipes itself
  const auto msg = tavik::as_bytes("attack at dawn");

  const tavik::Result<tavik::Signature> sig = tavik::sign(kp.secret_key, msg);
  if (!sig) return 1;
  if (tavik::verify(kp.public_key, msg, *sig) != tavik::Status::ok) return 1;

  tavik::Signature tampered = *sig;
  tampered[100] ^= 0x01;
  if (tavik::verify(kp.public_key, msg, tampered) != tavik::Status::invalid_signature) return 1;

  std::printf("tavik %s (C++): signed, verified, tampered signature refused\n", tavik_version());
  return 0;
}
