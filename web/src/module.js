// The public face of ravmolt.mjs, after the engine's loader (core.js).

// Restores a whole compressed file: resolves to the original bytes, or rejects with RavmoltError.
async function decompress(bytes) {
  const blocks = [];
  let total = 0;
  await restore(bytes, (block) => {
    blocks.push(block);
    total += block.length;
  });
  if (blocks.length === 1) return blocks[0];
  let output;
  try {
    output = new Uint8Array(total);
  } catch (error) {
    if (error instanceof RangeError) throw failure(await loadEngine(), OUT_OF_MEMORY);
    throw error;
  }
  let at = 0;
  for (const block of blocks.splice(0)) {
    output.set(block, at);
    at += block.length;
  }
  return output;
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
      await restore(whole, (block) => controller.enqueue(block));
    },
  });
}

export { decompress, createDecompressionStream, RavmoltError, STATUS_NAMES as statusNames };
