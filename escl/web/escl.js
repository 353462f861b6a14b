// The scanner's eSCL resources as the page uses them: the same ones every other client uses.

export class EsclError extends Error {
  constructor(status, message) {
    super(message || `HTTP ${status}`);
    this.status = status;
  }
}

const parse = (text) => new DOMParser().parseFromString(text, 'application/xml');
const all = (node, name) => Array.from(node.getElementsByTagNameNS('*', name));
const text = (node, name) => (all(node, name)[0]?.textContent || '').trim();

async function get(path) {
  const response = await fetch(path, { cache: 'no-store' });
  if (!response.ok) throw new EsclError(response.status);
  return parse(await response.text());
}

// What the scanner offers: its name, the glass and smallest side (1/300 inch), each colour mode
// with its resolutions (from every setting profile), and the formats.
export async function capabilities() {
  const doc = await get('/eSCL/ScannerCapabilities');
  const modes = new Map();
  for (const profile of all(doc, 'SettingProfile')) {
    const dpis = all(profile, 'DiscreteResolution').map((r) => Number(text(r, 'XResolution')));
    for (const node of all(profile, 'ColorMode')) {
      const mode = node.textContent.trim();
      if (!modes.has(mode)) modes.set(mode, new Set());
      dpis.forEach((dpi) => modes.get(mode).add(dpi));
    }
  }
  for (const [mode, dpis] of modes) modes.set(mode, [...dpis].sort((a, b) => a - b));
  return {
    name: text(doc, 'MakeAndModel'),
    width: Number(text(doc, 'MaxWidth')),
    height: Number(text(doc, 'MaxHeight')),
    minimum: Number(text(doc, 'MinWidth')) || 1,
    modes,
    formats: [...new Set(all(doc, 'DocumentFormat').map((n) => n.textContent.trim()))],
  };
}

// The scanner's state (Idle, Processing, Down) and the paths of the jobs still running.
export async function status() {
  const doc = await get('/eSCL/ScannerStatus');
  const running = all(doc, 'JobInfo')
    .filter((job) => ['Pending', 'Processing'].includes(text(job, 'JobState')))
    .map((job) => new URL(text(job, 'JobUri'), location.href).pathname);
  return { state: text(doc, 'State'), running };
}

// Starts a scan of `region` ({x, y, w, h} in 1/300 inch); resolves to the job's path.
export async function createJob({ mode, dpi, region, format, intent }) {
  const body = `<?xml version="1.0" encoding="UTF-8"?>
<scan:ScanSettings xmlns:scan="http://schemas.hp.com/imaging/escl/2011/05/03" xmlns:pwg="http://www.pwg.org/schemas/2010/12/sm">
<pwg:Version>2.0</pwg:Version><scan:Intent>${intent}</scan:Intent>
<pwg:ScanRegions><pwg:ScanRegion><pwg:ContentRegionUnits>escl:ThreeHundredthsOfInches</pwg:ContentRegionUnits>
<pwg:XOffset>${region.x}</pwg:XOffset><pwg:YOffset>${region.y}</pwg:YOffset>
<pwg:Width>${region.w}</pwg:Width><pwg:Height>${region.h}</pwg:Height></pwg:ScanRegion></pwg:ScanRegions>
<pwg:InputSource>Platen</pwg:InputSource><scan:ColorMode>${mode}</scan:ColorMode>
<scan:XResolution>${dpi}</scan:XResolution><scan:YResolution>${dpi}</scan:YResolution>
<pwg:DocumentFormat>${format}</pwg:DocumentFormat><scan:DocumentFormatExt>${format}</scan:DocumentFormatExt>
</scan:ScanSettings>`;
  const response = await fetch('/eSCL/ScanJobs', { method: 'POST', headers: { 'Content-Type': 'text/xml' }, body });
  const where = response.headers.get('Location');
  if (response.status !== 201 || !where) throw new EsclError(response.status);
  return new URL(where, location.href).pathname;
}

// The job's page, streamed; with `keep` the server keeps it for a PDF of several pages.
export async function nextDocument(job, signal, keep) {
  const response = await fetch(`${job}/NextDocument${keep ? '?keep=1' : ''}`, { signal, cache: 'no-store' });
  if (!response.ok) throw new EsclError(response.status);
  return response;
}

export async function cancelJob(job) {
  await fetch(job, { method: 'DELETE' });
}

// The kept pages named by their jobs' ids as one PDF, in order, or one of them as a JPEG.
export async function keptPages(ids, extension) {
  const response = await fetch(`/pages.${extension}?ids=${ids.join(',')}`, { cache: 'no-store' });
  if (!response.ok) throw new EsclError(response.status, (await response.text()).trim());
  return response.blob();
}
