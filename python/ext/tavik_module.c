/* tavik._tavik: the Python extension over the C interface of tavik.h.

   Every call that signs, verifies or makes keys runs with the interpreter lock released. Before
   the lock is let go, each input the call reads is either a bytes object (immutable, kept alive
   by the caller's reference) or a private copy: a bytearray or memoryview that another thread
   may change or resize is copied first. Copies of secrets are wiped.

   Streaming states and expanded keys live in memory this module allocates (64-byte aligned) and
   wipes before freeing it. A secret key or expanded key in use by a running call or a streaming
   object is wiped only when the last user is done; close() meanwhile only marks it closed. */
#include "tavik_ext.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

/* Streaming updates shorter than this run with the lock held: the hashing costs less than
   handing the lock over, and nothing can change the input meanwhile. */
#define UNLOCKED_UPDATE_MIN 4096
/* Mutable buffers given to a streaming update are copied in pieces of this size. */
#define COPY_CHUNK 65536

static PyObject *Error, *SigningError, *RandomnessError;

void wipe(void *p, size_t n) { explicit_bzero(p, n); }

/* ---- Inputs ---- */

static int type_error_bytes(const char *name, PyObject *obj) {
  PyErr_Format(PyExc_TypeError, "%s must be a bytes-like object (bytes, bytearray, memoryview), not %.100s",
               name, Py_TYPE(obj)->tp_name);
  return -1;
}

static int length_error(const char *name, Py_ssize_t expected, Py_ssize_t got) {
  PyErr_Format(PyExc_ValueError, "%s must be %zd bytes, not %zd", name, expected, got);
  return -1;
}

/* Reads obj into in; expected < 0 accepts any length. Returns 0, or -1 with an exception set. */
int input_get(PyObject *obj, const char *name, Py_ssize_t expected, int secret, Input *in) {
  memset(in, 0, sizeof *in);
  in->secret = secret;
  if (PyBytes_CheckExact(obj)) {
    in->data = (const uint8_t *)PyBytes_AS_STRING(obj);
    in->len = PyBytes_GET_SIZE(obj);
    if (expected >= 0 && in->len != expected) return length_error(name, expected, in->len);
    return 0;
  }
  if (PyUnicode_Check(obj) || !PyObject_CheckBuffer(obj)) return type_error_bytes(name, obj);
  Py_buffer view;
  if (PyObject_GetBuffer(obj, &view, PyBUF_SIMPLE) < 0) return -1;
  if (expected >= 0 && view.len != expected) {
    PyBuffer_Release(&view);
    return length_error(name, expected, in->len = view.len);
  }
  in->len = view.len;
  in->copy = PyMem_Malloc(view.len > 0 ? (size_t)view.len : 1);
  if (!in->copy) {
    PyBuffer_Release(&view);
    PyErr_NoMemory();
    return -1;
  }
  if (view.len > 0) memcpy(in->copy, view.buf, (size_t)view.len);
  PyBuffer_Release(&view);
  in->data = in->copy;
  return 0;
}

void input_release(Input *in) {
  if (in->copy) {
    if (in->secret) wipe(in->copy, (size_t)in->len);
    PyMem_Free(in->copy);
  }
  in->copy = NULL;
}

/* ---- Results ---- */

/* Raises the exception for a code the library returned; `what` names the call. Returns NULL. */
PyObject *raise_code(int32_t r, const char *what) {
  switch (r) {
    case TAVIK_ILLEGAL_PARAMETER:
      PyErr_Format(PyExc_ValueError, "%s: the library refused the arguments (code -2)", what);
      break;
    case TAVIK_SIGNING_FAILED:
      PyErr_Format(SigningError, "%s: signing gave up at its attempt bound (a damaged secret key)", what);
      break;
    case TAVIK_NO_RANDOMNESS:
      PyErr_Format(RandomnessError, "%s: the operating system's random source failed", what);
      break;
    default:
      PyErr_Format(Error, "%s: unexpected result code %d", what, (int)r);
  }
  return NULL;
}

/* Storage for states and expanded keys: 64-byte aligned, zeroed. */
void *alloc_aligned(size_t size) {
  void *p = aligned_alloc(64, size);
  if (!p) {
    PyErr_NoMemory();
    return NULL;
  }
  memset(p, 0, size);
  return p;
}

void free_wiped(void *p, size_t size) {
  if (p) {
    wipe(p, size);
    free(p);
  }
}

/* ---- SecretKey ---- */

PyTypeObject SecretKeyType;

SecretKeyObject *secret_key_new_empty(void) {
  SecretKeyObject *self = PyObject_New(SecretKeyObject, &SecretKeyType);
  if (self) {
    self->closed = 0;
    self->users = 0;
    memset(self->key, 0, sizeof self->key);
  }
  return self;
}

static PyObject *SecretKey_new(PyTypeObject *type, PyObject *args, PyObject *kwds) {
  static char *kwlist[] = {"data", NULL};
  PyObject *data;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:SecretKey", kwlist, &data)) return NULL;
  if (PyUnicode_Check(data) || !PyObject_CheckBuffer(data)) return type_error_bytes("data", data), NULL;
  Py_buffer view;
  if (PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) < 0) return NULL;
  if (view.len != TAVIK_SK_BYTES) {
    Py_ssize_t len = view.len;
    PyBuffer_Release(&view);
    return length_error("secret key", TAVIK_SK_BYTES, len), NULL;
  }
  SecretKeyObject *self = (SecretKeyObject *)type->tp_alloc(type, 0);
  if (self) memcpy(self->key, view.buf, TAVIK_SK_BYTES);
  PyBuffer_Release(&view);
  if (!self) return NULL;
  /* The key is checked once, here: its public key is rebuilt from rho, s1 and s2 and compared with
     the stored hash of the public key and the stored t0. No other thread can reach the new object. */
  uint8_t pk[TAVIK_PK_BYTES];
  int32_t r;
  Py_BEGIN_ALLOW_THREADS
  r = tavik_pk_from_sk(pk, self->key);
  Py_END_ALLOW_THREADS
  if (r != TAVIK_OK) {
    Py_DECREF(self);
    PyErr_SetString(PyExc_ValueError, "the secret key is damaged (its stored fields disagree)");
    return NULL;
  }
  return (PyObject *)self;
}

static void SecretKey_dealloc(SecretKeyObject *self) {
  wipe(self->key, sizeof self->key);
  Py_TYPE(self)->tp_free((PyObject *)self);
}

static PyObject *SecretKey_close(SecretKeyObject *self, PyObject *Py_UNUSED(ignored)) {
  self->closed = 1;
  if (self->users == 0) wipe(self->key, sizeof self->key);
  Py_RETURN_NONE;
}

PyObject *SecretKey_enter(PyObject *self, PyObject *Py_UNUSED(ignored)) { return Py_NewRef(self); }

