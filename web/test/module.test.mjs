// ravmolt.mjs in Node: exact output on the sample, on every tree shape against the native command
// and through the stream form; every input of the malformed sweep judged by the reference
// decoder; failures as RavmoltError with the C status; and the packed package installed offline.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { mkdirSync, readFileSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { test } from 'node:test';

import {
  loadModule,
  repoRoot,
  nativeRestore,
  sample,
  sampleText,
  shapeFiles,
  sweepRecords,
  tempFolder,
  webBuild,
} from './support.mjs';

const { decompress, createDecompressionStream, RavmoltError, statusNames } = await loadModule();

// The file with its header rewritten: bitCount, tableSize, and the checksum that matches them
// unless one is given.
function withHeader(file, bitCount, tableSize, checksum) {
  const copy = Uint8Array.from(file);
  const view = new DataView(copy.buffer);
  view.setInt32(1, bitCount, true);
  view.setInt16(5, tableSize, true);
  copy[0] = checksum ?? (((bitCount + tableSize) | 0) % 256 + 256) % 256;
  return copy;
}

const int32 = (value) => [value & 0xff, (value >> 8) & 0xff, (value >> 16) & 0xff, (value >>> 24) & 0xff];

async function rejection(promise) {
  try {
    await promise;
  } catch (error) {
    return error;
  }
  assert.fail('the restore succeeded');
}

async function throughStream(file, chunkSize) {
  const chunks = [];
  for (let at = 0; at < file.length; at += chunkSize) chunks.push(file.subarray(at, at + chunkSize));
  const input = new ReadableStream({
    pull(controller) {
      if (chunks.length > 0) controller.enqueue(chunks.shift());
      else controller.close();
    },
  });
  const output = [];
  for await (const block of input.pipeThrough(createDecompressionStream())) output.push(block);
  return output;
}

const joined = (blocks) => Buffer.concat(blocks.map((block) => Buffer.from(block)));

test('the sample restores to its text, again and again', async () => {
  for (let round = 0; round < 3; ++round) {
    assert.deepEqual(Buffer.from(await decompress(new Uint8Array(sample))), sampleText);
  }
});

test('small files: output of no bytes and of exactly one block', async () => {
  const cases = [
    { name: 'header only', file: new Uint8Array(7), output: new Uint8Array(0) },
    {
      name: '123 bytes of A, checksum byte above 127',
      file: Uint8Array.from([0x80, 0x7b, 0, 0, 0, 5, 0, 0x41, 1, 0, 0, 0, ...new Array(16).fill(0)]),
      output: new Uint8Array(123).fill(0x41),
    },
    {
      name: 'a table and no bits',
      file: Uint8Array.from([0x05, 0, 0, 0, 0, 5, 0, 0x41, 1, 0, 0, 0]),
      output: new Uint8Array(0),
    },
  ];
  for (const { name, file, output } of cases) {
    assert.deepEqual(await decompress(file), output, name);
  }
});

test('every tree shape restores as the native command restores it', async () => {
  const shapes = shapeFiles();
  assert.ok(shapes.length >= 15, `only ${shapes.length} shapes`);
  for (const { name, path } of shapes) {
    const file = readFileSync(path);
    const expected = nativeRestore(path);
    assert.ok(Buffer.from(await decompress(file)).equals(expected), name);
  }
});

test('the stream form gives the same bytes, in blocks of at most 256 KiB', async () => {
  const shapes = shapeFiles().filter(({ name }) =>
    ['english.rvm', 'deep-255-bit.rvm', 'single-symbol.rvm', 'empty.rvm'].includes(name));
  assert.equal(shapes.length, 4);
  for (const { name, path } of shapes) {
    const file = readFileSync(path);
    const expected = nativeRestore(path);
    for (const chunkSize of [1, 4093, 1 << 20]) {
      if (chunkSize === 1 && file.length > 1 << 16) continue;  // a million chunks prove nothing more
      const blocks = await throughStream(file, chunkSize);
      assert.ok(blocks.every((block) => block.length >= 1 && block.length <= 256 << 10), name);
      assert.ok(joined(blocks).equals(expected), `${name} in chunks of ${chunkSize}`);
    }
  }
});

test('decodes at the same time keep their outputs apart', async () => {
  const files = shapeFiles().slice(0, 6);
  const outputs = await Promise.all(files.map(({ path }) => decompress(readFileSync(path))));
  files.forEach(({ name, path }, i) => assert.ok(Buffer.from(outputs[i]).equals(nativeRestore(path)), name));
});

test('outputs longer and shorter than the table announces restore as the native command does', async () => {
  const twoSymbols = (count, bitCount, payload) => {
    const table = [0x61, ...int32(count), 0x62, ...int32(count)];
    return withHeader(Uint8Array.from([0, 0, 0, 0, 0, 0, 0, ...table, ...payload]), bitCount, 10);
  };
  const payload = Array.from({ length: 100000 }, (_, i) => (i * 37) & 0xff);
  const cases = [
    { name: 'counts of 1, 800000 one-bit codes', file: twoSymbols(1, 800000, payload) },
    { name: 'counts of 10^9, 1000 one-bit codes', file: twoSymbols(1e9, 1000, payload.slice(0, 125)) },
  ];
  const folder = tempFolder();
  for (const { name, file } of cases) {
    const path = join(folder, 'file.rvm');
    writeFileSync(path, file);
    assert.ok(Buffer.from(await decompress(file)).equals(nativeRestore(path)), name);
  }
});

