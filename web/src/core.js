// The engine as WebAssembly, loaded from the bytes embedded below, and the one call every other
// part of the module and the page builds on: restore(), which decodes a whole compressed file and
// hands the output on in blocks as the engine produces them. Plain script, no imports or exports:
// the build puts it at the head of ravmolt.mjs and of the page's worker.

const WASM_BASE64 = '@RAVMOLT_WASM_BASE64@';

// The C statuses' names, indexed by value, as the build reads them from the library's one list of
// statuses (RAVMOLT_STATUS_LIST in ravmolt_c.h).
const STATUS_NAMES = @RAVMOLT_STATUS_NAMES@;
const INVALID_FORMAT = STATUS_NAMES.indexOf('INVALID_FORMAT');
const OUT_OF_MEMORY = STATUS_NAMES.indexOf('OUT_OF_MEMORY');

// The WASI error number the system calls answer with: nothing in a buffer decode uses them, and
// none has anything to reach here.
const ENOSYS = 52;

class RavmoltError extends Error {
  // `status` is the name of a C status, such as 'INVALID_FORMAT', `code` its number. For an
  // invalid file, `cutShort` tells whether its own header announces more bytes than it holds.
  constructor(code, message, cutShort = false) {
    super(message);
    this.name = 'RavmoltError';
    this.code = code;
    this.status = STATUS_NAMES[code] ?? 'UNKNOWN';
    this.cutShort = cutShort;
  }
}

function bytesFromBase64(text) {
  const binary = atob(text);
  const bytes = new Uint8Array(binary.length);
  for (let i = 0; i < binary.length; ++i) bytes[i] = binary.charCodeAt(i);
  return bytes;
}

// Sinks of the decodes in progress, by context number. A decode can start inside another's sink
// (restore() is synchronous), so each has its own entry.
const sinks = new Map();
let nextContext = 1;
let enginePromise = null;

function loadEngine() {
  if (enginePromise === null) {
    let exports = null;
    const take = (context, data, size) => {
      const sink = sinks.get(context);
      if (sink === undefined) return 0;
      // A sink that throws would unwind through the engine's frames and leak what it holds:
      // the error is kept, the decode told to stop, and the error rethrown once it has returned.
      try {
        sink.deliver(new Uint8Array(exports.memory.buffer, data >>> 0, size >>> 0));
        return 1;
      } catch (error) {
        sink.error = error;
        return 0;
      }
    };
    const unavailable = () => ENOSYS;
    const imports = {
      env: {
        ravmolt_web_take: take,
        emscripten_notify_memory_growth: () => {},
        __call_sighandler: () => {},
      },
      wasi_snapshot_preview1: {
        clock_time_get: unavailable,
        fd_pread: unavailable,
        fd_write: unavailable,
        proc_exit: (code) => {
          throw new Error(`ravmolt: the WebAssembly engine ended with status ${code}`);
        },
      },
    };
    enginePromise = WebAssembly.instantiate(bytesFromBase64(WASM_BASE64), imports).then(
      ({ instance }) => {
        exports = instance.exports;
        exports._initialize();
        return exports;
      },
    );
  }
  return enginePromise;
}

function statusText(engine, code) {
  const memory = new Uint8Array(engine.memory.buffer);
  const start = engine.ravmolt_web_status_text(code) >>> 0;
  let end = start;
  while (memory[end] !== 0) ++end;
  let text = '';
  for (let i = start; i < end; ++i) text += String.fromCharCode(memory[i]);
  return text;
}

function failure(engine, code, cutShort = false) {
  return new RavmoltError(code, statusText(engine, code), cutShort);
}

function readInt32(bytes, at) {
  return bytes[at] | (bytes[at + 1] << 8) | (bytes[at + 2] << 16) | (bytes[at + 3] << 24);
}