static PyObject *SecretKey_exit(SecretKeyObject *self, PyObject *Py_UNUSED(args)) {
  return SecretKey_close(self, NULL);
}

static int secret_key_open(SecretKeyObject *self) {
  if (self->closed) {
    PyErr_SetString(PyExc_ValueError, "the secret key is closed (its bytes were wiped)");
    return -1;
  }
  return 0;
}

/* Marks one more running call that reads the key with the lock released (lock held). */
static int secret_key_acquire(SecretKeyObject *self) {
  if (secret_key_open(self) < 0) return -1;
  self->users++;
  return 0;
}

void secret_key_release(SecretKeyObject *self) {
  if (--self->users == 0 && self->closed) wipe(self->key, sizeof self->key);
}

static PyObject *SecretKey_to_bytes(SecretKeyObject *self, PyObject *Py_UNUSED(ignored)) {
  if (secret_key_open(self) < 0) return NULL;
  return PyBytes_FromStringAndSize((const char *)self->key, TAVIK_SK_BYTES);
}

PyObject *SecretKey_reduce(PyObject *self, PyObject *Py_UNUSED(ignored)) {
  PyErr_Format(PyExc_TypeError, "cannot pickle or copy '%.100s': use to_bytes() to store a secret key",
               Py_TYPE(self)->tp_name);
  return NULL;
}

static PyObject *SecretKey_repr(SecretKeyObject *self) {
  return PyUnicode_FromString(self->closed ? "<tavik.SecretKey (closed)>" : "<tavik.SecretKey>");
}

static PyObject *SecretKey_get_closed(SecretKeyObject *self, void *Py_UNUSED(closure)) {
  return PyBool_FromLong(self->closed);
}

static PyMethodDef SecretKey_methods[] = {
    {"to_bytes", (PyCFunction)SecretKey_to_bytes, METH_NOARGS,
     "to_bytes() -> bytes\n--\n\nThe key's 3056 bytes, for storing it. The bytes object cannot be wiped."},
    {"close", (PyCFunction)SecretKey_close, METH_NOARGS,
     "close() -> None\n--\n\nWipe the key's bytes; the key can no longer be used. Closing twice is allowed."},
    {"__enter__", SecretKey_enter, METH_NOARGS, NULL},
    {"__exit__", (PyCFunction)SecretKey_exit, METH_VARARGS, NULL},
    {"__reduce__", SecretKey_reduce, METH_NOARGS, NULL},
    {"__reduce_ex__", (PyCFunction)SecretKey_reduce, METH_VARARGS, NULL},
    {"__copy__", SecretKey_reduce, METH_NOARGS, NULL},
    {"__deepcopy__", (PyCFunction)SecretKey_reduce, METH_O, NULL},
    {NULL, NULL, 0, NULL}};

static PyGetSetDef SecretKey_getset[] = {
    {"closed", (getter)SecretKey_get_closed, NULL, "True once the key has been wiped.", NULL},
    {NULL, NULL, NULL, NULL, NULL}};

PyTypeObject SecretKeyType = {
    PyVarObject_HEAD_INIT(NULL, 0)
    .tp_name = "tavik.SecretKey",
    .tp_basicsize = sizeof(SecretKeyObject),
    .tp_dealloc = (destructor)SecretKey_dealloc,
    .tp_repr = (reprfunc)SecretKey_repr,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = "SecretKey(data)\n--\n\n"
              "A secret key of 3056 bytes, held in memory that is wiped when the key is closed or\n"
              "collected. Use it as a context manager to wipe it on leaving the block. Its bytes\n"
              "never appear in repr(); to_bytes() gives them explicitly. SecretKey(data) copies\n"
              "stored key bytes (the caller wipes its own copy, e.g. a bytearray) and checks them:\n"
              "it rebuilds the public key from rho, s1 and s2 and raises ValueError when the stored\n"
              "hash of the public key or the stored t0 disagrees (a damaged key). The 32-byte\n"
              "signing seed after rho is the one part no check covers: no other field depends on it.",
    .tp_methods = SecretKey_methods,
    .tp_getset = SecretKey_getset,
    .tp_new = SecretKey_new,
};

/* ---- Expanded keys ---- */

static size_t expanded_size(ExpandedObject *self) {
  return Py_IS_TYPE(self, &ExpandedSecretKeyType) ? sizeof(tavik_expanded_sk) : sizeof(tavik_expanded_pk);
}

static void expanded_free(ExpandedObject *self) {
  if (self->mem) {
    if (Py_IS_TYPE(self, &ExpandedSecretKeyType)) tavik_expanded_sk_wipe((tavik_expanded_sk *)self->mem);
    free_wiped(self->mem, expanded_size(self));
    self->mem = NULL;
  }
}

/* Marks one more user of an open expanded key (interpreter lock held). */
int expanded_acquire(ExpandedObject *self) {
  if (!self->mem || self->closing) {
    PyErr_Format(PyExc_ValueError, "the %s is closed", Py_TYPE(self)->tp_name);
    return -1;
  }
  self->users++;
  return 0;
}

void expanded_release(ExpandedObject *self) {
  if (--self->users == 0 && self->closing) expanded_free(self);
}

static PyObject *ExpandedSecretKey_new(PyTypeObject *type, PyObject *args, PyObject *kwds) {
  static char *kwlist[] = {"sk", NULL};
  SecretKeyObject *sk;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "O!:ExpandedSecretKey", kwlist, &SecretKeyType, &sk)) return NULL;
  /* Held before anything else runs: a close() meanwhile leaves the key intact until the release. */
  if (secret_key_acquire(sk) < 0) return NULL;
  ExpandedObject *self = (ExpandedObject *)type->tp_alloc(type, 0);
  if (self) self->mem = alloc_aligned(sizeof(tavik_expanded_sk));
  if (!self || !self->mem) {
    secret_key_release(sk);
    Py_XDECREF(self);
    return NULL;
  }
  int32_t r;
  Py_BEGIN_ALLOW_THREADS
  r = tavik_expand_sk((tavik_expanded_sk *)self->mem, sk->key);
  Py_END_ALLOW_THREADS
  secret_key_release(sk);
  if (r != TAVIK_OK) {
    Py_DECREF(self);
    if (r == TAVIK_ILLEGAL_PARAMETER) {
      PyErr_SetString(PyExc_ValueError, "the secret key is damaged (its stored fields disagree)");
      return NULL;
    }
    return raise_code(r, "ExpandedSecretKey");
  }
  return (PyObject *)self;
}

