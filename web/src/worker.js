// The page's worker, after the engine's loader (core.js): restores one File per message, reading
// it straight into the engine's memory in slices, and posts the output back block by block, so
// that neither side ever holds the output in one piece.
//
// Messages out: {type: 'started', expected} (the output size the file's table announces, or
// null), {type: 'block', block, produced} (block transferred), {type: 'done', produced} and
// {type: 'failed', status, cutShort, message}.

const SLICE_SIZE = 8 << 20;

function readInto(file, view) {
  const reader = new FileReaderSync();
  for (let at = 0; at < file.size; at += SLICE_SIZE) {
    const end = Math.min(at + SLICE_SIZE, file.size);
    view.set(new Uint8Array(reader.readAsArrayBuffer(file.slice(at, end))), at);
  }
}

function restoreFile(engine, file) {
  const head = new Uint8Array(new FileReaderSync().readAsArrayBuffer(file.slice(0, 7 + 1300)));
  self.postMessage({ type: 'started', expected: announcedOutputSize(head, file.size) });
  let produced = 0;
  const code = restoreInto(
    engine,
    file.size,
    (view) => readInto(file, view),
    (view) => {
      const block = view.slice();
      produced += block.length;
      self.postMessage({ type: 'block', block, produced }, [block.buffer]);
    },
  );
  if (code === 0) {
    self.postMessage({ type: 'done', produced });
  } else {
    const error = failure(engine, code, code === INVALID_FORMAT && isCutShort(head, file.size));
    self.postMessage({ type: 'failed', status: error.status, cutShort: error.cutShort });
  }
}

self.onmessage = async ({ data }) => {
  try {
    restoreFile(await loadEngine(), data.file);
  } catch (error) {
    // An ArrayBuffer the browser cannot give is a RangeError; the engine's own failures arrive
    // as statuses above.
    let status = 'UNKNOWN';
    if (error instanceof RavmoltError) status = error.status;
    else if (error instanceof RangeError) status = 'OUT_OF_MEMORY';
    self.postMessage({ type: 'failed', status, cutShort: false, message: String(error) });
  }
};
