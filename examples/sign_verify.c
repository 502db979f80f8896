/* Makes a key pair, signs a message, verifies it, and checks that a changed signature is refused. */
#include <stdio.h>
#include <string.h>
#include <tavik.h>

int main(void) {
  static uint8_t pk[TAVIK_PK_BYTES], sk[TAVIK_SK_BYTES], sig[TAVIK_SIG_BYTES];
  const char *text = "attack at dawn";
  const uint8_t *msg = (const uint8_t *)text;
  uint64_t msglen = strlen(text), siglen = 0;

  if (sig_keygen(pk, sk) != TAVIK_OK) return 1;
  if (sig_sign(sk, msg, msglen, sig, &siglen) != TAVIK_OK) return 1;
  if (sig_verf(pk, sig, siglen, msg, msglen) != TAVIK_OK) return 1;

  sig[100] ^= 0x01; /* one changed bit must be refused */
  if (sig_verf(pk, sig, siglen, msg, msglen) != TAVIK_INVALID_SIGNATURE) return 1;

  memset(sk, 0, sizeof sk); /* the secret key is the caller's to wipe */
  printf("tavik %s: signed, verified, tampered signature refused\n", tavik_version());
  return 0;
}
