// The public face of ravmolt.mjs, after the engine's loader (core.js).

// Restores a whole compressed file: resolves to the original bytes, or rejects with RavmoltError.
// The output goes straight into one buffer, sized from the file's table (no output can be longer
// than its bit count), and grown only for a file whose counts understate it.
async function decompress(bytes) {
  let output = null;
  let total = 0;
  await restore(bytes, (block) => {
    if (output === null || total + block.length > output.length) {
      const header = readHeader(bytes, bytes.length);
      const announced = Math.min(announcedOutputSize(bytes, bytes.length) ?? 0, header.bitCount);
      const grown = new Uint8Array(Math.max(announced, total + block.length, 2 * total));
      if (output !== null) grown.set(output.subarray(0, total));
      output = grown;
    }
    output.set(block, total);
    total += block.length;
  });
  if (output === null) return new Uint8Array(0);
  return total === output.length ? output : output.slice(0, total);
}

// A TransformStream from compressed chunks (Uint8Array) to restored ones, of up to 256 KiB each.
// The engine decodes from memory, so the input is held whole until it ends, and the output is
// then handed on block by block as the engine produces it; a failure errors the stream with
// RavmoltError.
function createDecompressionStream() {
  let chunks = [];
  let size = 0;
  return new TransformStream({
    transform(chunk) {
      if (!(chunk instanceof Uint8Array)) {
        throw new TypeError('ravmolt: stream chunks must be Uint8Array');
      }
      chunks.push(chunk);
      size += chunk.length;
    },
    async flush(controller) {
      const whole = chunks.length === 1 ? chunks[0] : new Uint8Array(size);
      if (chunks.length !== 1) {
        let at = 0;
        for (const chunk of chunks) {
          whole.set(chunk, at);
          at += chunk.length;
        }
      }
      chunks = [];
      await restore(whole, (block) => controller.enqueue(block.slice()));
    },
  });
}

export { decompress, createDecompressionStream, RavmoltError, STATUS_NAMES as statusNames };
