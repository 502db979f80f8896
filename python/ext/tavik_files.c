/* Keys in the containers other programs read (PEM and DER, through tavik_der.h) and the tavik
   tool's public key and signature files (through tavik_files.h): the library's own readers and
   writers, so that Python, the tool and C applications accept and refuse the same texts. All of it
   is short work on small inputs and runs with the interpreter lock held. */
#include <string.h>

#include "tavik_der.h"
#include "tavik_ext.h"
#include "tavik_files.h"

/* Text given as str (its UTF-8) or as a bytes-like object. 0, or -1 with an exception set. */
static int text_get(PyObject *obj, const char *name, int secret, Input *in) {
  if (PyUnicode_Check(obj)) {
    memset(in, 0, sizeof *in);
    const char *p = PyUnicode_AsUTF8AndSize(obj, &in->len);
    in->data = (const uint8_t *)p;
    return p ? 0 : -1;
  }
  return input_get(obj, name, -1, secret, in);
}

static PyObject *refused(const char *what, int32_t r, const char *why) {
  if (r == TAVIK_ILLEGAL_PARAMETER) return raise_code(r, what);
  return PyErr_Format(PyExc_ValueError, "%s: %s", what, why), NULL;
}

static PyObject *public_key_to_pem(PyObject *Py_UNUSED(m), PyObject *pk_obj) {
  Input pk;
  if (input_get(pk_obj, "public key", TAVIK_PK_BYTES, 0, &pk) < 0) return NULL;
  char out[TAVIK_PK_PEM_MAX_BYTES];
  size_t n = 0;
  const int32_t r = tavik_pk_to_pem(out, sizeof out, &n, pk.data);
  input_release(&pk);
  return r == TAVIK_OK ? PyUnicode_FromStringAndSize(out, (Py_ssize_t)n) : raise_code(r, "public_key_to_pem");
}

static PyObject *public_key_to_der(PyObject *Py_UNUSED(m), PyObject *pk_obj) {
  Input pk;
  if (input_get(pk_obj, "public key", TAVIK_PK_BYTES, 0, &pk) < 0) return NULL;
  uint8_t out[TAVIK_SPKI_MAX_BYTES];
  size_t n = 0;
  const int32_t r = tavik_pk_to_der(out, sizeof out, &n, pk.data);
  input_release(&pk);
  return r == TAVIK_OK ? PyBytes_FromStringAndSize((const char *)out, (Py_ssize_t)n) : raise_code(r, "public_key_to_der");
}

static PyObject *public_key_from(PyObject *obj, int pem) {
  Input in;
  if ((pem ? text_get(obj, "text", 0, &in) : input_get(obj, "der", -1, 0, &in)) < 0) return NULL;
  uint8_t pk[TAVIK_PK_BYTES];
  const int32_t r = pem ? tavik_pk_from_pem(pk, (const char *)in.data, (size_t)in.len)
                        : tavik_pk_from_der(pk, in.data, (size_t)in.len);
  input_release(&in);
  if (r != TAVIK_OK) return refused(pem ? "public_key_from_pem" : "public_key_from_der", r, tavik_der_error_string(r));
  return PyBytes_FromStringAndSize((const char *)pk, TAVIK_PK_BYTES);
}
static PyObject *public_key_from_pem(PyObject *m, PyObject *o) { return (void)m, public_key_from(o, 1); }
static PyObject *public_key_from_der(PyObject *m, PyObject *o) { return (void)m, public_key_from(o, 0); }

/* The container of a SecretKey: the key alone (the package keeps no seed). Returned as bytes, which
   cannot be wiped: the caller decides where they go. */