static PyObject *ExpandedPublicKey_new(PyTypeObject *type, PyObject *args, PyObject *kwds) {
  static char *kwlist[] = {"pk", NULL};
  PyObject *pk_obj;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:ExpandedPublicKey", kwlist, &pk_obj)) return NULL;
  Input pk;
  if (input_get(pk_obj, "public key", TAVIK_PK_BYTES, 0, &pk) < 0) return NULL;
  ExpandedObject *self = (ExpandedObject *)type->tp_alloc(type, 0);
  if (self) self->mem = alloc_aligned(sizeof(tavik_expanded_pk));
  if (!self || !self->mem) {
    input_release(&pk);
    Py_XDECREF(self);
    return NULL;
  }
  int32_t r;
  Py_BEGIN_ALLOW_THREADS
  r = tavik_expand_pk((tavik_expanded_pk *)self->mem, pk.data);
  Py_END_ALLOW_THREADS
  input_release(&pk);
  if (r != TAVIK_OK) return Py_DECREF(self), raise_code(r, "ExpandedPublicKey");
  return (PyObject *)self;
}

static void Expanded_dealloc(ExpandedObject *self) {
  expanded_free(self);  /* no user can be left: each holds a reference */
  Py_TYPE(self)->tp_free((PyObject *)self);
}

static PyObject *Expanded_close(ExpandedObject *self, PyObject *Py_UNUSED(ignored)) {
  if (self->users > 0)
    self->closing = 1;
  else
    expanded_free(self);
  Py_RETURN_NONE;
}

static PyObject *Expanded_exit(ExpandedObject *self, PyObject *Py_UNUSED(args)) { return Expanded_close(self, NULL); }

static PyObject *Expanded_repr(ExpandedObject *self) {
  return PyUnicode_FromFormat(self->mem && !self->closing ? "<%s>" : "<%s (closed)>", Py_TYPE(self)->tp_name);
}

static PyObject *Expanded_get_closed(ExpandedObject *self, void *Py_UNUSED(closure)) {
  return PyBool_FromLong(!self->mem || self->closing);
}

static PyMethodDef Expanded_methods[] = {
    {"close", (PyCFunction)Expanded_close, METH_NOARGS,
     "close() -> None\n--\n\nWipe and free the expanded key (once calls that use it are done)."},
    {"__enter__", SecretKey_enter, METH_NOARGS, NULL},
    {"__exit__", (PyCFunction)Expanded_exit, METH_VARARGS, NULL},
    {"__reduce__", SecretKey_reduce, METH_NOARGS, NULL},
    {"__reduce_ex__", (PyCFunction)SecretKey_reduce, METH_VARARGS, NULL},
    {"__copy__", SecretKey_reduce, METH_NOARGS, NULL},
    {"__deepcopy__", (PyCFunction)SecretKey_reduce, METH_O, NULL},
    {NULL, NULL, 0, NULL}};

static PyGetSetDef Expanded_getset[] = {
    {"closed", (getter)Expanded_get_closed, NULL, "True once close() was called.", NULL},
    {NULL, NULL, NULL, NULL, NULL}};

PyTypeObject ExpandedSecretKeyType = {
    PyVarObject_HEAD_INIT(NULL, 0)
    .tp_name = "tavik.ExpandedSecretKey",
    .tp_basicsize = sizeof(ExpandedObject),
    .tp_dealloc = (destructor)Expanded_dealloc,
    .tp_repr = (reprfunc)Expanded_repr,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = "ExpandedSecretKey(sk)\n--\n\n"
              "What signing derives from a SecretKey alone, kept to sign many messages at a fraction\n"
              "of the cost: sign() and Signer() accept it in place of the key and give the same\n"
              "bytes. As secret as the key; wiped on close() or collection; for this process only.\n"
              "Made only from a key that passes the check SecretKey(data) makes; it carries a check\n"
              "value of its own, which every call using it verifies (ValueError when it fails).",
    .tp_methods = Expanded_methods,
    .tp_getset = Expanded_getset,
    .tp_new = ExpandedSecretKey_new,
};

PyTypeObject ExpandedPublicKeyType = {
    PyVarObject_HEAD_INIT(NULL, 0)
    .tp_name = "tavik.ExpandedPublicKey",
    .tp_basicsize = sizeof(ExpandedObject),
    .tp_dealloc = (destructor)Expanded_dealloc,
    .tp_repr = (reprfunc)Expanded_repr,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = "ExpandedPublicKey(pk)\n--\n\n"
              "What verification derives from a public key alone, kept to verify many messages at a\n"
              "fraction of the cost: verify() and Verifier() accept it in place of the key and give\n"
              "the same verdicts. For this process only.",
    .tp_methods = Expanded_methods,
    .tp_getset = Expanded_getset,
    .tp_new = ExpandedPublicKey_new,
};

/* ---- Keys ---- */

static PyObject *keypair_result(uint8_t *pk, SecretKeyObject *sk) {
  PyObject *pk_bytes = PyBytes_FromStringAndSize((const char *)pk, TAVIK_PK_BYTES);
  if (!pk_bytes) return Py_DECREF(sk), NULL;
  PyObject *pair = PyTuple_Pack(2, pk_bytes, (PyObject *)sk);
  Py_DECREF(pk_bytes);
  Py_DECREF(sk);
  return pair;
}

static PyObject *generate_keypair(PyObject *Py_UNUSED(module), PyObject *Py_UNUSED(ignored)) {
  uint8_t pk[TAVIK_PK_BYTES];
  SecretKeyObject *sk = secret_key_new_empty();
  if (!sk) return NULL;
  int32_t r;
  Py_BEGIN_ALLOW_THREADS
  r = sig_keygen(pk, sk->key);
  Py_END_ALLOW_THREADS
  if (r != TAVIK_OK) return Py_DECREF(sk), raise_code(r, "generate_keypair");
  return keypair_result(pk, sk);
}

static PyObject *keypair_from_seed(PyObject *Py_UNUSED(module), PyObject *seed_obj) {
  Input seed;
  if (input_get(seed_obj, "seed", TAVIK_SEED_BYTES, 1, &seed) < 0) return NULL;
  uint8_t pk[TAVIK_PK_BYTES];
  SecretKeyObject *sk = secret_key_new_empty();
  if (!sk) return input_release(&seed), NULL;
  int32_t r;
  Py_BEGIN_ALLOW_THREADS
  r = sig_keygen_from_seed(pk, sk->key, seed.data);
  Py_END_ALLOW_THREADS
  input_release(&seed);
  if (r != TAVIK_OK) return Py_DECREF(sk), raise_code(r, "keypair_from_seed");
  return keypair_result(pk, sk);
}

static int check_secret_key(PyObject *obj, const char *name) {
  if (Py_IS_TYPE(obj, &SecretKeyType) || PyObject_TypeCheck(obj, &SecretKeyType))
    return secret_key_open((SecretKeyObject *)obj);
  PyErr_Format(PyExc_TypeError, "%s must be a tavik.SecretKey, not %.100s (wrap stored bytes in tavik.SecretKey(data))",
               name, Py_TYPE(obj)->tp_name);
  return -1;
}

