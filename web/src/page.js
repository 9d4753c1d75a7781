// The page: each chosen or dropped file gets a line in the list, is restored in a worker of its
// own, and is offered for download as a Blob made of the worker's output blocks. The worker is
// made from the script text embedded in the page, a Blob URL, which works from file:// as from
// any host, and needs no request.
(() => {
  'use strict';

  const PROGRESS_FROM = 4 << 20;  // compressed bytes; smaller files are done before a bar shows
  const RUNNING_AT_ONCE = Math.max(1, Math.min(2, navigator.hardwareConcurrency || 1));

  const workerUrl = URL.createObjectURL(
    new Blob([document.getElementById('worker-source').textContent], { type: 'text/javascript' }),
  );
  const list = document.getElementById('results');
  const waiting = [];
  let running = 0;

  // The restored file's name: the source's without .rvm or .huf, or with .out added.
  function restoredName(name) {
    const stem = name.replace(/\.(rvm|huf)$/i, '');
    return stem !== name && stem !== '' ? stem : `${name}.out`;
  }

  function sizeText(bytes) {
    if (bytes < 1024) return `${bytes} bytes`;
    const units = ['KiB', 'MiB', 'GiB'];
    let value = bytes / 1024;
    let unit = 0;
    while (value >= 1024 && unit < units.length - 1) {
      value /= 1024;
      ++unit;
    }
    return `${value.toFixed(value < 10 ? 1 : 0)} ${units[unit]}`;
  }

  function failureText(status, cutShort) {
    if (status === 'INVALID_FORMAT' && cutShort) {
      return 'This file is cut short: it ends before the data its header announces. ' +
        'It may not have finished downloading or copying.';
    }
    if (status === 'INVALID_FORMAT') {
      return 'This is not a valid compressed file: it was not made by this compressor, or it is damaged.';
    }
    if (status === 'OUT_OF_MEMORY') return "This file is too large for this browser's memory.";
    return 'This file could not be restored: the decoder stopped unexpectedly.';
  }

  function addEntry(file) {
    const item = document.createElement('li');
    const name = document.createElement('span');
    name.className = 'name';
    name.textContent = file.name;
    const state = document.createElement('span');
    state.className = 'state';
    state.textContent = `Waiting (${sizeText(file.size)})`;
    item.append(name, state);
    let bar = null;
    if (file.size >= PROGRESS_FROM) {
      bar = document.createElement('progress');
      bar.max = 1;
      bar.setAttribute('aria-label', `Restoring ${file.name}`);
      item.append(bar);
    }
    document.getElementById('results-title').hidden = false;
    list.append(item);
    return { file, item, state, bar };
  }

  function finish(entry, worker) {
    worker.terminate();
    entry.bar?.remove();
    --running;
    startWaiting();
  }

  function offerDownload(entry, parts, produced) {
    const name = restoredName(entry.file.name);
    const link = document.createElement('a');
    link.className = 'download';
    link.href = URL.createObjectURL(new Blob(parts, { type: 'application/octet-stream' }));
    link.download = name;
    link.textContent = `Download ${name}`;
    entry.state.textContent = `Restored: ${sizeText(produced)}`;
    entry.item.append(link);
    entry.item.dataset.outcome = 'restored';
  }

  function showFailure(entry, status, cutShort) {
    entry.state.textContent = failureText(status, cutShort);
    entry.state.classList.add('failed');
    entry.item.dataset.outcome = 'failed';
  }

  function restore(entry) {
    const worker = new Worker(workerUrl);
    let parts = [];
    let expected = null;
    entry.state.textContent = 'Restoring…';
    worker.onmessage = ({ data }) => {
      if (data.type === 'started') {
        expected = data.expected;
      } else if (data.type === 'block') {
        parts.push(data.block);
        if (entry.bar && expected > 0) entry.bar.value = Math.min(data.produced / expected, 1);
      } else if (data.type === 'done') {
        offerDownload(entry, parts, data.produced);
        parts = [];
        finish(entry, worker);
      } else if (data.type === 'failed') {
        parts = [];
        showFailure(entry, data.status, data.cutShort);
        finish(entry, worker);
      }
    };
    worker.onerror = (event) => {
      event.preventDefault();
      parts = [];
      showFailure(entry, 'UNKNOWN', false);
      finish(entry, worker);
    };
    worker.postMessage({ file: entry.file });
  }

  function startWaiting() {
    while (running < RUNNING_AT_ONCE && waiting.length > 0) {
      ++running;
      restore(waiting.shift());
    }
  }

  function take(files) {
    for (const file of files) waiting.push(addEntry(file));
    startWaiting();
  }

  const input = document.getElementById('files');
  input.addEventListener('change', () => {
    take(input.files);
    input.value = '';
  });

  const drop = document.getElementById('drop');
  document.addEventListener('dragover', (event) => {
    event.preventDefault();
    drop.classList.add('over');
  });
  document.addEventListener('dragleave', (event) => {
    if (event.relatedTarget === null) drop.classList.remove('over');
  });
  document.addEventListener('drop', (event) => {
    event.preventDefault();
    drop.classList.remove('over');
    take(event.dataTransfer.files);
  });
})();
