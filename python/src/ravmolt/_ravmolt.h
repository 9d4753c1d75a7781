/* What the extension's two files share. */
#ifndef RAVMOLT_PYTHON_RAVMOLT_H
#define RAVMOLT_PYTHON_RAVMOLT_H

#include <Python.h>
#include <ravmolt/ravmolt_c.h>

/* ravmolt.RavmoltDecompressor, in _decompressor.c. */
extern PyTypeObject DecompressorType;

/* 1 for a status that ends a decode without its output: neither success nor a call for more
 * input or room. */
int status_is_failure(ravmolt_status status);

/* Raises the exception ravmolt/__init__.py made for `status`, saying "<subject>: <text>". */
void raise_status(ravmolt_status status, const char* subject);

#endif /* RAVMOLT_PYTHON_RAVMOLT_H */
