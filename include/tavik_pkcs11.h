/* tavik-c: the key type, mechanisms and limits of the software token module libtavik-pkcs11.so.

   These values are this project's own, in the vendor-defined ranges of the PKCS#11 key types
   (CKK_VENDOR_DEFINED, 0x80000000) and mechanisms (CKM_VENDOR_DEFINED, 0x80000000); no other
   module gives them a meaning. The header needs no PKCS#11 header of its own: the values are plain
   unsigned longs, as CK_KEY_TYPE and CK_MECHANISM_TYPE are.

   Key type TAVIK_CKK_KEY: a public key's CKA_VALUE is the TAVIK_PK_BYTES public key, its
   CKA_PUBLIC_KEY_INFO the DER SubjectPublicKeyInfo of tavik_der.h (a private key gives the same
   CKA_PUBLIC_KEY_INFO); a private key's CKA_VALUE is the TAVIK_SK_BYTES secret key, readable only
   when CKA_SENSITIVE is false (it is true unless the template says otherwise).

   TAVIK_CKM_KEY_PAIR_GEN: C_GenerateKeyPair. No parameter: a fresh seed from the random source;
   a parameter of TAVIK_SEED_BYTES: the key pair sig_keygen_from_seed makes from it.

   TAVIK_CKM_SIGN: C_Sign / C_SignUpdate + C_SignFinal and C_Verify / C_VerifyUpdate +
   C_VerifyFinal of messages of any length; the signature is TAVIK_SIG_BYTES. The parameter is
   optional and a flat byte string: one flags byte (TAVIK_CKP_DETERMINISTIC or 0), then the
   context, 0 to 255 bytes (tavik_sign_ctx). No parameter: hedged, no context.

   TAVIK_CKM_SIGN_MU: the data is the TAVIK_MU_BYTES µ of tavik_mu_final (made from the public
   key, with the context if any), signed as tavik_sign_mu; verifying takes µ as data too. The
   parameter is optional: the flags byte alone (a context belongs in µ).

   PINs: 4 to 255 bytes. After TAVIK_PKCS11_MAX_PIN_TRIES wrong PINs in a row a PIN is locked
   (CKR_PIN_LOCKED), however many processes tried; a correct PIN resets the count. The security
   officer unlocks the user PIN by setting a new one (C_InitPIN); a locked security officer PIN
   locks C_InitToken for good (the token's directory must be removed by hand). */
#ifndef TAVIK_PKCS11_H
#define TAVIK_PKCS11_H

#define TAVIK_CKK_KEY 0x80544b01UL
#define TAVIK_CKM_KEY_PAIR_GEN 0x80544d01UL
#define TAVIK_CKM_SIGN 0x80544d02UL
#define TAVIK_CKM_SIGN_MU 0x80544d03UL

/* Bits of the flags byte of a signing mechanism's parameter; others are refused
   (CKR_MECHANISM_PARAM_INVALID). */
#define TAVIK_CKP_DETERMINISTIC 0x01u

#define TAVIK_PKCS11_MIN_PIN_BYTES 4
#define TAVIK_PKCS11_MAX_PIN_BYTES 255
#define TAVIK_PKCS11_MAX_PIN_TRIES 5

#endif
