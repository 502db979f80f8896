/* tavik._hybrid: the hybrid library's calls (tavik beside Ed25519) for tavik.hybrid, which checks
   the arguments' types and raises the package's exceptions. Every call here takes its arguments
   positionally, checks each buffer's length again before the library reads it, and returns the
   library's code with its results: the Python side turns codes into exceptions. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string.h>

#include "tavik_hybrid.h"

/* Zeroes n bytes at p in a way the compiler keeps. */
static void wipe_bytes(void *p, size_t n) {
  volatile uint8_t *v = (volatile uint8_t *)p;
  while (n--) *v++ = 0;
}

static const char SIGN_CAPSULE[] = "tavik._hybrid.sign_state";
static const char VERIFY_CAPSULE[] = "tavik._hybrid.verify_state";

static void sign_capsule_free(PyObject *cap) {
  void *st = PyCapsule_GetPointer(cap, SIGN_CAPSULE);
  if (st) {
    tavik_hybrid_sign_state_wipe((tavik_hybrid_sign_state *)st);
    PyMem_Free(st);
  }
}

static void verify_capsule_free(PyObject *cap) {
  void *st = PyCapsule_GetPointer(cap, VERIFY_CAPSULE);
  if (st) {
    wipe_bytes(st, sizeof(tavik_hybrid_verify_state));
    PyMem_Free(st);
  }
}

/* A context buffer of at most TAVIK_HYBRID_MAX_CONTEXT_BYTES and buffers of their exact sizes
   pass; anything else is the library's -2 without calling it. */
static int sized(const Py_buffer *b, Py_ssize_t n) { return b->len == n; }

/* keygen(seed or None) -> (code, pk, sk) with sk a bytearray the caller wipes. */
static PyObject *h_keygen(PyObject *m, PyObject *args) {
  (void)m;
  PyObject *seed_obj;
  if (!PyArg_ParseTuple(args, "O", &seed_obj)) return NULL;
  Py_buffer seed = {0};
  if (seed_obj != Py_None && PyObject_GetBuffer(seed_obj, &seed, PyBUF_SIMPLE) < 0) return NULL;
  PyObject *pk = PyBytes_FromStringAndSize(NULL, TAVIK_HYBRID_PK_BYTES);
  PyObject *sk = PyByteArray_FromStringAndSize(NULL, TAVIK_HYBRID_SK_BYTES);
  int32_t r = TAVIK_HYBRID_ILLEGAL_PARAMETER;
  if (pk && sk && (seed_obj == Py_None || sized(&seed, TAVIK_HYBRID_SEED_BYTES))) {
    uint8_t *p = (uint8_t *)PyBytes_AS_STRING(pk), *s = (uint8_t *)PyByteArray_AS_STRING(sk);
    const uint8_t *sd = seed_obj == Py_None ? NULL : (const uint8_t *)seed.buf;
    Py_BEGIN_ALLOW_THREADS
    r = sd ? tavik_hybrid_keygen_from_seed(p, s, sd) : tavik_hybrid_keygen(p, s);
    Py_END_ALLOW_THREADS
  }
  if (seed_obj != Py_None) PyBuffer_Release(&seed);
  if (!pk || !sk) {
    Py_XDECREF(pk);
    Py_XDECREF(sk);
    return NULL;
  }
  return Py_BuildValue("(iNN)", (int)r, pk, sk);
}