/* The SecretKey obj, held for one call (secret_key_release ends it), or NULL with an exception
   set: a wrong type, or a closed key. Held first, before any other input is read: reading one may
   run Python code (a buffer exporter, a finaliser) that closes the key, which then stays intact
   until the call is done. */
SecretKeyObject *claim_secret_key(PyObject *obj, const char *name) {
  if (check_secret_key(obj, name) < 0 || secret_key_acquire((SecretKeyObject *)obj) < 0) return NULL;
  return (SecretKeyObject *)obj;
}

/* Claims the key of a signing call, a SecretKey or an ExpandedSecretKey: exactly one of *sk and
   *xsk is set on success. Returns 0, or -1 with an exception set. */
int claim_signing_key(PyObject *obj, const char *what, SecretKeyObject **sk, ExpandedObject **xsk) {
  *sk = NULL;
  *xsk = NULL;
  if (Py_IS_TYPE(obj, &ExpandedSecretKeyType)) {
    if (expanded_acquire((ExpandedObject *)obj) < 0) return -1;
    *xsk = (ExpandedObject *)obj;
    return 0;
  }
  if ((*sk = claim_secret_key(obj, "sk")) != NULL) return 0;
  if (PyErr_ExceptionMatches(PyExc_TypeError)) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "%s: sk must be a tavik.SecretKey or tavik.ExpandedSecretKey, not %.100s", what,
                 Py_TYPE(obj)->tp_name);
  }
  return -1;
}

void release_signing_key(SecretKeyObject *sk, ExpandedObject *xsk) {
  if (xsk) expanded_release(xsk);
  if (sk) secret_key_release(sk);
}

static PyObject *public_key(PyObject *Py_UNUSED(module), PyObject *sk_obj) {
  SecretKeyObject *sk = claim_secret_key(sk_obj, "sk");
  if (!sk) return NULL;
  uint8_t pk[TAVIK_PK_BYTES];
  int32_t r;
  Py_BEGIN_ALLOW_THREADS
  r = tavik_pk_from_sk(pk, sk->key);
  Py_END_ALLOW_THREADS
  secret_key_release(sk);
  if (r == TAVIK_ILLEGAL_PARAMETER) {
    PyErr_SetString(PyExc_ValueError, "the secret key is damaged (its stored fields disagree)");
    return NULL;
  }
  if (r != TAVIK_OK) return raise_code(r, "public_key");
  return PyBytes_FromStringAndSize((const char *)pk, TAVIK_PK_BYTES);
}

/* ---- One-shot signing and verification ---- */

/* sign(sk, msg, *, deterministic=False, context=b""), parsed by hand: the generic parser costs more
   than the rest of the wrapper together. */
static PyObject *sign(PyObject *Py_UNUSED(module), PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  PyObject *key_obj = nargs > 0 ? args[0] : NULL, *msg_obj = nargs > 1 ? args[1] : NULL, *ctx_obj = NULL;
  int deterministic = 0;
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  if (nargs > 2) {
    PyErr_Format(PyExc_TypeError, "sign() takes 2 positional arguments (sk, msg) but %zd were given", nargs);
    return NULL;
  }
  for (Py_ssize_t i = 0; i < nkw; ++i) {
    PyObject *name = PyTuple_GET_ITEM(kwnames, i), *value = args[nargs + i];
    PyObject **slot = NULL;
    if (PyUnicode_CompareWithASCIIString(name, "deterministic") == 0) {
      if ((deterministic = PyObject_IsTrue(value)) < 0) return NULL;
      continue;
    }
    if (PyUnicode_CompareWithASCIIString(name, "sk") == 0) slot = &key_obj;
    if (PyUnicode_CompareWithASCIIString(name, "msg") == 0) slot = &msg_obj;
    if (PyUnicode_CompareWithASCIIString(name, "context") == 0) slot = &ctx_obj;
    if (!slot) return PyErr_Format(PyExc_TypeError, "sign() got an unexpected keyword argument '%U'", name);
    if (*slot) return PyErr_Format(PyExc_TypeError, "sign() got multiple values for argument '%U'", name);
    *slot = value;
  }
  if (!key_obj || !msg_obj) {
    PyErr_Format(PyExc_TypeError, "sign() missing required argument '%s'", key_obj ? "msg" : "sk");
    return NULL;
  }

  SecretKeyObject *sk;
  ExpandedObject *xsk;
  if (claim_signing_key(key_obj, "sign()", &sk, &xsk) < 0) return NULL;
  Input msg, ctx;
  PyObject *sig = NULL;
  int32_t r = TAVIK_OK;
  if (context_get(ctx_obj, &ctx) == 0 && input_get(msg_obj, "msg", -1, 0, &msg) == 0) {
    sig = PyBytes_FromStringAndSize(NULL, TAVIK_SIG_BYTES);
    if (sig) {
      uint8_t *out = (uint8_t *)PyBytes_AS_STRING(sig);
      const tavik_expanded_sk *x = xsk ? (const tavik_expanded_sk *)xsk->mem : NULL;
      const uint8_t *key = sk ? sk->key : NULL;
      const uint8_t *c = ctx.data;
      const uint64_t cn = (uint64_t)ctx.len, n = (uint64_t)msg.len;
      Py_BEGIN_ALLOW_THREADS
      if (x)
        r = deterministic ? tavik_sign_expanded_ctx(x, c, cn, msg.data, n, out)
                          : tavik_sign_expanded_ctx_hedged(x, c, cn, msg.data, n, out);
      else
        r = deterministic ? tavik_sign_ctx(key, c, cn, msg.data, n, out) : tavik_sign_ctx_hedged(key, c, cn, msg.data, n, out);
      Py_END_ALLOW_THREADS
    }
    input_release(&msg);
  }
  input_release(&ctx);
  release_signing_key(sk, xsk);
  if (!sig) return NULL;
  if (r != TAVIK_OK) {
    Py_DECREF(sig);
    if (r == TAVIK_ILLEGAL_PARAMETER) {
      /* Every argument is valid here: the library refused the key. */
      PyErr_SetString(PyExc_ValueError, xsk ? "sign: the expanded secret key is damaged" : "sign: the secret key is damaged");
      return NULL;
    }
    return raise_code(r, "sign");
  }
  return sig;
}

