/* _ravmolt.Decompressor: the library's streaming decoder as an object with the methods and
 * attributes of lzma.LZMADecompressor. The decoder is the object's own, freed with it; a lock
 * lets threads share the object, one call at a time. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <ravmolt/ravmolt_c.h>
#include <string.h>

#include "_ravmolt.h"

/* Output room per call into the library: between calls the GIL is taken back, the output grown
 * and signal handlers run, so that Ctrl-C stops a long decode. */
#define ROOM_PER_CALL ((size_t)8 << 20)
#define FIRST_ROOM ((size_t)64 << 10)

typedef struct {
  PyObject ob_base; /* what PyObject_HEAD declares */
  ravmolt_decoder* decoder;
  PyThread_type_lock lock;
  /* Input taken by an earlier call but not yet decoded, because max_length stopped it. */
  unsigned char* pending;
  size_t pending_size;
  PyObject* unused_data;
  unsigned long caller; /* the thread in decompress(), or 0 */
  char eof;
  char needs_input;
  char interrupted; /* a signal handler raised mid-call: that call's output is lost */
} Decompressor;

static PyObject* decompressor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static char* keywords[] = {NULL};
  Decompressor* self;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, ":RavmoltDecompressor", keywords)) return NULL;
  self = (Decompressor*)type->tp_alloc(type, 0);
  if (self == NULL) return NULL;
  self->needs_input = 1;
  self->unused_data = PyBytes_FromStringAndSize(NULL, 0);
  self->lock = PyThread_allocate_lock();
  self->decoder = ravmolt_decoder_create();
  if (self->unused_data == NULL || self->lock == NULL || self->decoder == NULL) {
    Py_DECREF(self);
    return PyErr_Occurred() ? NULL : PyErr_NoMemory();
  }
  return (PyObject*)self;
}

static void decompressor_dealloc(Decompressor* self) {
  ravmolt_decoder_free(self->decoder);
  if (self->lock != NULL) PyThread_free_lock(self->lock);
  PyMem_Free(self->pending);
  Py_XDECREF(self->unused_data);
  Py_TYPE(self)->tp_free((PyObject*)self);
}

/* The input of one call: what was pending followed by `data`, or `data` itself when nothing was
 * pending and it cannot change while the GIL is released (a bytearray could: it is copied). */
static int gather_input(Decompressor* self, const Py_buffer* data, ravmolt_input* in) {
  size_t size = (size_t)data->len;
  if (self->pending_size == 0 && data->readonly) {
    in->data = data->buf;
    in->size = size;
  } else {
    unsigned char* joined = PyMem_Realloc(self->pending, self->pending_size + size + 1);
    if (joined == NULL) {
      PyErr_NoMemory();
      return 0;
    }
    memcpy(joined + self->pending_size, data->buf, size);
    self->pending = joined;
    self->pending_size += size;
    in->data = joined;
    in->size = self->pending_size;
  }
  in->used = 0;
  return 1;
}

/* Keeps the input the decoder left, as pending input or, after the end, as unused_data. */
static int keep_rest(Decompressor* self, const ravmolt_input* in, ravmolt_status status) {
  const unsigned char* rest = (const unsigned char*)in->data + in->used;
  size_t left = in->size - in->used;
  if (status == RAVMOLT_SUCCESS) {
    PyObject* unused = PyBytes_FromStringAndSize((const char*)rest, (Py_ssize_t)left);
    if (unused == NULL) return 0;
    Py_SETREF(self->unused_data, unused);
    self->pending_size = 0;
    self->eof = 1;
    self->needs_input = 0;
    return 1;
  }
  if (left > 0 && rest != self->pending) {
    if ((const unsigned char*)in->data != self->pending) {
      unsigned char* kept = PyMem_Realloc(self->pending, left);
      if (kept == NULL) {
        PyErr_NoMemory();
        return 0;
      }
      self->pending = kept;
    }
    memmove(self->pending, rest, left);
  }
  self->pending_size = left;
  self->needs_input = left == 0 && status == RAVMOLT_NEEDS_INPUT;
  return 1;
}

/* Decodes `in` into a new bytes object of at most `limit` bytes; sets *status to the last
 * status the library gave. NULL with an exception set when memory or a signal handler fails. */
