// The pages scanned so far, as thumbnails that can be saved, moved and removed. A page saves as
// the PNG it was scanned as, or as a JPEG or PDF (like the whole tray) that the server makes from
// the pages it kept.
import * as escl from './escl.js';
import { t } from './i18n.js';

function download(blob, name) {
  const link = document.createElement('a');
  link.href = URL.createObjectURL(blob);
  link.download = name;
  document.body.append(link);
  link.click();
  link.remove();
  setTimeout(() => URL.revokeObjectURL(link.href), 60000);
}

export class Tray {
  // `format()` is the format chosen; `say(text)` reports to the user.
  constructor(list, { format, say }) {
    this.list = list;
    this.format = format;
    this.say = say;
    this.pages = []; // {id, blob, url, width, height, dpi}
  }

  add(page) {
    this.pages.push({ ...page, url: URL.createObjectURL(page.blob) });
    this.render();
  }

  async save(page) {
    const n = this.pages.indexOf(page) + 1;
    const format = this.format();
    try {
      if (format === 'application/pdf') download(await escl.keptPages([page.id], 'pdf'), `scan-${n}.pdf`);
      else if (format === 'image/jpeg') download(await escl.keptPages([page.id], 'jpeg'), `scan-${n}.jpg`);
      else download(page.blob, `scan-${n}.png`);
    } catch (error) {
      this.failed(error);
    }
  }

  async saveAll() {
    try {
      download(await escl.keptPages(this.pages.map((p) => p.id), 'pdf'), 'scan.pdf');
    } catch (error) {
      this.failed(error);
    }
  }

  failed(error) {
    this.say(t({ 404: 'notKept', 507: 'notKeptFull' }[error.status] || 'saveFailed', { why: error.message }));
  }

  move(page, by) {
    const i = this.pages.indexOf(page);
    const j = i + by;
    if (j < 0 || j >= this.pages.length) return;
    [this.pages[i], this.pages[j]] = [this.pages[j], this.pages[i]];
    this.render(page, by < 0 ? 'left' : 'right');
  }

  remove(page) {
    const i = this.pages.indexOf(page);
    this.pages.splice(i, 1);
    URL.revokeObjectURL(page.url);
    const next = this.pages[Math.min(i, this.pages.length - 1)];
    this.render(next, 'remove');
  }

  // Draws the list again; the focus goes to `focusPage`'s button `focusAction`.
  render(focusPage, focusAction) {
    const items = this.pages.map((page, i) => {
      const n = i + 1;
      const item = document.createElement('li');
      const image = document.createElement('img');
      image.src = page.url;
      image.alt = t('page', { n });
      const caption = document.createElement('span');
      caption.className = 'caption';
      caption.textContent = t('page', { n });
      const buttons = document.createElement('div');
      buttons.className = 'page-buttons';
      const button = (action, label, text, handler, disabled) => {
        const b = document.createElement('button');
        b.type = 'button';
        b.dataset.action = action;
        b.textContent = text;
        b.setAttribute('aria-label', label);
        b.disabled = disabled;
        b.addEventListener('click', handler);
        buttons.append(b);
        return b;
      };
      button('left', t('moveLeft', { n }), '←', () => this.move(page, -1), i === 0);
      button('right', t('moveRight', { n }), '→', () => this.move(page, 1), i === this.pages.length - 1);
      button('save', t('savePage', { n }), t('save'), () => this.save(page), false);
      button('remove', t('removePage', { n }), '✕', () => this.remove(page), false);
      item.append(image, caption, buttons);
      return item;
    });
    this.list.replaceChildren(...items);
    // The same button of the page acted on, or its Save when that one is now disabled.
    const item = items[this.pages.indexOf(focusPage)];
    const target = item && item.querySelector(`[data-action=${focusAction}]`);
    if (target) (target.disabled ? item.querySelector('[data-action=save]') : target).focus();
    else if (focusAction === 'remove') document.getElementById('scan-button').focus();
    document.getElementById('tray-empty').hidden = this.pages.length > 0;
    document.getElementById('save-all').disabled = this.pages.length === 0;
  }
}
