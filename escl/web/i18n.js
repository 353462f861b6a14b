// The page's texts in the browser's language: one table per language (en.json, de.json).

const LANGUAGES = ['en', 'de'];
let table = {};

export let language = 'en';

export async function load() {
  for (const tag of navigator.languages || [navigator.language]) {
    const primary = tag.toLowerCase().split('-')[0];
    if (LANGUAGES.includes(primary)) {
      language = primary;
      break;
    }
  }
  const response = await fetch(`${language}.json`);
  table = await response.json();
  document.documentElement.lang = language;
  for (const node of document.querySelectorAll('[data-text]')) node.textContent = t(node.dataset.text);
}

// The text named `key`, with {name} replaced by vars.name.
export function t(key, vars = {}) {
  const text = table[key] ?? key;
  return text.replace(/\{(\w+)\}/g, (_, name) => String(vars[name] ?? ''));
}

// A length in 1/300 inch in the user's units: inches where they are the custom, else mm.
export function length(units) {
  const locale = (navigator.languages || [navigator.language])[0] || 'en';
  let region = '';
  try {
    region = new Intl.Locale(locale).maximize().region || '';
  } catch {
    region = '';
  }
  const inches = ['US', 'LR', 'MM'].includes(region);
  const format = new Intl.NumberFormat(locale, {
    style: 'unit',
    unit: inches ? 'inch' : 'millimeter',
    maximumFractionDigits: inches ? 2 : 0,
  });
  return format.format(inches ? units / 300 : (units * 25.4) / 300);
}
