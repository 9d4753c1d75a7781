// Where the module's tests find their inputs: the web build (RAVMOLT_WEB_BUILD, by default
// build-web/web), the native build (RAVMOLT_NATIVE_BUILD, by default build) with the command and
// the case writer, and the cases that writer makes, written once per test run.
import { execFileSync } from 'node:child_process';
import { existsSync, mkdtempSync, readFileSync, readdirSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';

export const repoRoot = resolve(fileURLToPath(new URL('../..', import.meta.url)));
export const webBuild = resolve(process.env.RAVMOLT_WEB_BUILD ?? join(repoRoot, 'build-web/web'));
export const nativeBuild = resolve(process.env.RAVMOLT_NATIVE_BUILD ?? join(repoRoot, 'build'));
export const sample = readFileSync(join(repoRoot, 'samples/lighthouse.rvm'));
export const sampleText = readFileSync(join(repoRoot, 'samples/lighthouse.txt'));

export function nativeProgram(relativePath) {
  const path = join(nativeBuild, relativePath);
  if (!existsSync(path)) {
    throw new Error(`${path} is missing: build the native tree first (cmake --build build)`);
  }
  return path;
}

export function loadModule() {
  return import(join(webBuild, 'ravmolt.mjs'));
}

const folders = [];
process.on('exit', () => {
  for (const folder of folders) rmSync(folder, { recursive: true, force: true });
});

// A private folder, removed when the test process ends.
export function tempFolder(prefix = 'ravmolt-web-') {
  const folder = mkdtempSync(join(tmpdir(), prefix));
  folders.push(folder);
  return folder;
}

let cases = null;

// The folder ravmolt-web-cases wrote: sweep.bin and shapes/*.rvm.
export function casesFolder() {
  if (cases === null) {
    cases = tempFolder('ravmolt-web-cases-');
    execFileSync(nativeProgram('tests/ravmolt-web-cases'), [cases]);
  }
  return cases;
}

export function shapeFiles() {
  const folder = join(casesFolder(), 'shapes');
  return readdirSync(folder).sort().map((name) => ({ name, path: join(folder, name) }));
}

// The sweep's records: {input, valid, output}.
export function* sweepRecords() {
  const bytes = readFileSync(join(casesFolder(), 'sweep.bin'));
  let at = 0;
  const length = () => {
    const value = bytes.readUInt32LE(at);
    at += 4;
    return value;
  };
  while (at < bytes.length) {
    const inputLength = length();
    const input = bytes.subarray(at, at + inputLength);
    at += inputLength;
    const valid = bytes[at++] === 1;
    const outputLength = length();
    const output = bytes.subarray(at, at + outputLength);
    at += outputLength;
    yield { input, valid, output };
  }
}

// What the native command restores from `source`.
export function nativeRestore(source) {
  const destination = join(tempFolder(), 'restored');
  execFileSync(nativeProgram('app/ravmolt'), [source, destination], { stdio: 'ignore' });
  return readFileSync(destination);
}