/* keygen_from_keys(tavik_pk, tavik_sk, ed25519_pk, ed25519_seed) -> (code, pk, sk) */
static PyObject *h_keygen_from_keys(PyObject *m, PyObject *args) {
  (void)m;
  Py_buffer tpk, tsk, epk, eseed;
  if (!PyArg_ParseTuple(args, "y*y*y*y*", &tpk, &tsk, &epk, &eseed)) return NULL;
  PyObject *pk = PyBytes_FromStringAndSize(NULL, TAVIK_HYBRID_PK_BYTES);
  PyObject *sk = PyByteArray_FromStringAndSize(NULL, TAVIK_HYBRID_SK_BYTES);
  int32_t r = TAVIK_HYBRID_ILLEGAL_PARAMETER;
  if (pk && sk && sized(&tpk, TAVIK_PK_BYTES) && sized(&tsk, TAVIK_SK_BYTES) &&
      sized(&epk, TAVIK_HYBRID_ED25519_PK_BYTES) && sized(&eseed, TAVIK_HYBRID_ED25519_SEED_BYTES)) {
    uint8_t *p = (uint8_t *)PyBytes_AS_STRING(pk), *s = (uint8_t *)PyByteArray_AS_STRING(sk);
    Py_BEGIN_ALLOW_THREADS
    r = tavik_hybrid_keygen_from_keys(p, s, tpk.buf, tsk.buf, epk.buf, eseed.buf);
    Py_END_ALLOW_THREADS
  }
  PyBuffer_Release(&tpk);
  PyBuffer_Release(&tsk);
  PyBuffer_Release(&epk);
  PyBuffer_Release(&eseed);
  if (!pk || !sk) {
    Py_XDECREF(pk);
    Py_XDECREF(sk);
    return NULL;
  }
  return Py_BuildValue("(iNN)", (int)r, pk, sk);
}

/* pk_from_sk(sk) -> (code, pk) */
static PyObject *h_pk_from_sk(PyObject *m, PyObject *args) {
  (void)m;
  Py_buffer sk;
  if (!PyArg_ParseTuple(args, "y*", &sk)) return NULL;
  PyObject *pk = PyBytes_FromStringAndSize(NULL, TAVIK_HYBRID_PK_BYTES);
  int32_t r = TAVIK_HYBRID_ILLEGAL_PARAMETER;
  if (pk && sized(&sk, TAVIK_HYBRID_SK_BYTES)) {
    uint8_t *p = (uint8_t *)PyBytes_AS_STRING(pk);
    Py_BEGIN_ALLOW_THREADS
    r = tavik_hybrid_pk_from_sk(p, sk.buf);
    Py_END_ALLOW_THREADS
  }
  PyBuffer_Release(&sk);
  if (!pk) return NULL;
  return Py_BuildValue("(iN)", (int)r, pk);
}

/* sign(sk, context, msg, deterministic) -> (code, sig) */
static PyObject *h_sign(PyObject *m, PyObject *args) {
  (void)m;
  Py_buffer sk, ctx, msg;
  int deterministic;
  if (!PyArg_ParseTuple(args, "y*y*y*p", &sk, &ctx, &msg, &deterministic)) return NULL;
  PyObject *sig = PyBytes_FromStringAndSize(NULL, TAVIK_HYBRID_SIG_BYTES);
  int32_t r = TAVIK_HYBRID_ILLEGAL_PARAMETER;
  if (sig && sized(&sk, TAVIK_HYBRID_SK_BYTES)) {
    uint8_t *out = (uint8_t *)PyBytes_AS_STRING(sig);
    Py_BEGIN_ALLOW_THREADS
    r = deterministic ? tavik_hybrid_sign_deterministic(sk.buf, ctx.buf, (uint64_t)ctx.len, msg.buf,
                                                        (uint64_t)msg.len, out)
                      : tavik_hybrid_sign(sk.buf, ctx.buf, (uint64_t)ctx.len, msg.buf, (uint64_t)msg.len, out);
    Py_END_ALLOW_THREADS
  }
  PyBuffer_Release(&sk);
  PyBuffer_Release(&ctx);
  PyBuffer_Release(&msg);
  if (!sig) return NULL;
  return Py_BuildValue("(iN)", (int)r, sig);
}

/* verify(pk, context, sig, msg) -> (code, failed halves) */
static PyObject *h_verify(PyObject *m, PyObject *args) {
  (void)m;
  Py_buffer pk, ctx, sig, msg;
  if (!PyArg_ParseTuple(args, "y*y*y*y*", &pk, &ctx, &sig, &msg)) return NULL;
  int32_t r = TAVIK_HYBRID_ILLEGAL_PARAMETER;
  uint32_t failed = 0;
  if (sized(&pk, TAVIK_HYBRID_PK_BYTES)) {
    Py_BEGIN_ALLOW_THREADS
    r = tavik_hybrid_verify_halves(pk.buf, ctx.buf, (uint64_t)ctx.len, sig.buf, (uint64_t)sig.len, msg.buf,
                                   (uint64_t)msg.len, &failed);
    Py_END_ALLOW_THREADS
  }
  PyBuffer_Release(&pk);
  PyBuffer_Release(&ctx);
  PyBuffer_Release(&sig);
  PyBuffer_Release(&msg);
  return Py_BuildValue("(iI)", (int)r, (unsigned)failed);
}

