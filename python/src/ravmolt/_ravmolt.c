/* _ravmolt: the CPython extension under the ravmolt package, a thin layer over the C interface
 * of libravmolt. Its calls return the library's status numbers, which ravmolt/__init__.py turns
 * into exceptions; the decompressor object (_decompressor.c) raises them itself. Every decode
 * releases the GIL while the library works. */
#define PY_SSIZE_T_CLEAN
#include "_ravmolt.h"

#include <Python.h>
#include <ravmolt/ravmolt_c.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

/* How often, at most, a decode on the main thread takes the GIL back to run Python's signal
 * handlers, so that Ctrl-C stops it: rarely enough that waiting for the GIL costs little. */
#define SIGNAL_CHECK_SECONDS 0.05

static PyObject* main_thread_function; /* threading.main_thread */

/* 1 when the calling thread is the main thread, which alone runs signal handlers. */
static int on_main_thread(void) {
  PyObject* thread = PyObject_CallObject(main_thread_function, NULL);
  PyObject* ident = thread != NULL ? PyObject_GetAttrString(thread, "ident") : NULL;
  unsigned long main_ident = ident != NULL ? PyLong_AsUnsignedLong(ident) : 0;
  Py_XDECREF(thread);
  Py_XDECREF(ident);
  PyErr_Clear(); /* at worst, signals wait for the end of the decode as before */
  return main_ident != 0 && main_ident == PyThread_get_thread_ident();
}

static double seconds_now(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (double)now.tv_sec + (double)now.tv_nsec * 1e-9;
}

/* The restored bytes of decompress(), written into the bytes object that is returned. The sink
 * runs without the GIL and takes it back only to make or grow that object and to check for
 * signals. `expected` is the output the file's table announces, bounded by what its payload can
 * hold; a table that understates it makes the object grow. */
typedef struct {
  PyThreadState* thread; /* the caller's, saved while the GIL is released */
  PyObject* bytes;
  size_t size;
  size_t expected;
  int check_signals;
  double next_check;
  int failed; /* a Python exception is set: memory, or a signal handler's */
} Output;

static int reserve(Output* out, size_t size) {
  size_t capacity = out->bytes != NULL ? (size_t)PyBytes_GET_SIZE(out->bytes) : 0;
  size_t wanted = out->bytes == NULL && out->expected >= size ? out->expected : capacity;
  if (out->size + size <= capacity) return 1;
  if (wanted < out->size + size) wanted = out->size + size;
  if (out->bytes != NULL && wanted < 2 * capacity) wanted = 2 * capacity;
  if (wanted > (size_t)PY_SSIZE_T_MAX) {
    PyErr_NoMemory();
    return 0;
  }
  if (out->bytes == NULL) {
    out->bytes = PyBytes_FromStringAndSize(NULL, (Py_ssize_t)wanted);
    return out->bytes != NULL;
  }
  return _PyBytes_Resize(&out->bytes, (Py_ssize_t)wanted) == 0; /* frees it on failure */
}

static int take_block(void* context, const unsigned char* data, size_t size) {
  Output* out = (Output*)context;
  size_t capacity = out->bytes != NULL ? (size_t)PyBytes_GET_SIZE(out->bytes) : 0;
  int checking = out->check_signals && seconds_now() >= out->next_check;
  if (out->size + size > capacity || checking) {
    PyEval_RestoreThread(out->thread);
    out->failed = !reserve(out, size) || (checking && PyErr_CheckSignals() != 0);
    out->thread = PyEval_SaveThread();
    if (out->failed) return 0;
    if (checking) out->next_check = seconds_now() + SIGNAL_CHECK_SECONDS;
  }
  memcpy(PyBytes_AS_STRING(out->bytes) + out->size, data, size);
  out->size += size;
  return 1;
}

static uint32_t read_le32(const unsigned char* bytes) {
  return (uint32_t)bytes[0] | (uint32_t)bytes[1] << 8 | (uint32_t)bytes[2] << 16 |
         (uint32_t)bytes[3] << 24;
}

/* The output a compressed file announces: its table's positive counts added up, but no more
 * than its payload bits (each code is one bit or more) and the bits it says it has. 0 when the
 * header or table is cut short, which the decode then reports. */
