// node build_page.mjs ravmolt.wasm sourceFolder outputFolder
// Writes the web outputs: ravmolt.mjs (the engine embedded as base64 beside its loader and the
// module's functions), index.html (one self-contained file: style, script and the worker's
// script inline, under a Content-Security-Policy that allows exactly those, by hash, and no
// request of any kind), and the package's package.json and ravmolt.d.ts.
import { createHash } from 'node:crypto';
import { copyFileSync, mkdirSync, readFileSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';

const [wasmPath, sourceFolder, outputFolder] = process.argv.slice(2);
if (outputFolder === undefined) {
  console.error('usage: node build_page.mjs ravmolt.wasm sourceFolder outputFolder');
  process.exit(2);
}
const source = (name) => readFileSync(join(sourceFolder, name), 'utf8');

// Each placeholder is replaced once, by a function so that `$` in the text stays as it is.
function fill(template, values) {
  let text = template;
  for (const [key, value] of Object.entries(values)) {
    const mark = `@${key}@`;
    if (!text.includes(mark)) throw new Error(`build_page: ${mark} is missing`);
    text = text.replace(mark, () => value);
  }
  return text;
}

const sha256 = (text) => `'sha256-${createHash('sha256').update(text, 'utf8').digest('base64')}'`;

// The statuses' names by value, from the rows RAVMOLT_STATUS(NAME, value, ...) of the C header.
function statusNames() {
  const header = readFileSync(join(sourceFolder, '..', 'include', 'ravmolt', 'ravmolt_c.h'), 'utf8');
  const names = [];
  for (const [, name, value] of header.matchAll(/RAVMOLT_STATUS\((\w+), (\d+),/g)) {
    names[Number(value)] = name;
  }
  if (names.length === 0 || names.includes(undefined)) throw new Error('build_page: no status list');
  return JSON.stringify(names);
}

const core = fill(source('src/core.js'), {
  RAVMOLT_WASM_BASE64: readFileSync(wasmPath).toString('base64'),
  RAVMOLT_STATUS_NAMES: statusNames(),
});
const moduleText =
  '// ravmolt.mjs: restores files made by the companion Huffman compressor, with the engine in\n' +
  '// WebAssembly. Written by web/build_page.mjs from web/src/.\n' +
  `${core}\n${source('src/module.js')}`;
const workerText = `'use strict';\n${core}\n${source('src/worker.js')}`;
const pageScript = source('src/page.js');
const style = source('src/page.css');
for (const [name, text] of [['the worker', workerText], ['the page script', pageScript]]) {
  if (/<\/script/i.test(text)) throw new Error(`build_page: ${name} cannot be inlined`);
}

// The workers come from Blob URLs and compile WebAssembly; nothing may be fetched, sent or
// framed, and only this style and this script run.
const policy = [
  "default-src 'none'",
  `script-src ${sha256(pageScript)} 'wasm-unsafe-eval'`,
  `style-src ${sha256(style)}`,
  'worker-src blob:',
  "base-uri 'none'",
  "form-action 'none'",
].join('; ');

mkdirSync(outputFolder, { recursive: true });
writeFileSync(join(outputFolder, 'ravmolt.mjs'), moduleText);
writeFileSync(
  join(outputFolder, 'index.html'),
  fill(source('src/index.html'), { CSP: policy, STYLE: style, WORKER: workerText, SCRIPT: pageScript }),
);
copyFileSync(join(sourceFolder, 'package.json'), join(outputFolder, 'package.json'));
copyFileSync(join(sourceFolder, 'ravmolt.d.ts'), join(outputFolder, 'ravmolt.d.ts'));