/* sign_init(sk, context, deterministic) -> (code, state or None) */
static PyObject *h_sign_init(PyObject *m, PyObject *args) {
  (void)m;
  Py_buffer sk, ctx;
  int deterministic;
  if (!PyArg_ParseTuple(args, "y*y*p", &sk, &ctx, &deterministic)) return NULL;
  tavik_hybrid_sign_state *st = PyMem_Malloc(sizeof *st);
  int32_t r = TAVIK_HYBRID_ILLEGAL_PARAMETER;
  if (st && sized(&sk, TAVIK_HYBRID_SK_BYTES))
    r = deterministic ? tavik_hybrid_sign_init_deterministic(st, sk.buf, ctx.buf, (uint64_t)ctx.len)
                      : tavik_hybrid_sign_init(st, sk.buf, ctx.buf, (uint64_t)ctx.len);
  PyBuffer_Release(&sk);
  PyBuffer_Release(&ctx);
  if (!st) return PyErr_NoMemory();
  if (r != TAVIK_HYBRID_OK) {
    tavik_hybrid_sign_state_wipe(st);
    PyMem_Free(st);
    return Py_BuildValue("(iO)", (int)r, Py_None);
  }
  PyObject *cap = PyCapsule_New(st, SIGN_CAPSULE, sign_capsule_free);
  if (!cap) {
    tavik_hybrid_sign_state_wipe(st);
    PyMem_Free(st);
    return NULL;
  }
  return Py_BuildValue("(iN)", (int)r, cap);
}

/* verify_init(pk, context) -> (code, state or None) */
static PyObject *h_verify_init(PyObject *m, PyObject *args) {
  (void)m;
  Py_buffer pk, ctx;
  if (!PyArg_ParseTuple(args, "y*y*", &pk, &ctx)) return NULL;
  tavik_hybrid_verify_state *st = PyMem_Malloc(sizeof *st);
  int32_t r = TAVIK_HYBRID_ILLEGAL_PARAMETER;
  if (st && sized(&pk, TAVIK_HYBRID_PK_BYTES)) r = tavik_hybrid_verify_init(st, pk.buf, ctx.buf, (uint64_t)ctx.len);
  PyBuffer_Release(&pk);
  PyBuffer_Release(&ctx);
  if (!st) return PyErr_NoMemory();
  if (r != TAVIK_HYBRID_OK) {
    PyMem_Free(st);
    return Py_BuildValue("(iO)", (int)r, Py_None);
  }
  PyObject *cap = PyCapsule_New(st, VERIFY_CAPSULE, verify_capsule_free);
  if (!cap) {
    PyMem_Free(st);
    return NULL;
  }
  return Py_BuildValue("(iN)", (int)r, cap);
}

/* update(state, data) -> code, for either kind of state. The interpreter lock stays held: two
   threads never run one state at once. */
static PyObject *h_update(PyObject *m, PyObject *args) {
  (void)m;
  PyObject *cap;
  Py_buffer data;
  if (!PyArg_ParseTuple(args, "Oy*", &cap, &data)) return NULL;
  int32_t r;
  if (PyCapsule_IsValid(cap, SIGN_CAPSULE))
    r = tavik_hybrid_sign_update(PyCapsule_GetPointer(cap, SIGN_CAPSULE), data.buf, (uint64_t)data.len);
  else if (PyCapsule_IsValid(cap, VERIFY_CAPSULE))
    r = tavik_hybrid_verify_update(PyCapsule_GetPointer(cap, VERIFY_CAPSULE), data.buf, (uint64_t)data.len);
  else {
    PyBuffer_Release(&data);
    PyErr_SetString(PyExc_TypeError, "not a hybrid state");
    return NULL;
  }
  PyBuffer_Release(&data);
  return PyLong_FromLong(r);
}

