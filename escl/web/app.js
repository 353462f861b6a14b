// The scanning page: settings from the scanner's capabilities, a preview to pick the area on, the
// page drawn row by row as it is scanned, and a tray of pages to save.
import * as escl from './escl.js';
import { load, t, length } from './i18n.js';
import { PngStream } from './pngstream.js';
import { Tray } from './tray.js';

const $ = (id) => document.getElementById(id);
const PAPERS = { letter: [2550, 3300], a4: [2480, 3508], a5: [1748, 2480] }; // 1/300 inch
const STATUS_EVERY_MS = 3000;
const KEY_STEP = 30; // 1/300 inch: a tenth of an inch per key press

const percent = new Intl.NumberFormat(undefined, { style: 'percent' });

const app = {
  caps: null,
  drawn: null, // the area drawn on the preview, {x, y, w, h} in 1/300 inch
  busy: null, // 'preview' or 'scan' while one runs
  job: null, // the path of our job while it runs
  controller: null,
  cancelled: false,
  reachable: true,
};
let tray;

// Tells the user what went wrong, or with `kind` 'done' what went right.
function say(text, kind = 'error') {
  $('message').textContent = text;
  $('message').dataset.kind = kind;
}

function showState() {
  const node = $('state');
  node.dataset.state = app.stateKey;
  node.textContent = t(app.stateKey);
}

// Polls ScannerStatus while the page is visible.
async function poll() {
  if (document.visibilityState !== 'visible') return;
  let key;
  try {
    const { state, running } = await escl.status();
    if (app.busy) key = app.busy === 'preview' ? 'previewing' : 'scanning';
    else if (state === 'Down') key = 'notConnected';
    else if (running.some((job) => job !== app.job)) key = 'inUse';
    else key = 'ready';
  } catch (e) {
    key = e instanceof escl.EsclError ? 'notConnected' : 'unreachable';
  }
  if (!app.busy) {
    app.stateKey = key;
    showState();
  }
}

// The area to scan: the paper chosen (from the glass's corner) or the drawn area.
function region() {
  const { width, height } = app.caps;
  const paper = $('paper').value;
  if (paper === 'area' && app.drawn) return app.drawn;
  if (PAPERS[paper]) return { x: 0, y: 0, w: Math.min(PAPERS[paper][0], width), h: Math.min(PAPERS[paper][1], height) };
  return { x: 0, y: 0, w: width, h: height };
}

function place(node, r) {
  const { width, height } = app.caps;
  node.style.left = `${(100 * r.x) / width}%`;
  node.style.top = `${(100 * r.y) / height}%`;
  node.style.width = `${(100 * r.w) / width}%`;
  node.style.height = `${(100 * r.h) / height}%`;
}

function showRegion() {
  const r = region();
  const glass = $('glass');
  glass.dataset.region = `${r.x},${r.y},${r.w},${r.h}`;
  place($('selection'), r);
  $('selection').hidden = false;
  $('area-size').textContent = t('areaSize', { w: length(r.w), h: length(r.h) });
}

function setDrawn(r) {
  const { width, height, minimum } = app.caps;
  const w = Math.max(1, Math.min(Math.round(r.w), width));
  const h = Math.max(1, Math.min(Math.round(r.h), height));
  app.drawn = {
    x: Math.max(0, Math.min(Math.round(r.x), width - w)),
    y: Math.max(0, Math.min(Math.round(r.y), height - h)),
    w,
    h,
  };
  if (app.drawn.w < minimum || app.drawn.h < minimum) say(t('tooSmall', { min: length(minimum) }));
  else say('');
  $('paper').value = 'area';
  showRegion();
}

// Dragging on the glass with a mouse, a pen or a finger picks the area.
function setUpDrawing() {
  const glass = $('glass');
  let start = null;
  const at = (event) => {
    const box = glass.getBoundingClientRect();
    const fx = Math.max(0, Math.min(1, (event.clientX - box.left) / box.width));
    const fy = Math.max(0, Math.min(1, (event.clientY - box.top) / box.height));
    return { x: fx * app.caps.width, y: fy * app.caps.height };
  };
  const drag = (event) => {
    const p = at(event);
    setDrawn({ x: Math.min(start.x, p.x), y: Math.min(start.y, p.y), w: Math.abs(p.x - start.x), h: Math.abs(p.y - start.y) });
  };
  glass.addEventListener('pointerdown', (event) => {
    if (app.busy || event.button !== 0) return;
    start = at(event);
    glass.setPointerCapture(event.pointerId);
    event.preventDefault();
  });
  glass.addEventListener('pointermove', (event) => start && drag(event));
  glass.addEventListener('pointerup', (event) => {
    if (!start) return;
    drag(event);
    start = null;
  });
  glass.addEventListener('pointercancel', () => (start = null));
  // The keyboard moves the area, or with Shift changes its size.
  glass.addEventListener('keydown', (event) => {
    const d = { ArrowLeft: [-1, 0], ArrowRight: [1, 0], ArrowUp: [0, -1], ArrowDown: [0, 1] }[event.key];
    if (!d || app.busy) return;
    event.preventDefault();
    const r = { ...region() };
    if (event.shiftKey) {
      r.w += d[0] * KEY_STEP;
      r.h += d[1] * KEY_STEP;
    } else {
      r.x += d[0] * KEY_STEP;
      r.y += d[1] * KEY_STEP;
    }
    setDrawn(r);
  });
}