test('every input of the malformed sweep decodes like the reference decoder', async () => {
  let valid = 0;
  let invalid = 0;
  for (const record of sweepRecords()) {
    if (record.valid) {
      ++valid;
      const output = await decompress(record.input);
      if (!Buffer.from(output).equals(record.output)) {
        assert.fail(`a well-formed input of ${record.input.length} bytes restored wrongly`);
      }
    } else {
      ++invalid;
      const error = await rejection(decompress(record.input));
      if (!(error instanceof RavmoltError) || error.status !== 'INVALID_FORMAT') {
        assert.fail(`an invalid input of ${record.input.length} bytes gave ${error}`);
      }
    }
  }
  // Both outcomes must be well represented, or the sweep proves little.
  assert.ok(valid > 500, `${valid} well-formed inputs`);
  assert.ok(invalid > 10000, `${invalid} invalid inputs`);
});

test('an invalid file tells whether it is cut short', async () => {
  const cut = (length) => sample.subarray(0, length);
  const tableSize = sample.readInt16LE(5);
  const cases = [
    { name: 'one byte', file: cut(1), cutShort: true },
    { name: 'six bytes', file: cut(6), cutShort: true },
    { name: 'inside the table', file: cut(7 + tableSize - 3), cutShort: true },
    { name: 'inside the payload', file: cut(7 + tableSize + 10), cutShort: true },
    { name: 'the last byte missing', file: cut(sample.length - 1), cutShort: true },
    { name: 'nothing at all', file: new Uint8Array(0), cutShort: false },
    { name: 'a wrong checksum', file: withHeader(sample, sample.readInt32LE(1), tableSize, 7), cutShort: false },
    { name: 'ten bytes of text', file: new TextEncoder().encode('plain text'), cutShort: false },
    { name: 'bits but no codes', file: withHeader(new Uint8Array(20), 9, 0), cutShort: false },
  ];
  for (const { name, file, cutShort } of cases) {
    const error = await rejection(decompress(file));
    assert.ok(error instanceof RavmoltError, name);
    assert.equal(error.status, 'INVALID_FORMAT', name);
    assert.equal(error.code, 1, name);
    assert.equal(error.message, 'the source is not a valid compressed file', name);
    assert.equal(error.cutShort, cutShort, name);
  }
});

test('a failure through the stream form errors the stream with RavmoltError', async () => {
  const error = await rejection(throughStream(sample.subarray(0, 100), 7));
  assert.ok(error instanceof RavmoltError);
  assert.equal(error.status, 'INVALID_FORMAT');
  assert.equal(error.cutShort, true);
});

test('more than the engine can hold is refused as out of memory', async () => {
  // Two GiB, the most the engine's memory can grow to: the copy cannot even be placed.
  // 2^32 bytes must not wrap to a size of 0 on its way into the engine.
  for (const size of [2 ** 31, 2 ** 32]) {
    const error = await rejection(decompress(new Uint8Array(size)));
    assert.ok(error instanceof RavmoltError, `${size} bytes`);
    assert.equal(error.status, 'OUT_OF_MEMORY', `${size} bytes`);
    assert.equal(error.message, 'the decoder ran out of memory', `${size} bytes`);
  }
  assert.deepEqual(Buffer.from(await decompress(new Uint8Array(sample))), sampleText);
});

test('bytes that are not a Uint8Array are refused', async () => {
  for (const value of [null, 'text', sample.buffer, [1, 2, 3]]) {
    await assert.rejects(decompress(value), TypeError);
  }
});

test('status names follow the C values', () => {
  assert.deepEqual(statusNames.slice(0, 8), [
    'SUCCESS', 'INVALID_FORMAT', 'SOURCE_NOT_FOUND', 'DESTINATION_UNWRITABLE', 'SAME_FILE',
    'WRITE_FAILED', 'OUT_OF_MEMORY', 'INVALID_ARGUMENT',
  ]);
});

test('the packed package installs offline into a Node project and restores', () => {
  const folder = tempFolder();
  const tarball = execFileSync('npm', ['pack', '--silent', '--pack-destination', folder, webBuild], {
    encoding: 'utf8',
  }).trim();
  const project = join(folder, 'project');
  mkdirSync(project);
  writeFileSync(join(project, 'package.json'), '{"name": "user", "version": "1.0.0", "type": "module"}');
  execFileSync('npm', ['install', '--offline', '--no-audit', '--no-fund', join(folder, tarball)], {
    cwd: project,
    stdio: 'ignore',
  });
  writeFileSync(
    join(project, 'use.mjs'),
    "import { readFileSync } from 'node:fs';\n" +
      "import { decompress } from 'ravmolt';\n" +
      'process.stdout.write(await decompress(readFileSync(process.argv[2])));\n',
  );
  const output = execFileSync('node', ['use.mjs', join(repoRoot, 'samples/lighthouse.rvm')], {
    cwd: project,
  });
  assert.ok(output.equals(sampleText));
});
