/* ravmolt: restore files made by the companion Huffman compressor, from C or any language that
 * can call C. This header is the library's whole binary interface: it compiles as C99 and as C++,
 * and every function in libravmolt.so.1 (and libravmolt.a) is declared here, under ravmolt_.
 * Link with `pkg-config --cflags --libs ravmolt`, or ravmolt::ravmolt in CMake. */
#ifndef RAVMOLT_RAVMOLT_C_H
#define RAVMOLT_RAVMOLT_C_H

#include <stddef.h>

/* The version of these headers, RAVMOLT_VERSION_MAJOR, _MINOR, _PATCH and _STRING ("1.0.0").
 * ravmolt_version() gives the version of the library that was loaded, which may be a newer one of
 * the same major version. */
#include "ravmolt/ravmolt_version.h"
#define RAVMOLT_VERSION_NUMBER \
  (RAVMOLT_VERSION_MAJOR * 10000 + RAVMOLT_VERSION_MINOR * 100 + RAVMOLT_VERSION_PATCH)

/* On Windows the functions come from ravmolt.dll unless RAVMOLT_STATIC says that the program
 * links libravmolt.a (CMake's ravmolt::ravmolt_static target defines it). */
#if defined(_WIN32) && defined(RAVMOLT_BUILDING)
#define RAVMOLT_API __declspec(dllexport)
#elif defined(_WIN32) && !defined(RAVMOLT_STATIC)
#define RAVMOLT_API __declspec(dllimport)
#elif defined(_WIN32)
#define RAVMOLT_API
#elif defined(__GNUC__) || defined(__clang__)
#define RAVMOLT_API __attribute__((visibility("default")))
#else
#define RAVMOLT_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Every status a call can return, once, as RAVMOLT_STATUS(NAME, value, text, python): the
 * enumerator RAVMOLT_<NAME> with its value, the text ravmolt_status_text gives for it, and the
 * exception the Python package raises for it (a subclass of ravmolt.Error based on that built-in
 * exception, named after NAME, or the built-in itself for OUT_OF_MEMORY). The values are fixed and
 * will not change within a major version; new ones may be added after the last, so treat an
 * unknown value as a failure. */
#define RAVMOLT_STATUS_LIST(RAVMOLT_STATUS)                                                    \
  RAVMOLT_STATUS(SUCCESS, 0, "the file was restored", None)                                    \
  /* The source is not a valid compressed file: bad checksum, header or table cut short, bits \
   * announced with no codes, or fewer payload bits than announced. Found before any output. */ \
  RAVMOLT_STATUS(INVALID_FORMAT, 1, "the source is not a valid compressed file", ValueError)   \
  /* The source cannot be opened for reading, or is a directory. */                           \
  RAVMOLT_STATUS(SOURCE_NOT_FOUND, 2, "the source file cannot be opened for reading",           \
                 FileNotFoundError)                                                           \
  /* The destination cannot be created or truncated. */                                       \
  RAVMOLT_STATUS(DESTINATION_UNWRITABLE, 3, "the destination file cannot be created or truncated", \
                 OSError)                                                                     \
  /* Both paths name one file (same device and inode, so hard and symbolic links count). */   \
  RAVMOLT_STATUS(SAME_FILE, 4, "the source and the destination are the same file", OSError)    \
  /* A write, flush or close of the destination failed, or the sink asked to stop. */         \
  RAVMOLT_STATUS(WRITE_FAILED, 5, "the restored bytes could not all be written", OSError)      \
  /* The decoder could not allocate the few MiB it works in. */                               \
  RAVMOLT_STATUS(OUT_OF_MEMORY, 6, "the decoder ran out of memory", MemoryError)               \
  /* A pointer that must not be null was null; nothing was done. */                           \
  RAVMOLT_STATUS(INVALID_ARGUMENT, 7, "a required pointer was null", TypeError)              \
  /* ravmolt_stream_decode only: the caller said the input had ended before the payload's    \
   * last code. Every byte that could be restored was handed out first. */                  \
  RAVMOLT_STATUS(TRUNCATED, 8, "the compressed input ended before its last code", EOFError) \
  /* ravmolt_stream_decode only, neither a failure nor the end: */                          \
  /* every input byte given was taken; call again with more. */                             \
  RAVMOLT_STATUS(NEEDS_INPUT, 9, "the decoder needs more input", None)                      \
  /* restored bytes are waiting; call again with more output room. */                       \
  RAVMOLT_STATUS(OUTPUT_PENDING, 10, "the decoder has more output ready", None)

