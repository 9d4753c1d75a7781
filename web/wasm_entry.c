/* The WebAssembly module's two entry points over the C interface. JavaScript cannot hand the
 * library a function pointer of its own, so the module imports one function, ravmolt_web_take,
 * and every decode's sink forwards its blocks there, with the caller's context number, which
 * tells the JavaScript side whose decode a block belongs to. */
#include <stddef.h>

#include "ravmolt/ravmolt_c.h"

/* Implemented by the JavaScript loader: takes `size` restored bytes at `data` (valid during the
 * call only) for the decode numbered `context`; returns nonzero to go on, 0 to stop. */
__attribute__((import_module("env"), import_name("ravmolt_web_take"))) int ravmolt_web_take(
    unsigned context, const unsigned char* data, size_t size);

static int forwardBlock(void* context, const unsigned char* data, size_t size) {
  return ravmolt_web_take((unsigned)(size_t)context, data, size);
}

/* Restores the `size` bytes at `compressed`, handing the output to ravmolt_web_take under
 * `context`; returns a ravmolt_status. */
__attribute__((export_name("ravmolt_web_decompress"))) int ravmolt_web_decompress(
    const void* compressed, size_t size, unsigned context) {
  return (int)ravmolt_decompress_buffer(compressed, size, forwardBlock, (void*)(size_t)context);
}

/* The English text of a status, null-terminated, in the module's memory. */
__attribute__((export_name("ravmolt_web_status_text"))) const char* ravmolt_web_status_text(
    int status) {
  return ravmolt_status_text(status);
}
