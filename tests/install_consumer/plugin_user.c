/* plugin_user compressedFile output: restores a file through the shared object that holds the
 * static library (static_in_shared.c); exits 0 when it did. */
int plugin_restore(const char* source, const char* destination);

int main(int argc, char** argv) { return argc == 3 && plugin_restore(argv[1], argv[2]) ? 0 : 1; }