static PyObject *secret_key_to(PyObject *sk_obj, int pem) {
  SecretKeyObject *sk = claim_secret_key(sk_obj, "sk");
  if (!sk) return NULL;
  uint8_t out[TAVIK_SK_PEM_MAX_BYTES];
  size_t n = 0;
  const int32_t r = pem ? tavik_sk_to_pem((char *)out, sizeof out, &n, NULL, sk->key)
                        : tavik_sk_to_der(out, sizeof out, &n, NULL, sk->key);
  secret_key_release(sk);
  PyObject *result = r == TAVIK_OK ? PyBytes_FromStringAndSize((const char *)out, (Py_ssize_t)n)
                                   : raise_code(r, pem ? "secret_key_to_pem" : "secret_key_to_der");
  wipe(out, sizeof out);
  return result;
}
static PyObject *secret_key_to_pem(PyObject *m, PyObject *o) { return (void)m, secret_key_to(o, 1); }
static PyObject *secret_key_to_der(PyObject *m, PyObject *o) { return (void)m, secret_key_to(o, 0); }

/* A SecretKey from a container holding the key, its seed or both (the key made from a seed alone);
   the decoder checks the key against its own fields and a seed against the key. */
static PyObject *secret_key_from(PyObject *obj, int pem) {
  Input in;
  if ((pem ? text_get(obj, "text", 1, &in) : input_get(obj, "der", -1, 1, &in)) < 0) return NULL;
  SecretKeyObject *sk = secret_key_new_empty();
  if (!sk) return input_release(&in), NULL;
  const int32_t r = pem ? tavik_sk_from_pem(sk->key, NULL, NULL, (const char *)in.data, (size_t)in.len)
                        : tavik_sk_from_der(sk->key, NULL, NULL, in.data, (size_t)in.len);
  input_release(&in);
  if (r != TAVIK_OK) {
    Py_DECREF(sk);
    return refused(pem ? "secret_key_from_pem" : "secret_key_from_der", r, tavik_der_error_string(r));
  }
  return (PyObject *)sk;
}
static PyObject *secret_key_from_pem(PyObject *m, PyObject *o) { return (void)m, secret_key_from(o, 1); }
static PyObject *secret_key_from_der(PyObject *m, PyObject *o) { return (void)m, secret_key_from(o, 0); }

/* ---- The tool's files ---- */

static PyObject *public_key_to_tavik(PyObject *Py_UNUSED(m), PyObject *pk_obj) {
  Input pk;
  if (input_get(pk_obj, "public key", TAVIK_PK_BYTES, 0, &pk) < 0) return NULL;
  tavik_public_key_file f;
  char out[TAVIK_PUBLIC_KEY_FILE_CHARS];
  size_t n = 0;
  int32_t r = tavik_public_key_file_from_key(&f, pk.data);
  input_release(&pk);
  if (r == TAVIK_OK) r = tavik_public_key_file_format(out, sizeof out, &n, &f);
  return r == TAVIK_OK ? PyUnicode_FromStringAndSize(out, (Py_ssize_t)n) : raise_code(r, "public_key_to_tavik");
}

static PyObject *public_key_from_tavik(PyObject *Py_UNUSED(m), PyObject *obj) {
  Input in;
  if (text_get(obj, "text", 0, &in) < 0) return NULL;
  tavik_public_key_file f;
  const int32_t r = tavik_public_key_file_parse(&f, (const char *)in.data, (size_t)in.len);
  input_release(&in);
  if (r != TAVIK_OK) return refused("public_key_from_tavik", r, tavik_file_error_string(r));
  return PyBytes_FromStringAndSize((const char *)f.pk, TAVIK_PK_BYTES);
}

/* _signature_file_parse(text) -> (version, key_id, signature, trusted_comment, untrusted_comment) */
static PyObject *signature_file_parse(PyObject *Py_UNUSED(m), PyObject *obj) {
  Input in;
  if (text_get(obj, "text", 0, &in) < 0) return NULL;
  tavik_signature_file *f = PyMem_Malloc(sizeof *f);
  if (!f) return input_release(&in), PyErr_NoMemory();
  const int32_t r = tavik_signature_file_parse(f, (const char *)in.data, (size_t)in.len);
  input_release(&in);
  PyObject *t = r != TAVIK_OK ? refused("SignatureFile.from_text", r, tavik_file_error_string(r))
                              : Py_BuildValue("Isy#ss", (unsigned)f->version, f->key_id, (const char *)f->sig,
                                              (Py_ssize_t)TAVIK_SIG_BYTES, f->trusted_comment, f->untrusted_comment);
  PyMem_Free(f);
  return t;
}

