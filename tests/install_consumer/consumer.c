/* consumer_c compressedFile fileOutput bufferOutput: a C99 program of the kind that embeds ravmolt
 * through its C interface. It restores the file through all three calls (the streaming one a
 * byte at a time into three bytes of room), checks that a sink that stops
 * ends the decode and that a damaged copy is refused before any output, and exits 0 only when all
 * of that holds. Built in the tree, against an installed CMake package and through pkg-config. */
#include <ravmolt/ravmolt_c.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* Writes blocks to a FILE*; returns a nonzero value other than 1 to check that any such value
 * means "go on". */
static int write_block(void* context, const unsigned char* data, size_t size) {
  return fwrite(data, 1, size, (FILE*)context) == size ? 7 : 0;
}

/* Counts its calls and stops the decode at the first block. */
static int stop_at_once(void* context, const unsigned char* data, size_t size) {
  (void)data;
  (void)size;
  ++*(int*)context;
  return 0;
}

static int expect(const char* what, ravmolt_status got, ravmolt_status wanted) {
  if (got == wanted) return 1;
  printf("%s: got \"%s\", wanted \"%s\"\n", what, ravmolt_status_text(got),
         ravmolt_status_text(wanted));
  return 0;
}

/* Streams `size` bytes a byte at a time into rooms of three bytes; true when the output is the
 * `expected_size` bytes at `expected`. */
static int streams_as(const unsigned char* compressed, size_t size, const unsigned char* expected,
                      size_t expected_size) {
  ravmolt_decoder* decoder = ravmolt_decoder_create();
  ravmolt_input in = {compressed, 0, 0};
  ravmolt_status status = RAVMOLT_NEEDS_INPUT;
  unsigned char room[3];
  size_t made = 0;
  int same = decoder != NULL;
  while (same && (status == RAVMOLT_NEEDS_INPUT || status == RAVMOLT_OUTPUT_PENDING)) {
    ravmolt_output out = {room, sizeof room, 0};
    if (in.used == in.size && in.size < size) ++in.size;
    status = ravmolt_stream_decode(decoder, &in, &out, in.size == size);
    same = made + out.made <= expected_size && memcmp(room, expected + made, out.made) == 0;
    made += out.made;
  }
  ravmolt_decoder_free(decoder);
  return expect("stream_decode", status, RAVMOLT_SUCCESS) && same && made == expected_size;
}

/* Reads a whole file into memory; NULL when it cannot. */
static unsigned char* read_all(const char* path, size_t* size) {
  FILE* in = fopen(path, "rb");
  unsigned char* bytes = NULL;
  long length;
  if (in == NULL) return NULL;
  if (fseek(in, 0, SEEK_END) == 0 && (length = ftell(in)) > 0 && fseek(in, 0, SEEK_SET) == 0 &&
      (bytes = malloc((size_t)length)) != NULL) {
    *size = fread(bytes, 1, (size_t)length, in);
  }
  fclose(in);
  return bytes;
}

int main(int argc, char** argv) {
  unsigned char* compressed;
  size_t size = 0;
  FILE* out;
  int calls = 0;
  int ok = 1;
  if (argc != 4) {
    printf("usage: consumer_c compressedFile fileOutput bufferOutput\n");
    return 2;
  }
  if (strcmp(ravmolt_version(), RAVMOLT_VERSION_STRING) != 0 ||
      ravmolt_version_number() != RAVMOLT_VERSION_NUMBER) {
    printf("header %s, library %s\n", RAVMOLT_VERSION_STRING, ravmolt_version());
    ok = 0;
  }
  ok &= expect("decompress_file", ravmolt_decompress_file(argv[1], argv[2]), RAVMOLT_SUCCESS);

  compressed = read_all(argv[1], &size);
  out = fopen(argv[3], "wb");
  if (compressed == NULL || out == NULL) {
    printf("cannot read %s or create %s\n", argv[1], argv[3]);
    return 1;
  }
  ok &= expect("decompress_buffer", ravmolt_decompress_buffer(compressed, size, write_block, out),
               RAVMOLT_SUCCESS);
  ok &= fclose(out) == 0;

  {
    size_t restored_size = 0;
    unsigned char* restored = read_all(argv[3], &restored_size);
    ok &= restored != NULL && streams_as(compressed, size, restored, restored_size);
    free(restored);
  }

  ok &= expect("stopping sink", ravmolt_decompress_buffer(compressed, size, stop_at_once, &calls),
               RAVMOLT_WRITE_FAILED);
  ok &= calls == 1;

  /* A wrong checksum byte: refused with the sink never called. */
  compressed[0] ^= 0x01;
  calls = 0;
  ok &= expect("damaged copy", ravmolt_decompress_buffer(compressed, size, stop_at_once, &calls),
               RAVMOLT_INVALID_FORMAT);
  ok &= calls == 0;
  ok &= expect("null sink", ravmolt_decompress_buffer(compressed, size, NULL, NULL),
               RAVMOLT_INVALID_ARGUMENT);
  free(compressed);
  if (ok) printf("ravmolt %s: all calls behaved\n", ravmolt_version());
  return ok ? 0 : 1;
}
