/* _ravmolt: the CPython extension under the ravmolt package, a thin layer over the C interface
 * of libravmolt. It returns the library's status numbers; ravmolt/__init__.py turns failures into
 * exceptions. Both calls release the GIL while the library works. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <ravmolt/ravmolt_c.h>
#include <stdlib.h>
#include <string.h>

/* The restored bytes of decompress(), gathered in malloc'd memory while the GIL is released:
 * nothing of Python's may be touched then. */
typedef struct {
  unsigned char* data;
  size_t size;
  size_t capacity;
  int tooLarge;
} Output;

static int append_block(void* context, const unsigned char* data, size_t size) {
  Output* out = (Output*)context;
  if (size > out->capacity - out->size) {
    size_t capacity = out->capacity > 0 ? out->capacity : (size_t)1 << 16;
    unsigned char* grown;
    while (capacity - out->size < size) {
      if (capacity > (size_t)PY_SSIZE_T_MAX / 2) {
        out->tooLarge = 1;
        return 0;
      }
      capacity *= 2;
    }
    grown = (unsigned char*)realloc(out->data, capacity);
    if (grown == NULL) {
      out->tooLarge = 1;
      return 0;
    }
    out->data = grown;
    out->capacity = capacity;
  }
  memcpy(out->data + out->size, data, size);
  out->size += size;
  return 1;
}

/* decompress(data) -> (status, bytes or None) */
static PyObject* decompress(PyObject* module, PyObject* args) {
  Py_buffer input;
  Output out = {NULL, 0, 0, 0};
  ravmolt_status status;
  PyObject* restored = NULL;
  PyObject* result;
  (void)module;
  if (!PyArg_ParseTuple(args, "y*:decompress", &input)) return NULL;
  Py_BEGIN_ALLOW_THREADS
  status = ravmolt_decompress_buffer(input.buf, (size_t)input.len, append_block, &out);
  Py_END_ALLOW_THREADS
  PyBuffer_Release(&input);
  if (out.tooLarge) {
    free(out.data);
    return PyErr_NoMemory();
  }
  if (status == RAVMOLT_SUCCESS) {
    restored = PyBytes_FromStringAndSize((const char*)out.data, (Py_ssize_t)out.size);
    free(out.data);
    if (restored == NULL) return NULL;
  } else {
    free(out.data);
    restored = Py_None;
    Py_INCREF(restored);
  }
  result = Py_BuildValue("(iN)", (int)status, restored);
  return result;
}

/* decompress_file(source, destination) -> status; paths are str, bytes or os.PathLike. */
static PyObject* decompress_file(PyObject* module, PyObject* args) {
  PyObject* source = NULL;
  PyObject* destination = NULL;
  ravmolt_status status;
  (void)module;
  if (!PyArg_ParseTuple(args, "O&O&:decompress_file", PyUnicode_FSConverter, &source,
                        PyUnicode_FSConverter, &destination)) {
    Py_XDECREF(source);
    return NULL;
  }
  Py_BEGIN_ALLOW_THREADS
  status = ravmolt_decompress_file(PyBytes_AS_STRING(source), PyBytes_AS_STRING(destination));
  Py_END_ALLOW_THREADS
  Py_DECREF(source);
  Py_DECREF(destination);
  return PyLong_FromLong((long)status);
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
    {"library_version", library_version, METH_NOARGS, "library_version() -> str"},
    {"discard_incomplete_destinations", discard_incomplete_destinations, METH_NOARGS,
     "discard_incomplete_destinations() -> None"},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {
    PyModuleDef_HEAD_INIT, "_ravmolt", "The C interface of libravmolt.", -1, methods,
    NULL,                  NULL,       NULL,                            NULL,
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
  PyObject* m = PyModule_Create(&module);
  if (m == NULL) return NULL;
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
  if (PyModule_AddIntConstant(m, #name, value) < 0) {     \
    Py_DECREF(m);                                         \
    return NULL;                                          \
  }
  RAVMOLT_STATUS_LIST(RAVMOLT_STATUS_CONSTANT)
#undef RAVMOLT_STATUS_CONSTANT
  return m;
}