/* How a call went. */
typedef enum ravmolt_status {
#define RAVMOLT_STATUS_ENUMERATOR(name, value, text, python) RAVMOLT_##name = value,
  RAVMOLT_STATUS_LIST(RAVMOLT_STATUS_ENUMERATOR)
#undef RAVMOLT_STATUS_ENUMERATOR
} ravmolt_status;

/* Receives one block of restored bytes, in order. `context` is the pointer given to
 * ravmolt_decompress_buffer; `data` is owned by the library and valid only during the call; a
 * block holds 1 to 262144 bytes. Returns nonzero to go on, 0 to stop: the decode then returns
 * RAVMOLT_WRITE_FAILED and the sink is not called again. It is called on the thread that called
 * ravmolt_decompress_buffer, and must not call back into the same decode. */
typedef int (*ravmolt_sink)(void* context, const unsigned char* data, size_t size);

/* Restores the compressed file at `source_path` into `destination_path`, which is created, or
 * truncated and overwritten when it exists. Paths are null-terminated file system paths, read
 * during the call only. Paths are UTF-8 on every system, Windows included, where they may be
 * longer than 260 characters. Returns:
 *   RAVMOLT_SUCCESS                 the destination holds the restored bytes;
 *   RAVMOLT_SOURCE_NOT_FOUND        the destination was not touched;
 *   RAVMOLT_DESTINATION_UNWRITABLE  the source was only opened, or the destination only opened:
 *                                   another call (in this process or another) is restoring into
 *                                   it and holds its advisory lock, or it is a symbolic link that
 *                                   another user planted in a sticky folder anyone may write to;
 *   RAVMOLT_SAME_FILE               nothing was opened for writing; the file is intact;
 *   RAVMOLT_INVALID_FORMAT          the destination is left empty, but for a source that cannot
 *                                   seek and holds more than 4 MiB, whose payload was cut short
 *                                   after output was written: it is removed;
 *   RAVMOLT_WRITE_FAILED            for example a full disk; an incomplete regular destination
 *                                   file is removed;
 *   RAVMOLT_OUT_OF_MEMORY           as after RAVMOLT_WRITE_FAILED, nothing incomplete is left;
 *                                   also, with nothing opened, when more calls than fit the
 *                                   clean-up's list (64, then blocks of 64 more) are in progress
 *                                   and no memory for another block could be had;
 *   RAVMOLT_INVALID_ARGUMENT        a path was null.
 * A destination the call creates gets the source's permission bits less the umask; an existing
 * one keeps its mode. The source is never written. The output streams to the file through a
 * buffer of 512 KiB, so memory use does not grow with the file. A source that cannot seek (a
 * pipe, a FIFO, a device) is read from where it stands: up to 4 MiB whole, then decoded as a
 * buffer; a longer one as it comes, through the streaming decoder below. A large file is decoded
 * on two threads when the process
 * may run on two processors: the call starts one thread of its own and has ended it before it
 * returns. That thread runs only on the processors the calling thread may use, other than the one
 * the call started on. */
RAVMOLT_API ravmolt_status ravmolt_decompress_file(const char* source_path,
                                                   const char* destination_path);

/* Restores the `size` compressed bytes at `compressed` and hands the result to `sink` in blocks,
 * in order. `compressed` is read in place (nothing is copied) and stays the caller's; it must not
 * change during the call. Returns RAVMOLT_SUCCESS (the sink took every restored byte),
 * RAVMOLT_INVALID_FORMAT (the sink was never called), RAVMOLT_WRITE_FAILED (the sink returned 0),
 * RAVMOLT_OUT_OF_MEMORY (the sink was never called) or RAVMOLT_INVALID_ARGUMENT (`sink` is null,
 * or `compressed` is null with a nonzero `size`). A file that announces no bits restores to
 * nothing: success with the sink never called. The decode runs on the calling thread only. */
RAVMOLT_API ravmolt_status ravmolt_decompress_buffer(const void* compressed, size_t size,
                                                     ravmolt_sink sink, void* context);

