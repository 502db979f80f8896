/* Contexts and the message digest mu: the context argument of the signing and verifying calls,
   mu() and MuHasher, which hash a message where it lies, and sign_mu() / verify_mu(), which sign
   and verify a message known only by its mu. */
#include "tavik_ext.h"

#include <string.h>

int context_get(PyObject *obj, Input *in) {
  if (obj == NULL || obj == Py_None) {
    memset(in, 0, sizeof *in);
    return 0;
  }
  if (input_get(obj, "context", -1, 0, in) < 0) return -1;
  if (in->len > TAVIK_MAX_CONTEXT_BYTES) {
    PyErr_Format(PyExc_ValueError, "context must be at most %d bytes, not %zd", TAVIK_MAX_CONTEXT_BYTES, in->len);
    input_release(in);
    return -1;
  }
  return 0;
}

/* A fresh mu state for pk (1472 bytes) and the context; NULL with an exception set. */
static tavik_mu_state *mu_start(PyObject *pk_obj, PyObject *ctx_obj) {
  Input pk, ctx;
  if (input_get(pk_obj, "public key", TAVIK_PK_BYTES, 0, &pk) < 0) return NULL;
  if (context_get(ctx_obj, &ctx) < 0) return input_release(&pk), NULL;
  tavik_mu_state *st = alloc_aligned(sizeof *st);
  if (st && tavik_mu_init(st, pk.data, ctx.data, (uint64_t)ctx.len) != TAVIK_OK) {
    free_wiped(st, sizeof *st);
    st = NULL;
    raise_code(TAVIK_ILLEGAL_PARAMETER, "mu");
  }
  input_release(&ctx);
  input_release(&pk);
  return st;
}

static PyObject *mu_finish(tavik_mu_state *st) {
  PyObject *mu = PyBytes_FromStringAndSize(NULL, TAVIK_MU_BYTES);
  if (mu && tavik_mu_final(st, (uint8_t *)PyBytes_AS_STRING(mu)) != TAVIK_OK) {
    Py_CLEAR(mu);
    raise_code(TAVIK_ILLEGAL_PARAMETER, "mu");
  }
  return mu;
}

static PyObject *mu(PyObject *Py_UNUSED(module), PyObject *args, PyObject *kwds) {
  static char *kwlist[] = {"public_key", "message", "context", NULL};
  PyObject *pk_obj, *msg_obj, *ctx_obj = NULL;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO|$O:mu", kwlist, &pk_obj, &msg_obj, &ctx_obj)) return NULL;
  tavik_mu_state *st = mu_start(pk_obj, ctx_obj);
  if (!st) return NULL;
  Input msg;
  PyObject *out = NULL;
  if (input_get(msg_obj, "message", -1, 0, &msg) == 0) {
    int32_t r;
    Py_BEGIN_ALLOW_THREADS
    r = tavik_mu_update(st, msg.data, (uint64_t)msg.len);
    Py_END_ALLOW_THREADS
    out = r == TAVIK_OK ? mu_finish(st) : raise_code(r, "mu");
    input_release(&msg);
  }
  free_wiped(st, sizeof *st);
  return out;
}

static PyObject *MuHasher_new(PyTypeObject *type, PyObject *args, PyObject *kwds) {
  static char *kwlist[] = {"public_key", "context", NULL};
  PyObject *pk_obj, *ctx_obj = NULL;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|$O:MuHasher", kwlist, &pk_obj, &ctx_obj)) return NULL;
  tavik_mu_state *st = mu_start(pk_obj, ctx_obj);
  if (!st) return NULL;
  StreamObject *self = (StreamObject *)type->tp_alloc(type, 0);
  if (!self) return free_wiped(st, sizeof *st), NULL;
  self->st = st;
  return (PyObject *)self;
}

static PyObject *MuHasher_finalize(StreamObject *self, PyObject *Py_UNUSED(ignored)) {
  if (stream_claim(self) < 0) return NULL;
  PyObject *out = mu_finish((tavik_mu_state *)self->st);
  self->busy = 0;
  stream_end(self);
  return out;
}