/* Fills f from (version, key_id, signature, trusted_comment, untrusted_comment): 0, or -1 with an
   exception set (a comment longer than the file's bound, a wrong length). */
static int signature_file_from_tuple(PyObject *args, tavik_signature_file *f) {
  unsigned version;
  const char *id, *trusted, *untrusted;
  Py_ssize_t idlen, tlen, ulen;
  PyObject *sig_obj;
  if (!PyArg_ParseTuple(args, "Is#Os#s#", &version, &id, &idlen, &sig_obj, &trusted, &tlen, &untrusted, &ulen))
    return -1;
  if (idlen != 16 || tlen > TAVIK_FILE_COMMENT_MAX || ulen > TAVIK_FILE_COMMENT_MAX) {
    PyErr_Format(PyExc_ValueError, "a key id of 16 hex digits and comments of at most %d bytes expected",
                 TAVIK_FILE_COMMENT_MAX);
    return -1;
  }
  Input sig;
  if (input_get(sig_obj, "signature", TAVIK_SIG_BYTES, 0, &sig) < 0) return -1;
  memset(f, 0, sizeof *f);
  f->version = version;
  memcpy(f->key_id, id, 17);
  memcpy(f->sig, sig.data, TAVIK_SIG_BYTES);
  input_release(&sig);
  memcpy(f->trusted_comment, trusted, (size_t)tlen + 1);
  memcpy(f->untrusted_comment, untrusted, (size_t)ulen + 1);
  f->trusted_comment_len = (uint32_t)tlen;
  f->untrusted_comment_len = (uint32_t)ulen;
  return 0;
}

/* _signature_file_format(version, key_id, signature, trusted_comment, untrusted_comment) -> str */
static PyObject *signature_file_format(PyObject *Py_UNUSED(m), PyObject *args) {
  tavik_signature_file *f = PyMem_Malloc(sizeof *f);
  char *out = PyMem_Malloc(TAVIK_SIGNATURE_FILE_MAX_CHARS);
  PyObject *t = NULL;
  if (!f || !out) {
    PyErr_NoMemory();
  } else if (signature_file_from_tuple(args, f) == 0) {
    size_t n = 0;
    const int32_t r = tavik_signature_file_format(out, TAVIK_SIGNATURE_FILE_MAX_CHARS, &n, f);
    if (r == TAVIK_OK)
      t = PyUnicode_FromStringAndSize(out, (Py_ssize_t)n);
    else
      PyErr_SetString(PyExc_ValueError, "SignatureFile.to_text: a version 3 signature needs a key id of 16 lower-case "
                                        "hex digits and comments of one line without control characters");
  }
  PyMem_Free(f);
  PyMem_Free(out);
  return t;
}

/* _file_signer(sk, trusted_comment) -> Signer: the tool's version 3 form (the comment bound first,
   then the file's bytes through update()), hedged. */
static PyObject *file_signer(PyObject *Py_UNUSED(m), PyObject *args) {
  PyObject *sk_obj;
  const char *comment;
  Py_ssize_t len;
  if (!PyArg_ParseTuple(args, "Os#:_file_signer", &sk_obj, &comment, &len)) return NULL;
  SecretKeyObject *sk = claim_secret_key(sk_obj, "sk");
  if (!sk) return NULL;
  StreamObject *self = (StreamObject *)SignerType.tp_alloc(&SignerType, 0);
  tavik_sign_state *st = self ? alloc_aligned(sizeof *st) : NULL;
  if (!st) {
    secret_key_release(sk);
    Py_XDECREF(self);
    return NULL;
  }
  self->st = st;
  const int32_t r = tavik_file_sign_init_hedged(st, sk->key, comment, (size_t)len);
  secret_key_release(sk);
  if (r != TAVIK_OK) {
    Py_DECREF(self);
    PyErr_SetString(PyExc_ValueError,
                    "the trusted comment is over 1024 bytes or holds a control character, or the key is damaged");
    return NULL;
  }
  return (PyObject *)self;
}