static size_t announced_size(const unsigned char* file, size_t size) {
  enum { HEADER = 7, ENTRY = 5 };
  int32_t bit_count;
  int16_t table_size;
  uint64_t counts = 0, bound;
  if (size < HEADER) return 0;
  bit_count = (int32_t)read_le32(file + 1);
  table_size = (int16_t)(file[5] | file[6] << 8);
  if (bit_count <= 0 || table_size < 0 || size - HEADER < (size_t)table_size) return 0;
  for (size_t at = HEADER; at + ENTRY <= HEADER + (size_t)table_size; at += ENTRY) {
    int32_t count = (int32_t)read_le32(file + at + 1);
    if (count > 0) counts += (uint64_t)count;
  }
  bound = (uint64_t)(size - HEADER - (size_t)table_size) * 8;
  if ((uint64_t)bit_count < bound) bound = (uint64_t)bit_count;
  return (size_t)(counts < bound ? counts : bound);
}

/* decompress(data) -> (status, bytes or None). A buffer that can be written to (a bytearray, say)
 * is copied first: Python code may change it while the library reads it, from another thread or
 * from a signal handler, and the output would be wrong without a word. */
static PyObject* decompress(PyObject* module, PyObject* args) {
  Py_buffer input;
  Output out = {NULL, NULL, 0, 0, 0, 0.0, 0};
  const void* data;
  void* copy = NULL;
  ravmolt_status status;
  (void)module;
  if (!PyArg_ParseTuple(args, "y*:decompress", &input)) return NULL;
  data = input.buf;
  if (!input.readonly && input.len > 0) {
    copy = PyMem_RawMalloc((size_t)input.len);
    if (copy == NULL) {
      PyBuffer_Release(&input);
      return PyErr_NoMemory();
    }
    memcpy(copy, input.buf, (size_t)input.len);
    data = copy;
  }
  out.expected = announced_size((const unsigned char*)data, (size_t)input.len);
  out.check_signals = on_main_thread();
  out.next_check = seconds_now() + SIGNAL_CHECK_SECONDS;
  out.thread = PyEval_SaveThread();
  status = ravmolt_decompress_buffer(data, (size_t)input.len, take_block, &out);
  PyEval_RestoreThread(out.thread);
  PyMem_RawFree(copy);
  PyBuffer_Release(&input);
  if (out.failed) {
    Py_XDECREF(out.bytes);
    return NULL;
  }
  if (status != RAVMOLT_SUCCESS) {
    Py_XDECREF(out.bytes);
    return Py_BuildValue("(iO)", (int)status, Py_None);
  }
  if (out.bytes == NULL) {
    out.bytes = PyBytes_FromStringAndSize(NULL, 0);
  } else if (out.size < (size_t)PyBytes_GET_SIZE(out.bytes)) {
    (void)_PyBytes_Resize(&out.bytes, (Py_ssize_t)out.size); /* shrinking; frees on failure */
  }
  if (out.bytes == NULL) return NULL;
  return Py_BuildValue("(iN)", (int)status, out.bytes);
}

/* decompress_file(source, destination) -> status; paths are str, bytes or os.PathLike. */
static PyObject* decompress_file(PyObject* module, PyObject* args) {
  PyObject* source = NULL;
  PyObject* destination = NULL;
  PyThreadState* thread;
  ravmolt_status status;
  (void)module;
  if (!PyArg_ParseTuple(args, "O&O&:decompress_file", PyUnicode_FSConverter, &source,
                        PyUnicode_FSConverter, &destination)) {
    Py_XDECREF(source);
    return NULL;
  }
  thread = PyEval_SaveThread();
  status = ravmolt_decompress_file(PyBytes_AS_STRING(source), PyBytes_AS_STRING(destination));
  PyEval_RestoreThread(thread);
  Py_DECREF(source);
  Py_DECREF(destination);
  return PyLong_FromLong((long)status);
}

static PyObject* errors; /* exception class by status, from set_errors() */

int status_is_failure(ravmolt_status status) {
  return status != RAVMOLT_SUCCESS && status != RAVMOLT_NEEDS_INPUT &&
         status != RAVMOLT_OUTPUT_PENDING;
}

void raise_status(ravmolt_status status, const char* subject) {
  PyObject* key = PyLong_FromLong((long)status);
  PyObject* error = errors != NULL && key != NULL ? PyDict_GetItemWithError(errors, key) : NULL;
  Py_XDECREF(key);
  if (PyErr_Occurred()) return;
  if (error == PyExc_MemoryError) {
    PyErr_NoMemory();
  } else {
    PyErr_Format(error != NULL ? error : PyExc_ValueError, "%s: %s", subject,
                 ravmolt_status_text(status));
  }
}