/* verify(pk, msg, sig, *, context=b"") */
static PyObject *verify(PyObject *Py_UNUSED(module), PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
  if (nargs != 3) {
    PyErr_Format(PyExc_TypeError, "verify() takes 3 positional arguments (pk, msg, sig), %zd given", nargs);
    return NULL;
  }
  PyObject *ctx_obj = NULL;
  for (Py_ssize_t i = 0; kwnames && i < PyTuple_GET_SIZE(kwnames); ++i) {
    PyObject *name = PyTuple_GET_ITEM(kwnames, i);
    if (PyUnicode_CompareWithASCIIString(name, "context") != 0)
      return PyErr_Format(PyExc_TypeError, "verify() got an unexpected keyword argument '%U'", name);
    ctx_obj = args[nargs + i];
  }
  ExpandedObject *xpk = NULL;
  Input pk = {0}, msg, sig, ctx;
  if (Py_IS_TYPE(args[0], &ExpandedPublicKeyType)) {
    xpk = (ExpandedObject *)args[0];
  } else if (!PyObject_CheckBuffer(args[0]) || PyUnicode_Check(args[0])) {
    PyErr_Format(PyExc_TypeError, "pk must be a bytes-like object or a tavik.ExpandedPublicKey, not %.100s",
                 Py_TYPE(args[0])->tp_name);
    return NULL;
  } else if (input_get(args[0], "public key", TAVIK_PK_BYTES, 0, &pk) < 0) {
    return NULL;
  }
  if (context_get(ctx_obj, &ctx) < 0) return input_release(&pk), NULL;
  if (input_get(args[1], "msg", -1, 0, &msg) < 0) return input_release(&ctx), input_release(&pk), NULL;
  if (input_get(args[2], "signature", -1, 0, &sig) < 0) {
    input_release(&msg);
    input_release(&ctx);
    input_release(&pk);
    return NULL;
  }
  int32_t r;
  const uint8_t *c = ctx.data;
  const uint64_t cn = (uint64_t)ctx.len;
  if (sig.len != TAVIK_SIG_BYTES) {
    r = TAVIK_INVALID_SIGNATURE; /* no signature has another length: untrusted input, a verdict */
  } else if (xpk) {
    if (expanded_acquire(xpk) < 0) {
      input_release(&sig);
      input_release(&msg);
      input_release(&ctx);
      return NULL;
    }
    const tavik_expanded_pk *x = (const tavik_expanded_pk *)xpk->mem;
    Py_BEGIN_ALLOW_THREADS
    r = tavik_verify_expanded_ctx(x, c, cn, sig.data, (uint64_t)sig.len, msg.data, (uint64_t)msg.len);
    Py_END_ALLOW_THREADS
    expanded_release(xpk);
  } else {
    Py_BEGIN_ALLOW_THREADS
    r = tavik_verify_ctx(pk.data, c, cn, sig.data, (uint64_t)sig.len, msg.data, (uint64_t)msg.len);
    Py_END_ALLOW_THREADS
  }
  input_release(&sig);
  input_release(&ctx);
  input_release(&msg);
  input_release(&pk);
  if (r == TAVIK_OK) Py_RETURN_TRUE;
  if (r == TAVIK_INVALID_SIGNATURE) Py_RETURN_FALSE;
  if (r == TAVIK_ILLEGAL_PARAMETER && xpk) {
    /* The lengths were checked: the library refused the expanded key. */
    PyErr_SetString(PyExc_ValueError, "verify: the expanded public key is damaged");
    return NULL;
  }
  return raise_code(r, "verify");
}

/* ---- Streaming: Signer and Verifier (and MuHasher, tavik_context.c) ---- */

static int is_signer(StreamObject *self) { return Py_IS_TYPE(self, &SignerType); }

void stream_end(StreamObject *self) {
  if (self->st) {
    if (is_signer(self)) {
      tavik_sign_state_wipe((tavik_sign_state *)self->st);
      free_wiped(self->st, sizeof(tavik_sign_state));
    } else if (Py_IS_TYPE(self, &MuHasherType)) {
      tavik_mu_state_wipe((tavik_mu_state *)self->st);
      free_wiped(self->st, sizeof(tavik_mu_state));
    } else {
      free_wiped(self->st, sizeof(tavik_verify_state));
    }
    self->st = NULL;
  }
  if (self->xkey) {
    expanded_release(self->xkey);
    Py_CLEAR(self->xkey);
  }
}

/* Claims the object for one call: it must be unfinished and not in use by another thread. */
int stream_claim(StreamObject *self) {
  if (self->busy) {
    PyErr_Format(PyExc_RuntimeError, "this %s is in use by another thread", Py_TYPE(self)->tp_name);
    return -1;
  }
  if (!self->st) {
    PyErr_Format(PyExc_ValueError, "this %s is finished or closed", Py_TYPE(self)->tp_name);
    return -1;
  }
  self->busy = 1;
  return 0;
}

static PyObject *Signer_new(PyTypeObject *type, PyObject *args, PyObject *kwds) {
  static char *kwlist[] = {"sk", "deterministic", "context", NULL};
  PyObject *key_obj, *ctx_obj = NULL;
  int deterministic = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|$pO:Signer", kwlist, &key_obj, &deterministic, &ctx_obj)) return NULL;
  SecretKeyObject *sk;
  ExpandedObject *xsk;
  if (claim_signing_key(key_obj, "Signer()", &sk, &xsk) < 0) return NULL;
  Input ctx;
  if (context_get(ctx_obj, &ctx) < 0) return release_signing_key(sk, xsk), NULL;
  StreamObject *self = (StreamObject *)type->tp_alloc(type, 0);
  tavik_sign_state *st = self ? alloc_aligned(sizeof *st) : NULL;
  if (!st) {
    input_release(&ctx);
    release_signing_key(sk, xsk);
    Py_XDECREF(self);
    return NULL;
  }
  self->st = st;
  int32_t r;
  /* Starting a state is short work: it runs with the lock held, so the key cannot change. */
  if (xsk) {
    self->xkey = (ExpandedObject *)Py_NewRef(key_obj); /* the claim passes to the state */
    const tavik_expanded_sk *x = (const tavik_expanded_sk *)xsk->mem;
    r = deterministic ? tavik_sign_init_expanded_ctx(st, x, ctx.data, (uint64_t)ctx.len)
                      : tavik_sign_init_expanded_ctx_hedged(st, x, ctx.data, (uint64_t)ctx.len);
  } else {
    r = deterministic ? tavik_sign_init_ctx(st, sk->key, ctx.data, (uint64_t)ctx.len)
                      : tavik_sign_init_ctx_hedged(st, sk->key, ctx.data, (uint64_t)ctx.len);
    secret_key_release(sk); /* the state holds its own copy */
  }
  input_release(&ctx);
  if (r != TAVIK_OK) {
    Py_DECREF(self);
    if (r == TAVIK_ILLEGAL_PARAMETER) {
      PyErr_SetString(PyExc_ValueError, xsk ? "Signer: the expanded secret key is damaged" : "Signer: the secret key is damaged");
      return NULL;
    }
    return raise_code(r, "Signer");
  }
  return (PyObject *)self;
}