/* ---- _FileVerifier: the library's streamed verification of the tool's signatures ---- */

typedef struct {
  PyObject_HEAD
  tavik_file_verify_state *st; /* NULL once finished */
  int32_t init;                /* what init said: TAVIK_OK, or the verdict already reached */
} FileVerifierObject;

static PyObject *FileVerifier_new(PyTypeObject *type, PyObject *args, PyObject *kwds) {
  static char *kwlist[] = {"pk", "signature_file", "flags", NULL};
  PyObject *pk_obj, *sig_tuple;
  unsigned flags = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO!I:_FileVerifier", kwlist, &pk_obj, &PyTuple_Type, &sig_tuple, &flags))
    return NULL;
  Input pk;
  if (input_get(pk_obj, "public key", TAVIK_PK_BYTES, 0, &pk) < 0) return NULL;
  tavik_public_key_file *k = PyMem_Malloc(sizeof *k);
  tavik_signature_file *f = PyMem_Malloc(sizeof *f);
  FileVerifierObject *self = NULL;
  if (!k || !f) {
    PyErr_NoMemory();
  } else if (tavik_public_key_file_from_key(k, pk.data) == TAVIK_OK && signature_file_from_tuple(sig_tuple, f) == 0 &&
             (self = (FileVerifierObject *)type->tp_alloc(type, 0)) != NULL &&
             (self->st = alloc_aligned(sizeof *self->st)) != NULL) {
    self->init = tavik_file_verify_init_flags(self->st, k, f, flags);
    if (self->init == TAVIK_ILLEGAL_PARAMETER) {
      Py_CLEAR(self);
      PyErr_SetString(PyExc_ValueError, "a signature version this library does not read, or unknown flags");
    }
  } else {
    Py_CLEAR(self);
  }
  input_release(&pk);
  PyMem_Free(k);
  PyMem_Free(f);
  return (PyObject *)self;
}

static void file_verifier_end(FileVerifierObject *self) {
  free_wiped(self->st, sizeof *self->st);
  self->st = NULL;
}

static void FileVerifier_dealloc(FileVerifierObject *self) {
  file_verifier_end(self);
  Py_TYPE(self)->tp_free((PyObject *)self);
}

static PyObject *FileVerifier_update(FileVerifierObject *self, PyObject *data) {
  if (!self->st) return PyErr_SetString(PyExc_ValueError, "this FileVerifier is finished"), NULL;
  Input in;
  if (input_get(data, "data", -1, 0, &in) < 0) return NULL;
  const int32_t r = self->init == TAVIK_OK ? tavik_file_verify_update(self->st, in.data, (size_t)in.len) : TAVIK_OK;
  input_release(&in);
  return r == TAVIK_OK ? Py_NewRef(Py_None) : raise_code(r, "update");
}

/* finalize() -> int: the library's code (0 valid, 1 invalid, TAVIK_FILE_OTHER_KEY,
   TAVIK_FILE_LEGACY_VERSION, TAVIK_FILE_LEGACY_LABELLED); ends the verifier. */
static PyObject *FileVerifier_finalize(FileVerifierObject *self, PyObject *Py_UNUSED(ignored)) {
  if (!self->st) return PyErr_SetString(PyExc_ValueError, "this FileVerifier is finished"), NULL;
  const int32_t r = self->init == TAVIK_OK ? tavik_file_verify_final(self->st) : self->init;
  file_verifier_end(self);
  if (r == TAVIK_ILLEGAL_PARAMETER) return raise_code(r, "finalize");
  return PyLong_FromLong(r);
}

static PyMethodDef FileVerifier_methods[] = {
    {"update", (PyCFunction)FileVerifier_update, METH_O, NULL},
    {"finalize", (PyCFunction)FileVerifier_finalize, METH_NOARGS, NULL},
    {NULL, NULL, 0, NULL}};