/* sign_mu(sk, mu, *, deterministic=False) */
static PyObject *sign_mu(PyObject *Py_UNUSED(module), PyObject *args, PyObject *kwds) {
  static char *kwlist[] = {"sk", "mu", "deterministic", NULL};
  PyObject *key_obj, *mu_obj;
  int deterministic = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO|$p:sign_mu", kwlist, &key_obj, &mu_obj, &deterministic))
    return NULL;
  SecretKeyObject *sk;
  ExpandedObject *xsk;
  if (claim_signing_key(key_obj, "sign_mu()", &sk, &xsk) < 0) return NULL;
  Input mu;
  PyObject *sig = NULL;
  int32_t r = TAVIK_OK;
  if (input_get(mu_obj, "mu", TAVIK_MU_BYTES, 0, &mu) == 0) {
    sig = PyBytes_FromStringAndSize(NULL, TAVIK_SIG_BYTES);
    if (sig) {
      uint8_t *out = (uint8_t *)PyBytes_AS_STRING(sig);
      const tavik_expanded_sk *x = xsk ? (const tavik_expanded_sk *)xsk->mem : NULL;
      const uint8_t *key = sk ? sk->key : NULL;
      Py_BEGIN_ALLOW_THREADS
      if (x)
        r = deterministic ? tavik_sign_expanded_mu(x, mu.data, out) : tavik_sign_expanded_mu_hedged(x, mu.data, out);
      else
        r = deterministic ? tavik_sign_mu(key, mu.data, out) : tavik_sign_mu_hedged(key, mu.data, out);
      Py_END_ALLOW_THREADS
    }
    input_release(&mu);
  }
  release_signing_key(sk, xsk);
  if (!sig) return NULL;
  if (r != TAVIK_OK) {
    Py_DECREF(sig);
    if (r == TAVIK_ILLEGAL_PARAMETER) {
      /* The lengths were checked: the library refused the key. */
      PyErr_SetString(PyExc_ValueError,
                      xsk ? "sign_mu: the expanded secret key is damaged" : "sign_mu: the secret key is damaged");
      return NULL;
    }
    return raise_code(r, "sign_mu");
  }
  return sig;
}

/* verify_mu(pk, mu, sig) */
static PyObject *verify_mu(PyObject *Py_UNUSED(module), PyObject *args) {
  PyObject *pk_obj, *mu_obj, *sig_obj;
  if (!PyArg_ParseTuple(args, "OOO:verify_mu", &pk_obj, &mu_obj, &sig_obj)) return NULL;
  ExpandedObject *xpk = Py_IS_TYPE(pk_obj, &ExpandedPublicKeyType) ? (ExpandedObject *)pk_obj : NULL;
  Input pk = {0}, mu, sig;
  if (!xpk && (!PyObject_CheckBuffer(pk_obj) || PyUnicode_Check(pk_obj)))
    return PyErr_Format(PyExc_TypeError, "pk must be a bytes-like object or a tavik.ExpandedPublicKey, not %.100s",
                        Py_TYPE(pk_obj)->tp_name);
  if (!xpk && input_get(pk_obj, "public key", TAVIK_PK_BYTES, 0, &pk) < 0) return NULL;
  if (input_get(mu_obj, "mu", TAVIK_MU_BYTES, 0, &mu) < 0) return input_release(&pk), NULL;
  if (input_get(sig_obj, "signature", -1, 0, &sig) < 0) {
    input_release(&mu);
    input_release(&pk);
    return NULL;
  }
  int32_t r = TAVIK_ILLEGAL_PARAMETER;
  if (sig.len != TAVIK_SIG_BYTES) {
    r = TAVIK_INVALID_SIGNATURE; /* no signature has another length: untrusted input, a verdict */
  } else if (!xpk || expanded_acquire(xpk) == 0) {
    const tavik_expanded_pk *x = xpk ? (const tavik_expanded_pk *)xpk->mem : NULL;
    Py_BEGIN_ALLOW_THREADS
    r = x ? tavik_verify_expanded_mu(x, sig.data, (uint64_t)sig.len, mu.data)
          : tavik_verify_mu(pk.data, sig.data, (uint64_t)sig.len, mu.data);
    Py_END_ALLOW_THREADS
    if (xpk) expanded_release(xpk);
  } else {
    xpk = NULL; /* closed: the exception is set */
  }
  input_release(&sig);
  input_release(&mu);
  input_release(&pk);
  if (PyErr_Occurred()) return NULL;
  if (r == TAVIK_OK) Py_RETURN_TRUE;
  if (r == TAVIK_INVALID_SIGNATURE) Py_RETURN_FALSE;
  if (r == TAVIK_ILLEGAL_PARAMETER && xpk) {
    PyErr_SetString(PyExc_ValueError, "verify_mu: the expanded public key is damaged");
    return NULL;
  }
  return raise_code(r, "verify_mu");
}