/* sign_final(state) -> (code, sig) */
static PyObject *h_sign_final(PyObject *m, PyObject *cap) {
  (void)m;
  tavik_hybrid_sign_state *st = PyCapsule_GetPointer(cap, SIGN_CAPSULE);
  if (!st) return NULL;
  PyObject *sig = PyBytes_FromStringAndSize(NULL, TAVIK_HYBRID_SIG_BYTES);
  if (!sig) return NULL;
  const int32_t r = tavik_hybrid_sign_final(st, (uint8_t *)PyBytes_AS_STRING(sig));
  return Py_BuildValue("(iN)", (int)r, sig);
}

/* verify_final(state, sig) -> (code, failed halves) */
static PyObject *h_verify_final(PyObject *m, PyObject *args) {
  (void)m;
  PyObject *cap;
  Py_buffer sig;
  if (!PyArg_ParseTuple(args, "Oy*", &cap, &sig)) return NULL;
  tavik_hybrid_verify_state *st = PyCapsule_GetPointer(cap, VERIFY_CAPSULE);
  if (!st) {
    PyBuffer_Release(&sig);
    return NULL;
  }
  uint32_t failed = 0;
  const int32_t r = tavik_hybrid_verify_final_halves(st, sig.buf, (uint64_t)sig.len, &failed);
  PyBuffer_Release(&sig);
  return Py_BuildValue("(iI)", (int)r, (unsigned)failed);
}

static PyMethodDef methods[] = {
    {"keygen", h_keygen, METH_VARARGS, NULL},
    {"keygen_from_keys", h_keygen_from_keys, METH_VARARGS, NULL},
    {"pk_from_sk", h_pk_from_sk, METH_VARARGS, NULL},
    {"sign", h_sign, METH_VARARGS, NULL},
    {"verify", h_verify, METH_VARARGS, NULL},
    {"sign_init", h_sign_init, METH_VARARGS, NULL},
    {"verify_init", h_verify_init, METH_VARARGS, NULL},
    {"update", h_update, METH_VARARGS, NULL},
    {"sign_final", h_sign_final, METH_O, NULL},
    {"verify_final", h_verify_final, METH_VARARGS, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "tavik._hybrid",
                                        "Hybrid signatures (tavik and Ed25519): the library's calls.", -1, methods,
                                        NULL, NULL, NULL, NULL};

PyMODINIT_FUNC PyInit__hybrid(void) {
  PyObject *m = PyModule_Create(&module_def);
  if (!m) return NULL;
  static const uint8_t oid_der[] = TAVIK_HYBRID_OID_DER;
  PyObject *der = PyBytes_FromStringAndSize((const char *)oid_der, sizeof oid_der);
  if (PyModule_AddIntConstant(m, "PUBLIC_KEY_SIZE", TAVIK_HYBRID_PK_BYTES) < 0 ||
      PyModule_AddIntConstant(m, "SECRET_KEY_SIZE", TAVIK_HYBRID_SK_BYTES) < 0 ||
      PyModule_AddIntConstant(m, "SIGNATURE_SIZE", TAVIK_HYBRID_SIG_BYTES) < 0 ||
      PyModule_AddIntConstant(m, "SEED_SIZE", TAVIK_HYBRID_SEED_BYTES) < 0 ||
      PyModule_AddIntConstant(m, "MAX_CONTEXT_SIZE", TAVIK_HYBRID_MAX_CONTEXT_BYTES) < 0 ||
      PyModule_AddIntConstant(m, "TAVIK_HALF", TAVIK_HYBRID_TAVIK_HALF) < 0 ||
      PyModule_AddIntConstant(m, "ED25519_HALF", TAVIK_HYBRID_ED25519_HALF) < 0 ||
      PyModule_AddStringConstant(m, "OID", TAVIK_HYBRID_OID_TEXT) < 0 || !der ||
      PyModule_AddObject(m, "OID_DER", der) < 0) {
    Py_XDECREF(der);
    Py_DECREF(m);
    return NULL;
  }
  return m;
}
