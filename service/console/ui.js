// The frame every page shares.
import { h, clear, fill } from './dom.js';

// A page: its heading, which takes the focus so that keyboard and screen reader users start at
// the top of the new page, and its content.
export function page(title, ...children) {
  const main = document.getElementById('main');
  document.title = `${title} · Tether`;
  const heading = h('h1', { tabindex: '-1' }, title);
  fill(main, heading, ...children.flat().filter(Boolean));
  heading.focus();
  return main;
}

export function errorBox(error) {
  return h('p', { class: 'error', role: 'alert' }, error instanceof Error ? error.message : String(error));
}