static PyObject *Verifier_new(PyTypeObject *type, PyObject *args, PyObject *kwds) {
  static char *kwlist[] = {"pk", "context", NULL};
  PyObject *key_obj, *ctx_obj = NULL;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|$O:Verifier", kwlist, &key_obj, &ctx_obj)) return NULL;
  int expanded = Py_IS_TYPE(key_obj, &ExpandedPublicKeyType);
  if (!expanded && (!PyObject_CheckBuffer(key_obj) || PyUnicode_Check(key_obj))) {
    PyErr_Format(PyExc_TypeError, "pk must be a bytes-like object or a tavik.ExpandedPublicKey, not %.100s",
                 Py_TYPE(key_obj)->tp_name);
    return NULL;
  }
  Input pk = {0}, ctx;
  if (!expanded && input_get(key_obj, "public key", TAVIK_PK_BYTES, 0, &pk) < 0) return NULL;
  if (context_get(ctx_obj, &ctx) < 0) return input_release(&pk), NULL;
  StreamObject *self = (StreamObject *)type->tp_alloc(type, 0);
  tavik_verify_state *st = self ? alloc_aligned(sizeof *st) : NULL;
  if (!st) {
    input_release(&ctx);
    input_release(&pk);
    Py_XDECREF(self);
    return NULL;
  }
  self->st = st;
  int32_t r;
  if (expanded) {
    ExpandedObject *xpk = (ExpandedObject *)key_obj;
    if (expanded_acquire(xpk) < 0) return input_release(&ctx), Py_DECREF(self), NULL;
    self->xkey = (ExpandedObject *)Py_NewRef(key_obj);
    r = tavik_verify_init_expanded_ctx(st, (const tavik_expanded_pk *)xpk->mem, ctx.data, (uint64_t)ctx.len);
  } else {
    r = tavik_verify_init_ctx(st, pk.data, ctx.data, (uint64_t)ctx.len);
    input_release(&pk);
  }
  input_release(&ctx);
  if (r != TAVIK_OK) return Py_DECREF(self), raise_code(r, "Verifier");
  return (PyObject *)self;
}

static int32_t stream_update_raw(StreamObject *self, const uint8_t *p, uint64_t n) {
  if (Py_IS_TYPE(self, &MuHasherType)) return tavik_mu_update((tavik_mu_state *)self->st, p, n);
  return is_signer(self) ? tavik_sign_update((tavik_sign_state *)self->st, p, n)
                         : tavik_verify_update((tavik_verify_state *)self->st, p, n);
}

PyObject *Stream_update(StreamObject *self, PyObject *data) {
  if (!PyBytes_CheckExact(data) && (PyUnicode_Check(data) || !PyObject_CheckBuffer(data)))
    return type_error_bytes("data", data), NULL;
  if (stream_claim(self) < 0) return NULL;
  int32_t r = TAVIK_OK;
  if (PyBytes_CheckExact(data)) {
    const uint8_t *p = (const uint8_t *)PyBytes_AS_STRING(data);
    const uint64_t n = (uint64_t)PyBytes_GET_SIZE(data);
    if (n < UNLOCKED_UPDATE_MIN) {
      r = stream_update_raw(self, p, n);
    } else {
      Py_BEGIN_ALLOW_THREADS
      r = stream_update_raw(self, p, n);
      Py_END_ALLOW_THREADS
    }
  } else {
    Py_buffer view;
    if (PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) < 0) {
      self->busy = 0;
      return NULL;
    }
    const uint8_t *p = view.buf;
    if (view.len < UNLOCKED_UPDATE_MIN) {
      r = stream_update_raw(self, p, (uint64_t)view.len);
    } else {
      /* The buffer may change while the lock is released: each piece is copied first (the
         exported buffer cannot be resized meanwhile). */
      uint8_t *chunk = PyMem_Malloc(COPY_CHUNK);
      if (!chunk) {
        PyBuffer_Release(&view);
        self->busy = 0;
        return PyErr_NoMemory();
      }
      for (Py_ssize_t at = 0; at < view.len && r == TAVIK_OK; at += COPY_CHUNK) {
        const size_t n = (size_t)(view.len - at < COPY_CHUNK ? view.len - at : COPY_CHUNK);
        memcpy(chunk, p + at, n);
        Py_BEGIN_ALLOW_THREADS
        r = stream_update_raw(self, chunk, n);
        Py_END_ALLOW_THREADS
      }
      PyMem_Free(chunk);
    }
    PyBuffer_Release(&view);
  }
  self->busy = 0;
  if (r != TAVIK_OK) return raise_code(r, "update");
  Py_RETURN_NONE;
}

static PyObject *Signer_finalize(StreamObject *self, PyObject *Py_UNUSED(ignored)) {
  if (stream_claim(self) < 0) return NULL;
  PyObject *sig = PyBytes_FromStringAndSize(NULL, TAVIK_SIG_BYTES);
  if (!sig) return self->busy = 0, NULL;
  uint8_t *out = (uint8_t *)PyBytes_AS_STRING(sig);
  tavik_sign_state *st = self->st;
  int32_t r;
  Py_BEGIN_ALLOW_THREADS
  r = tavik_sign_final(st, out);
  Py_END_ALLOW_THREADS
  self->busy = 0;
  stream_end(self);
  if (r != TAVIK_OK) {
    Py_DECREF(sig);
    if (r == TAVIK_ILLEGAL_PARAMETER) {
      PyErr_SetString(PyExc_ValueError, "finalize: the secret key or expanded secret key is damaged");
      return NULL;
    }
    return raise_code(r, "finalize");
  }
  return sig;
}

static PyObject *Verifier_finalize(StreamObject *self, PyObject *sig_obj) {
  Input sig;
  if (input_get(sig_obj, "signature", -1, 0, &sig) < 0) return NULL;
  if (stream_claim(self) < 0) return input_release(&sig), NULL;
  tavik_verify_state *st = self->st;
  int32_t r = TAVIK_INVALID_SIGNATURE; /* a signature of the wrong length: the verdict, as verify() gives it */
  if (sig.len == TAVIK_SIG_BYTES) {
    Py_BEGIN_ALLOW_THREADS
    r = tavik_verify_final(st, sig.data, (uint64_t)sig.len);
    Py_END_ALLOW_THREADS
  }
  input_release(&sig);
  self->busy = 0;
  stream_end(self);
  if (r == TAVIK_OK) Py_RETURN_TRUE;
  if (r == TAVIK_INVALID_SIGNATURE) Py_RETURN_FALSE;
  return raise_code(r, "finalize");
}