/* set_errors(errors): the exception of each status, a dict made by ravmolt/__init__.py. */
static PyObject* set_errors(PyObject* module, PyObject* mapping) {
  (void)module;
  if (!PyDict_Check(mapping)) {
    PyErr_SetString(PyExc_TypeError, "set_errors() takes a dict");
    return NULL;
  }
  Py_INCREF(mapping);
  Py_XSETREF(errors, mapping);
  Py_RETURN_NONE;
}

/* status_text(status) -> str */
static PyObject* status_text(PyObject* module, PyObject* args) {
  int status;
  (void)module;
  if (!PyArg_ParseTuple(args, "i:status_text", &status)) return NULL;
  return PyUnicode_FromString(ravmolt_status_text(status));
}

/* library_version() -> str: the version of the libravmolt that was loaded. */
static PyObject* library_version(PyObject* module, PyObject* unused) {
  (void)module;
  (void)unused;
  return PyUnicode_FromString(ravmolt_version());
}

/* discard_incomplete_destinations(): empties and removes the destination of every
 * decompress_file() in progress in this process, after stopping its writes. */
static PyObject* discard_incomplete_destinations(PyObject* module, PyObject* unused) {
  (void)module;
  (void)unused;
  ravmolt_discard_incomplete_destinations();
  Py_RETURN_NONE;
}

static PyMethodDef methods[] = {
    {"decompress", decompress, METH_VARARGS, "decompress(data) -> (status, bytes or None)"},
    {"decompress_file", decompress_file, METH_VARARGS,
     "decompress_file(source, destination) -> status"},
    {"status_text", status_text, METH_VARARGS, "status_text(status) -> str"},
    {"set_errors", set_errors, METH_O, "set_errors(errors): the exception of each status"},
    {"library_version", library_version, METH_NOARGS, "library_version() -> str"},
    {"discard_incomplete_destinations", discard_incomplete_destinations, METH_NOARGS,
     "discard_incomplete_destinations() -> None"},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {
    PyModuleDef_HEAD_INIT,
    "_ravmolt",
    "The C interface of libravmolt.",
    -1,
    methods,
    NULL,
    NULL,
    NULL,
    NULL,
};

/* Each status of the library as (value, NAME, text, name of the Python exception), from the one
 * list in ravmolt_c.h; ravmolt/__init__.py makes its exceptions from them. */
static PyObject* status_table(void) {
#define RAVMOLT_STATUS_ROW(name, value, text, python) \
  Py_BuildValue("(isss)", (int)(value), #name, text, #python),
  PyObject* rows[] = {RAVMOLT_STATUS_LIST(RAVMOLT_STATUS_ROW)};
#undef RAVMOLT_STATUS_ROW
  const Py_ssize_t count = (Py_ssize_t)(sizeof rows / sizeof rows[0]);
  int complete = 1;
  for (Py_ssize_t i = 0; i < count; ++i) complete = complete && rows[i] != NULL;
  PyObject* table = complete ? PyTuple_New(count) : NULL;
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (table != NULL) {
      PyTuple_SET_ITEM(table, i, rows[i]); /* steals the row */
    } else {
      Py_XDECREF(rows[i]);
    }
  }
  return table;
}

PyMODINIT_FUNC PyInit__ravmolt(void) {
  PyObject* threading = PyImport_ImportModule("threading");
  PyObject* m;
  if (threading == NULL) return NULL;
  main_thread_function = PyObject_GetAttrString(threading, "main_thread");
  Py_DECREF(threading);
  if (main_thread_function == NULL || PyType_Ready(&DecompressorType) < 0) return NULL;
  m = PyModule_Create(&module);
  if (m == NULL) return NULL;
  Py_INCREF(&DecompressorType);
  if (PyModule_AddObject(m, "Decompressor", (PyObject*)&DecompressorType) < 0) {
    Py_DECREF(&DecompressorType);
    Py_DECREF(m);
    return NULL;
  }
  PyObject* table = status_table();
  if (table == NULL || PyModule_AddObject(m, "STATUSES", table) < 0) {
    Py_XDECREF(table);
    Py_DECREF(m);
    return NULL;
  }
  if (PyModule_AddStringConstant(m, "VERSION", RAVMOLT_VERSION_STRING) < 0) {
    Py_DECREF(m);
    return NULL;
  }
#define RAVMOLT_STATUS_CONSTANT(name, value, text, python) \
  if (PyModule_AddIntConstant(m, #name, value) < 0) {      \
    Py_DECREF(m);                                          \
    return NULL;                                           \
  }
  RAVMOLT_STATUS_LIST(RAVMOLT_STATUS_CONSTANT)
#undef RAVMOLT_STATUS_CONSTANT
  return m;
}
