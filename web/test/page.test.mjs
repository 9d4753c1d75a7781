// index.html in headless Chromium, opened from disk and from a static host: files chosen at once
// are restored in workers and downloaded byte for byte; an invalid and a truncated file show
// their messages and offer nothing, as does one too large for the engine's memory; no request leaves the page and its policy blocks any; the
// file picker is reached by keyboard. A screenshot after the restores goes to
// build-web/page-after-restore.png (or RAVMOLT_SCREENSHOT).
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { readFileSync, truncateSync, writeFileSync } from 'node:fs';
import { createServer } from 'node:http';
import { join } from 'node:path';
import { after, before, test } from 'node:test';
import { pathToFileURL } from 'node:url';

import puppeteer from 'puppeteer-core';

import { nativeProgram, repoRoot, sample, shapeFiles, tempFolder, webBuild } from './support.mjs';

const CHROMIUM = process.env.RAVMOLT_CHROMIUM ?? '/usr/bin/chromium';
const files = tempFolder();

// The files the page is given, with what each must become.
function makeInputs() {
  const generatedText = join(files, 'english.txt');
  execFileSync(nativeProgram('bench/ravmolt-corpus'), ['english', String(12 << 20), generatedText]);
  execFileSync(nativeProgram('tools/ravmolt-encode'), [generatedText, join(files, 'english.rvm')]);
  const deep = shapeFiles().find(({ name }) => name === 'deep-255-bit.rvm').path;
  const deepCopy = join(files, 'deep-codes.huf');
  writeFileSync(deepCopy, readFileSync(deep));
  const deepText = join(files, 'deep.expected');
  execFileSync(nativeProgram('app/ravmolt'), [deep, deepText], { stdio: 'ignore' });
  writeFileSync(join(files, 'notes.txt'), 'These are notes, not a compressed file.\n');
  writeFileSync(join(files, 'lighthouse-cut.rvm'), sample.subarray(0, 600));
  // More than the engine's memory can grow to; sparse, so it costs no disk.
  const huge = join(files, 'huge.rvm');
  writeFileSync(huge, sample.subarray(0, 7));
  truncateSync(huge, 2 ** 31 + 7);
  return [
    { path: join(repoRoot, 'samples/lighthouse.rvm'), download: 'lighthouse', expected: join(repoRoot, 'samples/lighthouse.txt') },
    { path: join(files, 'english.rvm'), download: 'english', expected: generatedText },
    { path: deepCopy, download: 'deep-codes', expected: deepText },
    { path: join(files, 'notes.txt'), failure: /not a valid compressed file/ },
    { path: join(files, 'lighthouse-cut.rvm'), failure: /cut short/ },
    { path: huge, failure: /too large for this browser's memory/ },
  ];
}

let browser;
let server;
let inputs;

before(async () => {
  inputs = makeInputs();
  server = createServer((request, response) => {
    const name = request.url === '/' ? 'index.html' : request.url.slice(1);
    try {
      // A page of no policy of its own, for the module imported as a web page would.
      const body = name === 'blank.html' ? '<!doctype html><title>blank</title>' : readFileSync(join(webBuild, name));
      response.writeHead(200, { 'content-type': name.endsWith('.html') ? 'text/html' : 'text/javascript' });
      response.end(body);
    } catch {
      response.writeHead(404).end();
    }
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  browser = await puppeteer.launch({
    executablePath: CHROMIUM,
    headless: true,
    args: [
      '--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync',
      `--user-data-dir=${tempFolder('ravmolt-chromium-')}`,
    ],
  });
});

after(async () => {
  await browser?.close();
  server?.close();
});

// Downloads of the browser, saved under their GUIDs in `folder`: suggested name to saved path.
async function watchDownloads(folder) {
  const session = await browser.target().createCDPSession();
  await session.send('Browser.setDownloadBehavior', {
    behavior: 'allowAndName',
    downloadPath: folder,
    eventsEnabled: true,
  });
  const names = new Map();
  const finished = new Map();
  const waiting = new Map();
  session.on('Browser.downloadWillBegin', ({ guid, suggestedFilename }) => names.set(guid, suggestedFilename));
  session.on('Browser.downloadProgress', ({ guid, state }) => {
    if (state !== 'completed') return;
    const name = names.get(guid);
    finished.set(name, join(folder, guid));
    waiting.get(name)?.();
  });
  return (name) =>
    finished.has(name)
      ? Promise.resolve(finished.get(name))
      : new Promise((resolve) => waiting.set(name, () => resolve(finished.get(name))));
}

const origins = [
  { name: 'opened from disk', url: () => pathToFileURL(join(webBuild, 'index.html')).href },
  { name: 'from a static host', url: () => `http://127.0.0.1:${server.address().port}/` },
];

for (const origin of origins) {
  test(`the page restores files in workers, ${origin.name}`, async () => {
    const page = await browser.newPage();
    const pageUrl = origin.url();
    const requests = [];
    page.on('request', (request) => requests.push(request.url()));
    const downloads = join(tempFolder(), 'downloads');
    const downloaded = await watchDownloads(downloads);
    await page.setViewport({ width: 720, height: 600 });
    await page.goto(pageUrl);

    await page.keyboard.press('Tab');
    assert.equal(await page.evaluate(() => document.activeElement.id), 'files');

    // The values every progress bar went through, by the file it belongs to.
    await page.evaluate(() => {
      window.progressSeen = {};
      new MutationObserver((changes) => {
        for (const { target } of changes) {
          if (target.localName !== 'progress') continue;
          const name = target.closest('li').querySelector('.name').textContent;
          window.progressSeen[name] = Math.max(window.progressSeen[name] ?? 0, target.value);
        }
      }).observe(document.getElementById('results'), { attributes: true, subtree: true });
    });
    const picker = await page.$('#files');
    await picker.uploadFile(...inputs.map(({ path }) => path));
    await page.waitForFunction(
      (count) => document.querySelectorAll('#results li[data-outcome]').length === count,
      { timeout: 120000 },
      inputs.length,
    );
    const entries = await page.$$eval('#results li', (items) =>
      items.map((item) => ({
        name: item.querySelector('.name').textContent,
        outcome: item.dataset.outcome,
        state: item.querySelector('.state').textContent,
        download: item.querySelector('a')?.getAttribute('download') ?? null,
      })),
    );
    // Only the file of several MiB has a bar, and it went most of the way.
    const progress = await page.evaluate(() => window.progressSeen);
    assert.deepEqual(Object.keys(progress), ['english.rvm']);
    assert.ok(progress['english.rvm'] > 0.9, `progress reached ${progress['english.rvm']}`);
    for (const [i, input] of inputs.entries()) {
      const entry = entries[i];
      if (input.failure) {
        assert.equal(entry.outcome, 'failed', entry.name);
        assert.match(entry.state, input.failure, entry.name);
        assert.equal(entry.download, null, entry.name);
        continue;
      }
      assert.equal(entry.outcome, 'restored', entry.name);
      assert.equal(entry.download, input.download, entry.name);
      await page.click(`#results li:nth-child(${i + 1}) a`);
      const saved = await downloaded(input.download);
      assert.ok(readFileSync(saved).equals(readFileSync(input.expected)), entry.name);
    }

    // Nothing but the page itself was requested: the workers and downloads are Blob URLs.
    const outside = requests.filter((url) => url !== pageUrl && !url.startsWith('blob:'));
    assert.deepEqual(outside, []);

    if (origin.url === origins[0].url) {
      const shot = process.env.RAVMOLT_SCREENSHOT ?? join(webBuild, '../page-after-restore.png');
      await page.evaluate(() => window.scrollTo(0, 0));
      await page.screenshot({ path: shot, fullPage: true });
    }

    // The policy forbids requests the page might try: a fetch is refused and reported.
    const probe = await page.evaluate(async () => {
      const violations = [];
      document.addEventListener('securitypolicyviolation', (event) => violations.push(event.effectiveDirective));
      const fetched = await fetch('http://127.0.0.1:9/').then(() => 'fetched', () => 'refused');
      await new Promise((resolve) => setTimeout(resolve, 50));
      return { fetched, violations };
    });
    assert.deepEqual(probe, { fetched: 'refused', violations: ['connect-src'] });
    await page.close();
  });
}

test('ravmolt.mjs works in the browser as an ES module', async () => {
  const page = await browser.newPage();
  await page.goto(`http://127.0.0.1:${server.address().port}/blank.html`);
  const result = await page.evaluate(async (file) => {
    const { decompress, RavmoltError } = await import('/ravmolt.mjs');
    const output = await decompress(Uint8Array.from(file));
    const failure = await decompress(Uint8Array.from(file.slice(0, 100))).catch((error) => error);
    return {
      output: Array.from(output),
      failure: failure instanceof RavmoltError ? [failure.status, failure.cutShort] : String(failure),
    };
  }, Array.from(sample));
  assert.ok(Buffer.from(result.output).equals(readFileSync(join(repoRoot, 'samples/lighthouse.txt'))));
  assert.deepEqual(result.failure, ['INVALID_FORMAT', true]);
  await page.close();
});

test('files dropped on the page are restored, under names of their own', async () => {
  const page = await browser.newPage();
  await page.goto(pathToFileURL(join(webBuild, 'index.html')).href);
  // A drop as the browser delivers one: a DataTransfer holding the files, on the document.
  await page.evaluate((restorable) => {
    const transfer = new DataTransfer();
    transfer.items.add(new File([Uint8Array.from(restorable)], 'restore-me'));
    transfer.items.add(new File([Uint8Array.from(restorable)], 'twice.rvm.huf'));
    transfer.items.add(new File([new TextEncoder().encode('junk')], 'junk.bin'));
    document.body.dispatchEvent(new DragEvent('drop', { dataTransfer: transfer, bubbles: true, cancelable: true }));
  }, Array.from(sample));
  await page.waitForFunction(() => document.querySelectorAll('#results li[data-outcome]').length === 3);
  const outcomes = await page.$$eval('#results li', (items) =>
    items.map((item) => [item.dataset.outcome, item.querySelector('a')?.getAttribute('download') ?? null]),
  );
  assert.deepEqual(outcomes, [
    ['restored', 'restore-me.out'],
    ['restored', 'twice.rvm'],
    ['failed', null],
  ]);
  await page.close();
});