/* The name of finalize() in 0.2.0, kept for the programs written against it. */
static PyObject *Verifier_verify(StreamObject *self, PyObject *sig_obj) {
  if (PyErr_WarnEx(PyExc_DeprecationWarning, "Verifier.verify(sig) is Verifier.finalize(sig)", 1) < 0) return NULL;
  return Verifier_finalize(self, sig_obj);
}

PyObject *Stream_close(StreamObject *self, PyObject *Py_UNUSED(ignored)) {
  if (self->busy) {
    PyErr_Format(PyExc_RuntimeError, "this %s is in use by another thread", Py_TYPE(self)->tp_name);
    return NULL;
  }
  stream_end(self);
  Py_RETURN_NONE;
}

PyObject *Stream_exit(StreamObject *self, PyObject *Py_UNUSED(args)) { return Stream_close(self, NULL); }

void Stream_dealloc(StreamObject *self) {
  stream_end(self);
  Py_TYPE(self)->tp_free((PyObject *)self);
}

PyObject *Stream_repr(StreamObject *self) {
  return PyUnicode_FromFormat(self->st ? "<%s>" : "<%s (finished)>", Py_TYPE(self)->tp_name);
}

static PyMethodDef Signer_methods[] = {
    {"update", (PyCFunction)Stream_update, METH_O,
     "update(data) -> None\n--\n\nAppend a piece of the message (any length, empty too)."},
    {"finalize", (PyCFunction)Signer_finalize, METH_NOARGS,
     "finalize() -> bytes\n--\n\nThe signature of the pieces joined, as sign() gives it; ends the Signer."},
    {"close", (PyCFunction)Stream_close, METH_NOARGS,
     "close() -> None\n--\n\nGive up: wipe the state (and its copy of the key)."},
    {"__enter__", SecretKey_enter, METH_NOARGS, NULL},
    {"__exit__", (PyCFunction)Stream_exit, METH_VARARGS, NULL},
    {"__reduce__", SecretKey_reduce, METH_NOARGS, NULL},
    {"__reduce_ex__", (PyCFunction)SecretKey_reduce, METH_VARARGS, NULL},
    {"__copy__", SecretKey_reduce, METH_NOARGS, NULL},
    {"__deepcopy__", (PyCFunction)SecretKey_reduce, METH_O, NULL},
    {NULL, NULL, 0, NULL}};

static PyMethodDef Verifier_methods[] = {
    {"update", (PyCFunction)Stream_update, METH_O,
     "update(data) -> None\n--\n\nAppend a piece of the message (any length, empty too)."},
    {"finalize", (PyCFunction)Verifier_finalize, METH_O,
     "finalize(sig) -> bool\n--\n\nTrue when sig is a valid signature of the pieces joined, False when it is\n"
     "not (a signature of the wrong length included); ends the Verifier."},
    {"verify", (PyCFunction)Verifier_verify, METH_O,
     "verify(sig) -> bool\n--\n\nDeprecated: the name of finalize(sig) in 0.2.0 (a DeprecationWarning)."},
    {"close", (PyCFunction)Stream_close, METH_NOARGS, "close() -> None\n--\n\nGive up and free the state."},
    {"__enter__", SecretKey_enter, METH_NOARGS, NULL},
    {"__exit__", (PyCFunction)Stream_exit, METH_VARARGS, NULL},
    {NULL, NULL, 0, NULL}};

PyTypeObject SignerType = {
    PyVarObject_HEAD_INIT(NULL, 0)
    .tp_name = "tavik.Signer",
    .tp_basicsize = sizeof(StreamObject),
    .tp_dealloc = (destructor)Stream_dealloc,
    .tp_repr = (reprfunc)Stream_repr,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = "Signer(sk, *, deterministic=False, context=b\"\")\n--\n\n"
              "Signs a message given in pieces: update() each piece, then finalize(). sk is a\n"
              "SecretKey (copied into the state, which is wiped at the end) or an ExpandedSecretKey\n"
              "(kept open until the end). Hedged unless deterministic=True, which gives exactly\n"
              "sign(sk, joined, deterministic=True, context=context). The context is as sign()'s.",
    .tp_methods = Signer_methods,
    .tp_new = Signer_new,
};

PyTypeObject VerifierType = {
    PyVarObject_HEAD_INIT(NULL, 0)
    .tp_name = "tavik.Verifier",
    .tp_basicsize = sizeof(StreamObject),
    .tp_dealloc = (destructor)Stream_dealloc,
    .tp_repr = (reprfunc)Stream_repr,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = "Verifier(pk, *, context=b\"\")\n--\n\n"
              "Verifies a message given in pieces: update() each piece, then finalize(sig). pk is a\n"
              "public key of 1472 bytes or an ExpandedPublicKey; the context is as verify()'s.",
    .tp_methods = Verifier_methods,
    .tp_new = Verifier_new,
};

/* ---- Measurement ---- */

/* The C calls timed one by one in C, for the overhead benchmark (bench/python_overhead.py):
   per-call nanoseconds of `count` calls of one-shot signing (hedged or deterministic) or
   verification, with the lock released as the wrappers do. Not part of the interface. `count` is
   bounded so that the table of times is small and its size cannot wrap. */
#define TIME_C_CALLS_MAX 100000
static PyObject *time_c_calls(PyObject *Py_UNUSED(module), PyObject *args) {
  const char *op;
  PyObject *key_obj, *msg_obj, *sig_obj;
  Py_ssize_t count;
  if (!PyArg_ParseTuple(args, "sOOOn:_time_c_calls", &op, &key_obj, &msg_obj, &sig_obj, &count)) return NULL;
  const int verify_op = strcmp(op, "verify") == 0, det = strcmp(op, "sign_deterministic") == 0;
  if (!verify_op && !det && strcmp(op, "sign") != 0) {
    PyErr_SetString(PyExc_ValueError, "op must be 'sign', 'sign_deterministic' or 'verify'");
    return NULL;
  }
  if (count < 1 || count > TIME_C_CALLS_MAX)
    return PyErr_Format(PyExc_ValueError, "count must lie in [1, %d]", TIME_C_CALLS_MAX), NULL;
  Input pk = {0}, msg, sig;
  if (verify_op && input_get(key_obj, "public key", TAVIK_PK_BYTES, 0, &pk) < 0) return NULL;
  if (input_get(msg_obj, "msg", -1, 0, &msg) < 0) return input_release(&pk), NULL;
  if (input_get(sig_obj, "signature", TAVIK_SIG_BYTES, 0, &sig) < 0) {
    input_release(&msg);
    input_release(&pk);
    return NULL;
  }
  uint8_t key[TAVIK_SK_BYTES], out[TAVIK_SIG_BYTES];
  if (!verify_op) {
    SecretKeyObject *sk = claim_secret_key(key_obj, "sk");
    if (!sk) {
      input_release(&sig);
      input_release(&msg);
      return NULL;
    }
    memcpy(key, sk->key, sizeof key);
    secret_key_release(sk);
  }
  uint64_t *ns = PyMem_New(uint64_t, (size_t)count);
  int32_t bad = 0;
  if (ns) {
    Py_BEGIN_ALLOW_THREADS
    for (Py_ssize_t i = 0; i < count; ++i) {
      struct timespec a, b;
      clock_gettime(CLOCK_MONOTONIC, &a);
      int32_t r = verify_op ? tavik_verify(pk.data, sig.data, (uint64_t)sig.len, msg.data, (uint64_t)msg.len)
                  : det     ? tavik_sign(key, msg.data, (uint64_t)msg.len, out)
                            : tavik_sign_hedged(key, msg.data, (uint64_t)msg.len, out);
      clock_gettime(CLOCK_MONOTONIC, &b);
      if (r != TAVIK_OK) bad = r;
      ns[i] = (uint64_t)(b.tv_sec - a.tv_sec) * 1000000000u + (uint64_t)b.tv_nsec - (uint64_t)a.tv_nsec;
    }
    Py_END_ALLOW_THREADS
  }
  wipe(key, sizeof key);
  wipe(out, sizeof out);
  input_release(&sig);
  input_release(&msg);
  input_release(&pk);
  if (!ns) return PyErr_NoMemory();
  PyObject *list = bad ? raise_code(bad, "_time_c_calls") : PyList_New(count);
  for (Py_ssize_t i = 0; list && i < count; ++i) {
    PyObject *v = PyLong_FromUnsignedLongLong(ns[i]);
    if (!v) {
      Py_CLEAR(list);
      break;
    }
    PyList_SET_ITEM(list, i, v);
  }
  PyMem_Free(ns);
  return list;
}