static PyObject* decode_into_bytes(Decompressor* self, ravmolt_input* in, size_t limit,
                                   int input_ended, ravmolt_status* status) {
  size_t first = in->size > FIRST_ROOM / 4 ? 4 * in->size : FIRST_ROOM;
  size_t capacity = first < limit ? first : limit;
  PyObject* bytes = PyBytes_FromStringAndSize(NULL, (Py_ssize_t)capacity);
  ravmolt_output out = {NULL, 0, 0};
  while (bytes != NULL) {
    size_t room = capacity - out.made < ROOM_PER_CALL ? capacity - out.made : ROOM_PER_CALL;
    out.data = PyBytes_AS_STRING(bytes);
    out.room = out.made + room;
    PyThreadState* thread = PyEval_SaveThread();
    *status = ravmolt_stream_decode(self->decoder, in, &out, input_ended);
    PyEval_RestoreThread(thread);
    if (*status != RAVMOLT_OUTPUT_PENDING || out.made == limit) break;
    if (PyErr_CheckSignals() != 0) {
      self->interrupted = 1;
      Py_CLEAR(bytes);
      break;
    }
    if (out.made == capacity) {
      capacity = capacity < limit / 2 ? 2 * capacity : limit;
      if (_PyBytes_Resize(&bytes, (Py_ssize_t)capacity) != 0) break; /* frees bytes */
    }
  }
  if (bytes != NULL && out.made < capacity) (void)_PyBytes_Resize(&bytes, (Py_ssize_t)out.made);
  return bytes;
}

static PyObject* decompressor_decompress(Decompressor* self, PyObject* args, PyObject* kwargs) {
  static char* keywords[] = {"data", "max_length", "input_ended", NULL};
  Py_buffer data;
  Py_ssize_t max_length = -1;
  int input_ended = 0;
  ravmolt_input in;
  ravmolt_status status = RAVMOLT_NEEDS_INPUT;
  PyObject* result = NULL;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "y*|n$p:decompress", keywords, &data, &max_length,
                                   &input_ended)) {
    return NULL;
  }
  if (self->caller == PyThread_get_thread_ident()) { /* from a signal handler of that call */
    PyBuffer_Release(&data);
    PyErr_SetString(PyExc_RuntimeError, "decompress() called again within itself");
    return NULL;
  }
  if (!PyThread_acquire_lock(self->lock, 0)) {
    PyThreadState* thread = PyEval_SaveThread();
    PyThread_acquire_lock(self->lock, 1);
    PyEval_RestoreThread(thread);
  }
  self->caller = PyThread_get_thread_ident();
  if (self->interrupted) {
    PyErr_SetString(PyExc_ValueError,
                    "an earlier decompress() was stopped by a signal and its output lost");
  } else if (self->eof) {
    PyErr_SetString(PyExc_EOFError, "Already at end of stream");
  } else if (gather_input(self, &data, &in)) {
    size_t limit = max_length < 0 ? (size_t)PY_SSIZE_T_MAX : (size_t)max_length;
    result = decode_into_bytes(self, &in, limit, input_ended, &status);
    if (result != NULL && !keep_rest(self, &in, status)) Py_CLEAR(result);
  }
  /* A failure after some output is raised by the next call, which gets the same status. */
  if (result != NULL && status_is_failure(status)) {
    if (PyBytes_GET_SIZE(result) > 0) {
      self->needs_input = 0;
    } else {
      Py_CLEAR(result);
      raise_status(status, "compressed data");
    }
  }
  self->caller = 0;
  PyThread_release_lock(self->lock);
  PyBuffer_Release(&data);
  return result;
}

static PyObject* decompressor_eof(Decompressor* self, void* unused) {
  (void)unused;
  return PyBool_FromLong(self->eof);
}

static PyObject* decompressor_needs_input(Decompressor* self, void* unused) {
  (void)unused;
  return PyBool_FromLong(self->needs_input);
}

static PyObject* decompressor_unused_data(Decompressor* self, void* unused) {
  (void)unused;
  Py_INCREF(self->unused_data);
  return self->unused_data;
}

static PyMethodDef decompressor_methods[] = {
    {"decompress", (PyCFunction)(void (*)(void))decompressor_decompress,
     METH_VARARGS | METH_KEYWORDS,
     "decompress(data, max_length=-1, *, input_ended=False) -> bytes\n\n"
     "Restores `data`, the next piece of a compressed file, and returns what it restores, at "
     "most max_length bytes when that is not negative; input that did not fit is kept for the "
     "next call. input_ended=True says that no input follows: a file cut short then raises "
     "TruncatedError (an EOFError) once every byte it could restore has been returned."},
    {NULL, NULL, 0, NULL},
};

static PyGetSetDef decompressor_getset[] = {
    {"eof", (getter)decompressor_eof, NULL, "True once the whole file is restored.", NULL},
    {"needs_input", (getter)decompressor_needs_input, NULL,
     "False when decompress() can give more output before it needs more input.", NULL},
    {"unused_data", (getter)decompressor_unused_data, NULL,
     "The input found after the end of the file (empty until eof).", NULL},
    {NULL, NULL, NULL, NULL, NULL},
};

PyTypeObject DecompressorType = {
    PyVarObject_HEAD_INIT(NULL, 0).tp_name = "ravmolt.RavmoltDecompressor",
    .tp_basicsize = sizeof(Decompressor),
    .tp_dealloc = (destructor)decompressor_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc =
        "RavmoltDecompressor()\n\nRestores one compressed file given in pieces of any size, "
        "as lzma.LZMADecompressor does its streams.",
    .tp_methods = decompressor_methods,
    .tp_getset = decompressor_getset,
    .tp_new = decompressor_new,
};