/* Restoring from a stream: any amount of input at a time, into any output room.
 *
 *   ravmolt_decoder* decoder = ravmolt_decoder_create();
 *   ravmolt_input in = {data, size, 0};
 *   ravmolt_output out = {room, sizeof room, 0};
 *   status = ravmolt_stream_decode(decoder, &in, &out, input_ended);
 *
 * Each call takes input from in.data + in.used (up to in.size) and writes output at
 * out.data + out.made (up to out.room), advancing in.used and out.made; the caller may reset them
 * or move the buffers between calls. It returns:
 *   RAVMOLT_NEEDS_INPUT       all the input given was taken and no output is waiting: call again
 *                             with more input, or with input_ended nonzero once there is none;
 *   RAVMOLT_OUTPUT_PENDING    the output room is full and restored bytes are waiting;
 *   RAVMOLT_SUCCESS           the file is restored and every byte handed out. Input bytes past the
 *                             file's last byte (the payload's, or the table's when its last entry
 *                             reaches further) are not taken: in.size - in.used of them are left,
 *                             for whatever follows in the caller's stream;
 *   RAVMOLT_INVALID_FORMAT    bad checksum, cut-short header or table, or bits with no codes:
 *                             found before any output. Also a header or table cut short by the
 *                             end of the input;
 *   RAVMOLT_TRUNCATED         input_ended was given before the payload's last code, after all the
 *                             output that could be made was handed out (as zlib's Z_BUF_ERROR
 *                             with Z_FINISH);
 *   RAVMOLT_OUT_OF_MEMORY, RAVMOLT_INVALID_ARGUMENT (a null pointer, or used past size).
 * Bytes not taken must be given again, first, on the next call. After a failure or success the
 * decoder gives that status again, taking nothing, until it is reset. One byte of input, or of
 * room, at a time works; 64 KiB pieces into 256 KiB of room go about as fast as
 * ravmolt_decompress_buffer. Memory does not grow with the file: a new decoder holds 531 KiB (a
 * staging buffer of 512 KiB for output that the room cannot take at once, and a carry-over of a
 * few hundred bytes of input); decoding adds the decode tables and the buffers of the decode
 * lanes, about 1.2 MiB in all for most files and 2.3 MiB for the deepest code trees (codes 255
 * bits long), as measured. A decoder is used by one thread at a time; decoders share nothing. */
typedef struct ravmolt_decoder ravmolt_decoder;
typedef struct ravmolt_input {
  const void* data;
  size_t size;
  size_t used;
} ravmolt_input;
typedef struct ravmolt_output {
  void* data;
  size_t room;
  size_t made;
} ravmolt_output;

/* A new decoder, ready for a file; null when memory is short. */
RAVMOLT_API ravmolt_decoder* ravmolt_decoder_create(void);
/* Frees a decoder and everything it holds; null does nothing. */
RAVMOLT_API void ravmolt_decoder_free(ravmolt_decoder* decoder);
/* Makes a decoder ready for the next file, keeping its memory; null does nothing. */
RAVMOLT_API void ravmolt_decoder_reset(ravmolt_decoder* decoder);
/* Restores from `input` into `output`, as above. */
RAVMOLT_API ravmolt_status ravmolt_stream_decode(ravmolt_decoder* decoder, ravmolt_input* input,
                                                 ravmolt_output* output, int input_ended);

/* For a program's own handler of SIGINT, SIGTERM and the like, which is about to end the process,
 * on any thread: empties and removes the destination of every ravmolt_decompress_file call in
 * progress in the process, so that no name is left holding partial output. Only a regular file
 * that such a call created or truncated is touched: the call's writes to it are stopped first
 * (one under way is waited for, later ones fail), then it is emptied, then its name is removed
 * when it is the file the call opened by that name (through a link, the file is only emptied).
 * Such a call then returns RAVMOLT_WRITE_FAILED; a call whose destination is no regular file goes
 * on. The calls' own threads hold signals back while they write, so the handler never waits on
 * the thread it runs on. Async-signal-safe: it takes no lock and allocates nothing. The library
 * installs no signal handler of its own. */
RAVMOLT_API void ravmolt_discard_incomplete_destinations(void);

/* A short English sentence for `status` (a ravmolt_status), such as "the source is not a valid
 * compressed file", for a program's own messages; values not listed above get a text of their
 * own. Never null; the text has static storage and must not be freed. */
RAVMOLT_API const char* ravmolt_status_text(int status);

/* The version of the loaded library, "major.minor.patch", with static storage. */
RAVMOLT_API const char* ravmolt_version(void);

/* The same as major * 10000 + minor * 100 + patch, to compare with RAVMOLT_VERSION_NUMBER. */
RAVMOLT_API unsigned ravmolt_version_number(void);

/* Ownership and threads: the library keeps no state between calls (but the list of file calls in
 * progress, for ravmolt_discard_incomplete_destinations) and holds nothing of the caller's after a
 * call returns. Every function may be called from several threads at the same
 * time, on different files or buffers (the same source buffer may be shared, being only read);
 * two calls writing one destination path at once leave it in an undefined state, as two
 * programs would. No function prints, throws or aborts. */

#ifdef __cplusplus
}
#endif

#endif /* RAVMOLT_RAVMOLT_C_H */