/* ---- Module ---- */

static PyMethodDef module_methods[] = {
    {"generate_keypair", generate_keypair, METH_NOARGS,
     "generate_keypair() -> tuple[bytes, SecretKey]\n--\n\n"
     "A fresh key pair from the operating system's random source: (public key, secret key).\n"
     "Raises RandomnessError when the random source fails."},
    {"keypair_from_seed", keypair_from_seed, METH_O,
     "keypair_from_seed(seed) -> tuple[bytes, SecretKey]\n--\n\n"
     "The key pair generate_keypair() makes when the random source yields these 32 bytes."},
    {"public_key", public_key, METH_O,
     "public_key(sk) -> bytes\n--\n\n"
     "The public key of a SecretKey, rebuilt from its secret fields (the check SecretKey(data)\n"
     "makes); ValueError if the library refuses the key as damaged."},
    {"sign", (PyCFunction)(void (*)(void))sign, METH_FASTCALL | METH_KEYWORDS,
     "sign(sk, msg, *, deterministic=False, context=b\"\") -> bytes\n--\n\n"
     "The 2573-byte signature of msg (bytes-like, any length) under a SecretKey or an\n"
     "ExpandedSecretKey and the context (bytes-like, 0 to 255 bytes, else ValueError): it\n"
     "verifies under that context and no other. An empty context (b\"\" or None) is no context:\n"
     "the bytes of the library's calls without one. Hedged by default: fresh randomness enters\n"
     "every signature, so signing twice gives different valid signatures. deterministic=True\n"
     "gives the library's deterministic bytes (the known answers). The key was checked when it\n"
     "was made (SecretKey(data), ExpandedSecretKey(sk)); ValueError if the library refuses it as\n"
     "damaged, SigningError if signing reaches its attempt bound, RandomnessError when the random\n"
     "source fails."},
    {"verify", (PyCFunction)(void (*)(void))verify, METH_FASTCALL | METH_KEYWORDS,
     "verify(pk, msg, sig, *, context=b\"\") -> bool\n--\n\n"
     "True when sig is a valid signature of msg under pk (1472 bytes, or an ExpandedPublicKey)\n"
     "and the context (0 to 255 bytes; b\"\" is no context), False when it is not, as for a\n"
     "signature made under another context or under none, or a signature of the wrong length\n"
     "(no signature has one: untrusted input needs no try). ValueError when pk has the wrong\n"
     "length or the context is over 255 bytes, TypeError for arguments that are not bytes-like."},
    {"_time_c_calls", time_c_calls, METH_VARARGS, NULL},
    {NULL, NULL, 0, NULL}};

static struct PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    .m_name = "tavik._tavik",
    .m_doc = "The C extension of the tavik package; use the package tavik.",
    .m_size = -1,
    .m_methods = module_methods,
};

static int add_type(PyObject *m, PyTypeObject *type, const char *name) {
  if (PyType_Ready(type) < 0) return -1;
  return PyModule_AddObjectRef(m, name, (PyObject *)type);
}

PyMODINIT_FUNC PyInit__tavik(void) {
  PyObject *m = PyModule_Create(&module_def);
  if (!m) return NULL;
  Error = PyErr_NewExceptionWithDoc("tavik.Error", "A failure inside the library (not a misuse).", NULL, NULL);
  SigningError = Error ? PyErr_NewExceptionWithDoc("tavik.SigningError",
                                                    "Signing gave up at its attempt bound: the secret key is damaged.",
                                                    Error, NULL)
                       : NULL;
  RandomnessError = SigningError ? PyErr_NewExceptionWithDoc("tavik.RandomnessError",
                                                              "The operating system's random source failed.", Error, NULL)
                                 : NULL;
  if (!RandomnessError || PyModule_AddObjectRef(m, "Error", Error) < 0 ||
      PyModule_AddObjectRef(m, "SigningError", SigningError) < 0 ||
      PyModule_AddObjectRef(m, "RandomnessError", RandomnessError) < 0 ||
      add_type(m, &SecretKeyType, "SecretKey") < 0 || add_type(m, &ExpandedSecretKeyType, "ExpandedSecretKey") < 0 ||
      add_type(m, &ExpandedPublicKeyType, "ExpandedPublicKey") < 0 || add_type(m, &SignerType, "Signer") < 0 ||
      add_type(m, &VerifierType, "Verifier") < 0 || add_context_calls(m) < 0 || add_file_calls(m) < 0 ||
      PyModule_AddIntConstant(m, "PUBLIC_KEY_SIZE", TAVIK_PK_BYTES) < 0 ||
      PyModule_AddIntConstant(m, "SECRET_KEY_SIZE", TAVIK_SK_BYTES) < 0 ||
      PyModule_AddIntConstant(m, "SIGNATURE_SIZE", TAVIK_SIG_BYTES) < 0 ||
      PyModule_AddIntConstant(m, "SEED_SIZE", TAVIK_SEED_BYTES) < 0 ||
      PyModule_AddStringConstant(m, "library_version", tavik_version()) < 0) {
    Py_DECREF(m);
    return NULL;
  }
  return m;
}