static PyMethodDef MuHasher_methods[] = {
    {"update", (PyCFunction)Stream_update, METH_O,
     "update(data) -> None\n--\n\nAppend a piece of the message (any length, empty too)."},
    {"finalize", (PyCFunction)MuHasher_finalize, METH_NOARGS,
     "finalize() -> bytes\n--\n\nThe 48-byte mu of the pieces joined, as mu() gives it; ends the MuHasher."},
    {"close", (PyCFunction)Stream_close, METH_NOARGS, "close() -> None\n--\n\nGive up and free the state."},
    {"__enter__", SecretKey_enter, METH_NOARGS, NULL},
    {"__exit__", (PyCFunction)Stream_exit, METH_VARARGS, NULL},
    {"__reduce__", SecretKey_reduce, METH_NOARGS, NULL},
    {"__reduce_ex__", (PyCFunction)SecretKey_reduce, METH_VARARGS, NULL},
    {NULL, NULL, 0, NULL}};

PyTypeObject MuHasherType = {
    PyVarObject_HEAD_INIT(NULL, 0)
    .tp_name = "tavik.MuHasher",
    .tp_basicsize = sizeof(StreamObject),
    .tp_dealloc = (destructor)Stream_dealloc,
    .tp_repr = (reprfunc)Stream_repr,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = "MuHasher(public_key, *, context=b\"\")\n--\n\n"
              "mu() of a message given in pieces: update() each piece, then finalize(). Needs only\n"
              "the public key; the context is as sign()'s.",
    .tp_methods = MuHasher_methods,
    .tp_new = MuHasher_new,
};

static PyMethodDef context_methods[] = {
    {"mu", (PyCFunction)(void (*)(void))mu, METH_VARARGS | METH_KEYWORDS,
     "mu(public_key, message, *, context=b\"\") -> bytes\n--\n\n"
     "The 48-byte digest of message (bytes-like, any length) that signing under public_key's\n"
     "secret key and the context (0 to 255 bytes, else ValueError) signs. It needs only the\n"
     "public key: sign_mu(sk, mu(pk, m, context=c), deterministic=True) equals\n"
     "sign(sk, m, deterministic=True, context=c), and verify_mu(pk, mu(pk, m, context=c), sig)\n"
     "equals verify(pk, m, sig, context=c)."},
    {"sign_mu", (PyCFunction)(void (*)(void))sign_mu, METH_VARARGS | METH_KEYWORDS,
     "sign_mu(sk, mu, *, deterministic=False) -> bytes\n--\n\n"
     "The signature of the message whose mu() is mu (48 bytes, else ValueError), under a\n"
     "SecretKey or an ExpandedSecretKey; the context is the one mu was made with. Hedged unless\n"
     "deterministic=True, and raising as sign() does."},
    {"verify_mu", verify_mu, METH_VARARGS,
     "verify_mu(pk, mu, sig) -> bool\n--\n\n"
     "verify() of the message whose mu() is mu (48 bytes), under pk (1472 bytes, or an\n"
     "ExpandedPublicKey) and the context mu was made with. False for a signature of the wrong\n"
     "length; ValueError for a key or mu of the wrong length."},
    {NULL, NULL, 0, NULL}};

int add_context_calls(PyObject *m) {
  if (PyType_Ready(&MuHasherType) < 0 || PyModule_AddObjectRef(m, "MuHasher", (PyObject *)&MuHasherType) < 0 ||
      PyModule_AddIntConstant(m, "MU_SIZE", TAVIK_MU_BYTES) < 0 ||
      PyModule_AddIntConstant(m, "MAX_CONTEXT_SIZE", TAVIK_MAX_CONTEXT_BYTES) < 0)
    return -1;
  return PyModule_AddFunctions(m, context_methods);
}
