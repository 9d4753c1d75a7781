// node bench/web_speed.mjs node|chromium WEB_FOLDER ROUNDS file...
//   The module's decompress() on each compressed file, ROUNDS times, in this Node or in headless
//   Chromium (a blank page on a local host that imports WEB_FOLDER/ravmolt.mjs); prints, per
//   file, its name and the median speed in MiB/s of output.
// node bench/web_speed.mjs page WEB_FOLDER ROUNDS file
//   The page itself: from choosing the file to its download completed, ROUNDS times; prints the
//   median seconds from the choice to the download link and to the saved file.
// Chromium is /usr/bin/chromium (or RAVMOLT_CHROMIUM), driven by web/node_modules/puppeteer-core.
import { mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { createServer } from 'node:http';
import { createRequire } from 'node:module';
import { tmpdir } from 'node:os';
import { basename, join, resolve } from 'node:path';
import { pathToFileURL } from 'node:url';

const [mode, webFolder, roundsText, ...files] = process.argv.slice(2);
const rounds = Math.max(1, Number(roundsText));
if (!['node', 'chromium', 'page'].includes(mode) || files.length === 0) {
  console.error('usage: node bench/web_speed.mjs node|chromium|page WEB_FOLDER ROUNDS file...');
  process.exit(2);
}
const median = (values) => values.sort((a, b) => a - b)[Math.floor(values.length / 2)];
const mebibytes = (bytes) => bytes / (1 << 20);

async function inNode() {
  const { decompress } = await import(pathToFileURL(resolve(webFolder, 'ravmolt.mjs')).href);
  for (const file of files) {
    const bytes = new Uint8Array(readFileSync(file));
    const speeds = [];
    for (let round = 0; round < rounds; ++round) {
      const start = performance.now();
      const output = await decompress(bytes);
      speeds.push(mebibytes(output.length) / ((performance.now() - start) / 1000));
    }
    console.log(`${file} ${median(speeds).toFixed(1)}`);
  }
}

async function launch() {
  const require = createRequire(new URL('../web/package.json', import.meta.url));
  const { default: puppeteer } = await import(pathToFileURL(require.resolve('puppeteer-core')).href);
  const profile = mkdtempSync(join(tmpdir(), 'ravmolt-bench-chromium-'));
  const browser = await puppeteer.launch({
    executablePath: process.env.RAVMOLT_CHROMIUM ?? '/usr/bin/chromium',
    headless: true,
    args: [
      '--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync',
      `--user-data-dir=${profile}`,
    ],
  });
  return { browser, done: async () => { await browser.close(); rmSync(profile, { recursive: true, force: true }); } };
}

// Serves the web folder at / and the files to measure at /input/N.
function serve() {
  const server = createServer((request, response) => {
    let body;
    try {
      if (request.url.startsWith('/input/')) body = readFileSync(files[Number(request.url.slice(7))]);
      else if (request.url === '/blank.html') body = '<!doctype html><title>bench</title>';
      else body = readFileSync(join(webFolder, request.url.slice(1)));
    } catch {
      response.writeHead(404).end();
      return;
    }
    const type = request.url.endsWith('.mjs') ? 'text/javascript' : request.url.endsWith('.html') ? 'text/html' : 'application/octet-stream';
    response.writeHead(200, { 'content-type': type }).end(body);
  });
  return new Promise((done) => server.listen(0, '127.0.0.1', () => done(server)));
}

async function inChromium() {
  const server = await serve();
  const { browser, done } = await launch();
  const page = await browser.newPage();
  await page.goto(`http://127.0.0.1:${server.address().port}/blank.html`);
  for (const [index, file] of files.entries()) {
    const speed = await page.evaluate(async (index, rounds) => {
      const { decompress } = await import('/ravmolt.mjs');
      const bytes = new Uint8Array(await (await fetch(`/input/${index}`)).arrayBuffer());
      const speeds = [];
      for (let round = 0; round < rounds; ++round) {
        const start = performance.now();
        const output = await decompress(bytes);
        speeds.push(output.length / (1 << 20) / ((performance.now() - start) / 1000));
      }
      return speeds.sort((a, b) => a - b)[Math.floor(speeds.length / 2)];
    }, index, rounds);
    console.log(`${file} ${speed.toFixed(1)}`);
  }
  await done();
  server.close();
}

async function pageTimes() {
  const { browser, done } = await launch();
  const downloads = mkdtempSync(join(tmpdir(), 'ravmolt-bench-downloads-'));
  const session = await browser.target().createCDPSession();
  await session.send('Browser.setDownloadBehavior', { behavior: 'allowAndName', downloadPath: downloads, eventsEnabled: true });
  const toLink = [];
  const toFile = [];
  for (let round = 0; round < rounds; ++round) {
    const page = await browser.newPage();
    await page.goto(pathToFileURL(resolve(webFolder, 'index.html')).href);
    const completed = new Promise((resolve) => {
      const listener = ({ state }) => {
        if (state !== 'completed') return;
        session.off('Browser.downloadProgress', listener);
        resolve(performance.now());
      };
      session.on('Browser.downloadProgress', listener);
    });
    const start = performance.now();
    await (await page.$('#files')).uploadFile(files[0]);
    await page.waitForSelector('#results a.download', { timeout: 600000 });
    toLink.push((performance.now() - start) / 1000);
    await page.click('#results a.download');
    toFile.push(((await completed) - start) / 1000);
    await page.close();
  }
  console.log(`${basename(files[0])}: ${median(toLink).toFixed(2)} s to the download link, ${median(toFile).toFixed(2)} s to the saved file`);
  await done();
  rmSync(downloads, { recursive: true, force: true });
}

await { node: inNode, chromium: inChromium, page: pageTimes }[mode]();
