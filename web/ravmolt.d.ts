/** Restores files made by the companion Huffman compressor, in browsers and Node 18 or newer. */

/** A failed restore: `status` names the C status, `message` is its English text. */
export class RavmoltError extends Error {
  readonly name: 'RavmoltError';
  /** The C status number, such as 1. */
  readonly code: number;
  /** The C status name, such as 'INVALID_FORMAT' or 'OUT_OF_MEMORY'. */
  readonly status: string;
  /** For an invalid file: its header announces more bytes than it holds. */
  readonly cutShort: boolean;
}

/** The status names by C value, 'SUCCESS' first. */
export const statusNames: readonly string[];

/** Restores a whole compressed file; rejects with RavmoltError. */
export function decompress(bytes: Uint8Array): Promise<Uint8Array>;

/**
 * Compressed chunks in, restored chunks out. The input is held whole until it ends; the output
 * then comes in blocks of up to 256 KiB. Errors the stream with RavmoltError.
 */
export function createDecompressionStream(): TransformStream<Uint8Array, Uint8Array>;