static PyTypeObject FileVerifierType = {
    PyVarObject_HEAD_INIT(NULL, 0)
    .tp_name = "tavik._tavik._FileVerifier",
    .tp_basicsize = sizeof(FileVerifierObject),
    .tp_dealloc = (destructor)FileVerifier_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = "The library's streamed verification of a tool signature; use tavik.FileVerifier.",
    .tp_methods = FileVerifier_methods,
    .tp_new = FileVerifier_new,
};

static PyObject *file_error_string(PyObject *Py_UNUSED(m), PyObject *code) {
  const long c = PyLong_AsLong(code);
  if (c == -1 && PyErr_Occurred()) return NULL;
  return PyUnicode_FromString(tavik_file_error_string((int32_t)c));
}

static PyMethodDef file_methods[] = {
    {"public_key_to_pem", public_key_to_pem, METH_O,
     "public_key_to_pem(pk) -> str\n--\n\nThe public key as a PEM \"PUBLIC KEY\" (a SubjectPublicKeyInfo)."},
    {"public_key_from_pem", public_key_from_pem, METH_O,
     "public_key_from_pem(text) -> bytes\n--\n\nThe public key of a PEM \"PUBLIC KEY\" (str or bytes); ValueError\n"
     "naming the fault for anything else."},
    {"public_key_to_der", public_key_to_der, METH_O,
     "public_key_to_der(pk) -> bytes\n--\n\nThe public key as a DER SubjectPublicKeyInfo."},
    {"public_key_from_der", public_key_from_der, METH_O,
     "public_key_from_der(der) -> bytes\n--\n\nThe public key of a DER SubjectPublicKeyInfo; ValueError otherwise."},
    {"secret_key_to_pem", secret_key_to_pem, METH_O,
     "secret_key_to_pem(sk) -> bytes\n--\n\nThe SecretKey as an unencrypted PEM \"PRIVATE KEY\" (PrivateKeyInfo\n"
     "holding the 3056-byte key). The bytes cannot be wiped: store them with care (mode 0600)."},
    {"secret_key_from_pem", secret_key_from_pem, METH_O,
     "secret_key_from_pem(text) -> SecretKey\n--\n\nThe key of an unencrypted PEM \"PRIVATE KEY\" holding the key, its\n"
     "seed or both, checked as SecretKey(data) checks a key; ValueError naming the fault otherwise.\n"
     "A bytearray given is copied and the copy wiped."},
    {"secret_key_to_der", secret_key_to_der, METH_O,
     "secret_key_to_der(sk) -> bytes\n--\n\nThe SecretKey as an unencrypted DER PrivateKeyInfo."},
    {"secret_key_from_der", secret_key_from_der, METH_O,
     "secret_key_from_der(der) -> SecretKey\n--\n\nThe key of a DER PrivateKeyInfo, as secret_key_from_pem."},
    {"public_key_to_tavik", public_key_to_tavik, METH_O,
     "public_key_to_tavik(pk) -> str\n--\n\nThe public key file the tavik tool writes for pk."},
    {"public_key_from_tavik", public_key_from_tavik, METH_O,
     "public_key_from_tavik(text) -> bytes\n--\n\nThe key of a tavik tool public key file (str or bytes), read by the\n"
     "library's strict parser; ValueError naming the fault otherwise."},
    {"_signature_file_parse", signature_file_parse, METH_O, NULL},
    {"_signature_file_format", signature_file_format, METH_VARARGS, NULL},
    {"_file_signer", file_signer, METH_VARARGS, NULL},
    {"_file_error_string", file_error_string, METH_O, NULL},
    {NULL, NULL, 0, NULL}};

int add_file_calls(PyObject *m) {
  if (PyType_Ready(&FileVerifierType) < 0 ||
      PyModule_AddObjectRef(m, "_FileVerifier", (PyObject *)&FileVerifierType) < 0 ||
      PyModule_AddIntConstant(m, "_FILE_OTHER_KEY", TAVIK_FILE_OTHER_KEY) < 0 ||
      PyModule_AddIntConstant(m, "_FILE_ALLOW_LEGACY", TAVIK_FILE_ALLOW_LEGACY) < 0)
    return -1;
  return PyModule_AddFunctions(m, file_methods);
}
