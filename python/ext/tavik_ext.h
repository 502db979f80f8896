/* What the extension's two files share: tavik_module.c (keys, signing, verification, streams)
   and tavik_context.c (contexts and the message digest mu). Nothing here leaves the module: the
   extension is compiled with hidden visibility, its entry point alone exported. */
#ifndef TAVIK_EXT_H
#define TAVIK_EXT_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stdint.h>

#include "tavik.h"

/* A bytes-like argument as the C calls read it: in place for a bytes object, else a copy. */
typedef struct {
  const uint8_t *data;
  Py_ssize_t len;
  uint8_t *copy;  /* PyMem_Malloc'd, or NULL */
  int secret;     /* the copy is wiped before it is freed */
} Input;

typedef struct {
  PyObject_HEAD
  int closed;         /* close() was called: no new use */
  Py_ssize_t users;   /* running calls that read key; the last one wipes a closed key */
  uint8_t key[TAVIK_SK_BYTES];
} SecretKeyObject;

typedef struct {
  PyObject_HEAD
  void *mem;            /* the expanded key, or NULL once freed */
  Py_ssize_t users;     /* running calls and streaming objects that read mem */
  int closing;          /* close() was called while in use: free when the last user is done */
} ExpandedObject;

/* Signer, Verifier and MuHasher: a state fed in pieces. */
typedef struct {
  PyObject_HEAD
  void *st;               /* the state, or NULL once finished or closed */
  ExpandedObject *xkey;   /* the expanded key the state reads, held until the end */
  int busy;               /* a call on this object runs with the interpreter lock released */
} StreamObject;

extern PyTypeObject SecretKeyType, ExpandedSecretKeyType, ExpandedPublicKeyType, SignerType, VerifierType, MuHasherType;

/* tavik_module.c */
void wipe(void *p, size_t n);
/* A new SecretKey of zero bytes, which the caller fills; NULL with an exception set. */
SecretKeyObject *secret_key_new_empty(void);
/* The SecretKey obj held for one call (secret_key_release ends it), or NULL with an exception set. */
SecretKeyObject *claim_secret_key(PyObject *obj, const char *name);
void secret_key_release(SecretKeyObject *self);
int input_get(PyObject *obj, const char *name, Py_ssize_t expected, int secret, Input *in);
void input_release(Input *in);
PyObject *raise_code(int32_t r, const char *what);
void *alloc_aligned(size_t size);
void free_wiped(void *p, size_t size);
int claim_signing_key(PyObject *obj, const char *what, SecretKeyObject **sk, ExpandedObject **xsk);
void release_signing_key(SecretKeyObject *sk, ExpandedObject *xsk);
int expanded_acquire(ExpandedObject *self);
void expanded_release(ExpandedObject *self);
PyObject *SecretKey_enter(PyObject *self, PyObject *ignored);
PyObject *SecretKey_reduce(PyObject *self, PyObject *ignored);
int stream_claim(StreamObject *self);
void stream_end(StreamObject *self);
PyObject *Stream_update(StreamObject *self, PyObject *data);
PyObject *Stream_close(StreamObject *self, PyObject *ignored);
PyObject *Stream_exit(StreamObject *self, PyObject *args);
void Stream_dealloc(StreamObject *self);
PyObject *Stream_repr(StreamObject *self);

/* tavik_context.c */
/* The context argument obj (NULL or None: no context) as in, refused with ValueError beyond
   TAVIK_MAX_CONTEXT_BYTES. Returns 0, or -1 with an exception set. */
int context_get(PyObject *obj, Input *in);
/* Adds MuHasher, mu, sign_mu and verify_mu to the module m: 0, or -1 with an exception set. */
int add_context_calls(PyObject *m);

/* tavik_files.c */
/* Adds the key containers (PEM, DER) and the tool's files to the module m: 0, or -1 with an
   exception set. */
int add_file_calls(PyObject *m);

#endif
