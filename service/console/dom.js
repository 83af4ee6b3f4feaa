// Building the page: every text goes in as a text node, never as markup, so names that come from
// the child's Mac (devices, applications, hosts) cannot run or change anything.

let counter = 0;

// A fresh element id, for labels and descriptions.
export function uid(prefix = 'f') {
  counter += 1;
  return `${prefix}-${counter}`;
}

// h('p', {class: 'note'}, 'text', child, [more]): attributes and properties, then children
// (strings become text nodes; null, undefined and false are left out).
export function h(tag, props, ...children) {
  const el = document.createElement(tag);
  for (const [key, value] of Object.entries(props || {})) {
    if (value === undefined || value === null || value === false) continue;
    if (key === 'class') el.className = value;
    else if (key === 'for') el.htmlFor = value;
    else if (key.startsWith('on') && typeof value === 'function') {
      el.addEventListener(key.slice(2), value);
    } else if (typeof value === 'boolean' || key === 'value') el[key] = value;
    else el.setAttribute(key, String(value));
  }
  add(el, children);
  return el;
}

export function add(el, children) {
  for (const child of [children].flat(Infinity)) {
    if (child === null || child === undefined || child === false) continue;
    el.append(child instanceof Node ? child : String(child));
  }
  return el;
}

export function clear(el) {
  while (el.firstChild) el.firstChild.remove();
  return el;
}

// The element's children replaced (arrays flattened, as in h()).
export function fill(el, ...children) {
  return add(clear(el), children);
}

// A labelled field: <div class="field"><label>text</label> input <p hint></div>.
export function field(labelText, input, hint) {
  if (!input.id) input.id = uid();
  const parts = [h('label', { for: input.id }, labelText), input];
  if (hint) {
    const hintEl = h('p', { class: 'hint', id: uid('hint') }, hint);
    input.setAttribute('aria-describedby', hintEl.id);
    parts.push(hintEl);
  }
  return h('div', { class: 'field' }, parts);
}

// The SVG namespace's elements, for the chart.
export function svg(tag, attrs, ...children) {
  const el = document.createElementNS('http://www.w3.org/2000/svg', tag);
  for (const [key, value] of Object.entries(attrs || {})) el.setAttribute(key, String(value));
  add(el, children);
  return el;
}

// Whole numbers with thousands separators: 1 000 000.
export function count(n) {
  return new Intl.NumberFormat('en-GB').format(n).replace(/,/g, '\u202f');
}