function fillSettings() {
  const { modes, formats } = app.caps;
  const mode = $('mode');
  for (const name of ['RGB24', 'Grayscale8', 'BlackAndWhite1'].filter((m) => modes.has(m)))
    mode.add(new Option(t(name), name));
  const format = $('format');
  for (const [mime, label] of [['application/pdf', 'PDF'], ['image/jpeg', 'JPEG'], ['image/png', 'PNG']])
    if (formats.includes(mime)) format.add(new Option(label, mime));
  fillResolutions(300);
  mode.addEventListener('change', () => fillResolutions(Number($('resolution').value)));
  $('paper').addEventListener('change', showRegion);
}

// The resolutions of the chosen mode, keeping the one chosen when it is there.
function fillResolutions(wanted) {
  const select = $('resolution');
  const dpis = app.caps.modes.get($('mode').value) || [];
  select.replaceChildren(...dpis.map((dpi) => new Option(t('dpi', { n: dpi }), dpi)));
  select.value = dpis.includes(wanted) ? wanted : dpis.filter((d) => d <= wanted).pop() || dpis[0];
}

function setBusy(kind) {
  app.busy = kind;
  $('preview-button').disabled = !!kind;
  $('scan-button').disabled = !!kind;
  $('cancel-button').disabled = !kind;
  document.body.classList.toggle('busy', !!kind);
  if (kind) {
    app.stateKey = kind === 'preview' ? 'previewing' : 'scanning';
    showState();
  }
}

// Says in plain words why a scan could not start or finish.
async function explain(error) {
  if (app.cancelled) return say(t('cancelled'), 'done');
  // Busy, or (also when a page breaks off) not connected.
  if (!(error instanceof escl.EsclError) || error.status === 503) {
    try {
      const { state } = await escl.status();
      if (state === 'Down') return say(t('notConnected'));
      if (error instanceof escl.EsclError) return say(t('busy'));
    } catch {
      return say(t('unreachable'));
    }
  }
  if (error instanceof escl.EsclError && error.status === 409) return say(t('refused'));
  say(t('failed'));
}

// A preview of the whole glass at the lowest resolution, or a page of the chosen settings.
async function run(kind) {
  const { width, height, minimum, modes } = app.caps;
  const area = kind === 'preview' ? { x: 0, y: 0, w: width, h: height } : region();
  if (area.w < minimum || area.h < minimum) return say(t('tooSmall', { min: length(minimum) }));
  const mode = kind === 'preview' ? (modes.has('RGB24') ? 'RGB24' : $('mode').value) : $('mode').value;
  const dpi = kind === 'preview' ? modes.get(mode)[0] : Number($('resolution').value);
  say('');
  app.cancelled = false;
  setBusy(kind);
  const canvas = kind === 'preview' ? $('preview') : $('page');
  const progress = $('progress');
  progress.value = 0;
  $('progress-text').textContent = '';
  canvas.dataset.rows = '0';
  let h = 1;
  if (kind === 'scan') {
    place(canvas, area);
    canvas.hidden = false;
  }
  let context;
  const png = new PngStream({
    onHeader: ({ width: w, height: total, rowBytes }) => {
      canvas.width = w;
      canvas.height = h = total;
      context = canvas.getContext('2d');
      progress.max = rowBytes * h;
    },
    onRows: (y, image) => {
      context.putImageData(image, 0, y);
      const rows = y + image.height;
      canvas.dataset.rows = String(rows);
      progress.value = rows * png.rowBytes;
      $('progress-text').textContent = percent.format(rows / h);
    },
  });
  try {
    app.job = await escl.createJob({ mode, dpi, region: area, format: 'image/png', intent: kind === 'preview' ? 'Preview' : 'Document' });
    if (app.cancelled) {
      await escl.cancelJob(app.job).catch(() => {});
      throw new Error('cancelled');
    }
    app.controller = new AbortController();
    const response = await escl.nextDocument(app.job, app.controller.signal, kind === 'scan');
    const reader = response.body.getReader();
    for (;;) {
      const { value, done } = await reader.read();
      if (done) break;
      await png.push(value);
    }
    await png.finish();
    if (kind === 'scan') {
      const id = app.job.split('/').pop();
      tray.add({ id, blob: png.blob(), width: png.width, height: png.height, dpi });
      say(t('scanned', { n: tray.pages.length }), 'done');
    }
  } catch (error) {
    await explain(error);
  } finally {
    if (kind === 'scan') canvas.hidden = true;
    app.job = null;
    app.controller = null;
    setBusy(null);
    poll();
  }
}

// Stops the page: the reader goes first (the server then ends the job), then the job is deleted.
async function cancel() {
  if (!app.busy) return;
  app.cancelled = true;
  const job = app.job;
  if (app.controller) app.controller.abort();
  if (job) await escl.cancelJob(job).catch(() => {});
}

async function start() {
  await load();
  setUpDrawing();
  $('preview-button').addEventListener('click', () => run('preview'));
  $('scan-button').addEventListener('click', () => run('scan'));
  $('cancel-button').addEventListener('click', cancel);
  tray = new Tray($('tray'), { format: () => $('format').value, say });
  $('save-all').addEventListener('click', () => tray.saveAll());
  try {
    app.caps = await escl.capabilities();
  } catch (error) {
    app.stateKey = error instanceof escl.EsclError ? 'notConnected' : 'unreachable';
    showState();
    setTimeout(() => location.reload(), 10 * STATUS_EVERY_MS);
    return;
  }
  if (app.caps.name) {
    $('name').textContent = app.caps.name;
    document.title = app.caps.name;
  }
  $('glass').style.setProperty('--ratio', String(app.caps.width / app.caps.height));
  fillSettings();
  showRegion();
  setBusy(null); // the buttons work from here on
  await poll();
  setInterval(poll, STATUS_EVERY_MS);
  document.addEventListener('visibilitychange', poll);
  document.body.dataset.ready = 'true';
}

start();
