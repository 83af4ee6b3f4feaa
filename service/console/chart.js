// A bar chart of minutes per day, drawn as SVG elements (no markup from data).
import { h, svg } from './dom.js';

// days: [{date: 'yyyy-MM-dd', minutes}], oldest first.
// width: the drawing's own width, about that of its place on the screen, so that the labels keep
// their size on a phone.
export function barChart(days, label, width = 700) {
  const height = 220;
  const left = 40;
  const bottom = 40;
  const top = 12;
  const max = Math.max(10, ...days.map((d) => d.minutes));
  const step = niceStep(max);
  const ceiling = Math.ceil(max / step) * step;
  const plotH = height - top - bottom;
  const slot = (width - left) / days.length;
  const y = (m) => top + plotH - (m / ceiling) * plotH;
  const chart = svg('svg', { viewBox: `0 0 ${width} ${height}`, class: 'chart', role: 'img', 'aria-label': label });
  for (let m = 0; m <= ceiling; m += step) {
    chart.append(svg('line', { x1: left, x2: width, y1: y(m), y2: y(m), class: 'grid' }),
      svg('text', { x: left - 6, y: y(m) + 4, class: 'axis', 'text-anchor': 'end' }, String(m)));
  }
  days.forEach((d, i) => {
    const x = left + i * slot + slot * 0.15;
    const bar = svg('rect', {
      x, y: y(d.minutes), width: slot * 0.7, height: Math.max(0, top + plotH - y(d.minutes)), class: 'bar',
    }, svg('title', {}, `${d.date}: ${Math.round(d.minutes)} min`));
    const day = new Date(`${d.date}T12:00:00`);
    chart.append(bar,
      svg('text', { x: x + slot * 0.35, y: height - bottom + 16, class: 'axis', 'text-anchor': 'middle' },
        day.toLocaleDateString([], { weekday: 'narrow' })),
      svg('text', { x: x + slot * 0.35, y: height - bottom + 30, class: 'axis', 'text-anchor': 'middle' },
        String(day.getDate())));
  });
  // The same figures as a table for screen readers.
  const table = h('div', { class: 'visually-hidden' }, h('table', {},
    h('caption', {}, label),
    h('tr', {}, h('th', {}, 'Day'), h('th', {}, 'Minutes')),
    days.map((d) => h('tr', {}, h('td', {}, d.date), h('td', {}, String(Math.round(d.minutes)))))));
  return h('figure', { class: 'chart-box' }, chart, table);
}

function niceStep(max) {
  for (const s of [5, 10, 15, 30, 60, 120, 240]) if (max / s <= 5) return s;
  return 480;
}