// The header of a file `size` bytes long starting with `head` (at least its first 7 bytes, or
// the whole file): its fields, whether they are consistent, and how many bytes the table and
// the payload it announces need.
function readHeader(head, size) {
  if (size < 7) return null;
  const bitCount = readInt32(head, 1);
  const tableSize = ((head[5] | (head[6] << 8)) << 16) >> 16;
  // (bitCount + tableSize) wraps at 32 bits; % truncates, so a negative sum gives a negative
  // remainder, which no checksum byte equals but for 0.
  const remainder = ((bitCount + tableSize) | 0) % 256;
  const table = Math.max(tableSize, 0);
  // Whole 5-byte entries are read while their offset is below tableSize.
  const tableEnd = 7 + Math.ceil(table / 5) * 5;
  const payloadEnd = 7 + table + Math.ceil(Math.max(bitCount, 0) / 8);
  return {
    checksumMatches: remainder === head[0],
    bitCount,
    tableSize: table,
    neededBytes: Math.max(tableEnd, payloadEnd),
  };
}

// Whether an invalid file is one cut short: its header is intact but announces more bytes than
// the file holds. Only words a failure the engine found; validity is the engine's to decide.
function isCutShort(head, size) {
  if (size > 0 && size < 7) return true;
  const header = readHeader(head, size);
  return header !== null && header.checksumMatches && header.neededBytes > size;
}

// The number of bytes the table's counts add up to, the size of the output of a file the
// compressor made, for progress reports and to size output buffers; null when the table is not
// all within `head`. Only a guide: a file may announce any counts.
function announcedOutputSize(head, size) {
  const header = readHeader(head, size);
  if (header === null || !header.checksumMatches || 7 + header.tableSize + 4 > head.length) {
    return null;
  }
  const counts = new Array(256).fill(0);
  for (let at = 7; at < 7 + header.tableSize; at += 5) counts[head[at]] = readInt32(head, at + 1);
  return counts.reduce((sum, count) => sum + Math.max(count, 0), 0);
}

// Decodes with the engine: `fill(view)` copies the `size` compressed bytes into `view` (a
// Uint8Array in the engine's memory), and `deliver(block)` receives each block of output, a view
// of the engine's memory that is valid during the call only: what is kept must be copied.
// Returns the C status; throws RavmoltError when the input cannot be placed, and what `fill` or
// `deliver` threw. Synchronous.
function restoreInto(engine, size, fill, deliver) {
  // Sizes pass as 32-bit words, and the memory stops growing at 2 GiB. malloc(0) may give no
  // block, which the engine would take for a missing buffer.
  const address = size < 2 ** 31 ? engine.malloc(Math.max(size, 1)) >>> 0 : 0;
  if (address === 0) throw failure(engine, OUT_OF_MEMORY);
  const context = nextContext;
  nextContext = (nextContext % 0xffffffff) + 1;  // the engine carries it as a 32-bit word
  const sink = { deliver, error: null };
  sinks.set(context, sink);
  let code;
  try {
    fill(new Uint8Array(engine.memory.buffer, address, size));
    code = engine.ravmolt_web_decompress(address, size, context);
  } finally {
    sinks.delete(context);
    engine.free(address);
  }
  if (sink.error !== null) throw sink.error;
  return code;
}

// restoreInto() for bytes in JavaScript's memory, once the engine is loaded; throws RavmoltError
// for a failure, and a RangeError from `deliver` (memory JavaScript cannot have) as one too.
async function restore(bytes, deliver) {
  if (!(bytes instanceof Uint8Array)) {
    throw new TypeError('ravmolt: the compressed bytes must be a Uint8Array');
  }
  const engine = await loadEngine();
  let code;
  try {
    code = restoreInto(engine, bytes.length, (view) => view.set(bytes), deliver);
  } catch (error) {
    if (error instanceof RangeError) throw failure(engine, OUT_OF_MEMORY);
    throw error;
  }
  if (code !== 0) throw failure(engine, code, code === INVALID_FORMAT && isCutShort(bytes, bytes.length));
}
