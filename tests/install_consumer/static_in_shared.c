/* A shared object with libravmolt.a linked into it, as a plugin or a language binding would
 * be: it links only when the static library is position-independent. */
#include <ravmolt/ravmolt_c.h>

int plugin_restore(const char* source, const char* destination) {
  return ravmolt_decompress_file(source, destination) == RAVMOLT_SUCCESS;
}
