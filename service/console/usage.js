// Today's usage of one device against its limits, what is blocked now, the last 14 days, and
// the reset of today's minutes.
import { api } from './api.js';
import { h, clear, field, count, fill } from './dom.js';
import { page, errorBox } from './ui.js';
import { barChart } from './chart.js';
import { seenText } from './devices.js';

const DAYS = 14;

function minutesText(m) {
  const n = Number(m) || 0;
  if (n < 60) return `${Math.round(n * 10) / 10} min`;
  return `${Math.floor(n / 60)} h ${Math.round(n % 60)} min`;
}

// A row: name, minutes used, the limit and a meter.
function usageRow(name, detail, used, limit) {
  const meter = limit === undefined || limit === null ? null
    : h('meter', { min: '0', max: String(Math.max(limit, 0.1)), value: String(Math.min(used, Math.max(limit, 0.1))), low: String(limit * 0.75), high: String(limit * 0.99), optimum: '0', 'aria-label': `${name}: ${minutesText(used)} of ${limit} min` });
  return h('tr', {},
    h('th', { scope: 'row' }, name, detail ? h('span', { class: 'bundle' }, detail) : null),
    h('td', {}, minutesText(used)),
    h('td', {}, limit === undefined || limit === null ? 'no limit' : `${limit} min`, meter ? h('br') : null, meter));
}

// The dates from `last` back over DAYS days, oldest first.
function lastDates(last) {
  const out = [];
  const [y, m, d] = last.split('-').map(Number);
  for (let i = DAYS - 1; i >= 0; i -= 1) {
    const day = new Date(Date.UTC(y, m - 1, d - i));
    out.push(day.toISOString().slice(0, 10));
  }
  return out;
}

function localToday() {
  const now = new Date();
  return `${now.getFullYear()}-${String(now.getMonth() + 1).padStart(2, '0')}-${String(now.getDate()).padStart(2, '0')}`;
}

export async function usagePage(deviceId) {
  const [devices, reports, outline, inventory] = await Promise.all([
    api('GET', '/v1/devices'),
    api('GET', `/v1/devices/${deviceId}/usage?days=${DAYS}`),
    api('GET', `/v1/devices/${deviceId}/policy/outline`),
    api('GET', `/v1/devices/${deviceId}/apps`),
  ]);
  const device = devices.find((d) => String(d.id) === String(deviceId));
  if (!device) throw new Error('This device is not one of your devices.');
  const names = new Map((inventory.apps || []).map((a) => [a.bundleId, a.name || a.bundleId]));
  const appName = (id) => names.get(id) || id;
  const limits = outline.domainLimits || {};
  const latest = reports.length ? reports[reports.length - 1] : null;
  const status = h('div', { 'aria-live': 'polite' });

  const content = [];
  content.push(h('p', { class: 'crumbs' }, h('a', { href: '#/devices' }, 'Devices'), ' › ', h('a', { href: `#/device/${deviceId}/policy` }, 'Rules')));
  content.push(h('p', {}, 'Mac last seen: ', seenText(device.lastSeen)));
  if (!latest) {
    content.push(h('div', { class: 'card' }, h('p', {}, 'No usage report yet. The Mac sends one every minute or so once Tether is installed and running on it.')));
  } else {
    const minutes = latest.minutes || {};
    const isToday = latest.date === localToday();
    content.push(h('p', { id: 'report-time' }, `Report for ${isToday ? 'today' : latest.date}, received ${seenText(latest.receivedAt)}`,
      latest.timeZone ? ` (the Mac’s time zone: ${latest.timeZone})` : '', '.'));

    const appRows = Object.keys(minutes).filter((k) => !(k in limits))
      .sort((a, b) => minutes[b] - minutes[a])
      .map((id) => usageRow(appName(id), names.has(id) ? id : null, minutes[id], outline.apps?.[id]?.dailyLimitMinutes));
    content.push(h('section', { class: 'card', 'aria-labelledby': 'apps-today' },
      h('h2', { id: 'apps-today' }, 'Applications today'),
      appRows.length
        ? h('table', { class: 'usage' }, h('thead', {}, h('tr', {}, h('th', { scope: 'col' }, 'Application'), h('th', { scope: 'col' }, 'Used'), h('th', { scope: 'col' }, 'Limit'))), h('tbody', {}, appRows))
        : h('p', {}, 'No application with a rule has been used today.'),
      h('p', { class: 'hint' }, 'Minutes are counted for applications that have a rule.')));

    const siteRows = Object.keys(limits).sort().map((host) => usageRow(host, null, minutes[host] || 0, limits[host]));
    content.push(h('section', { class: 'card', 'aria-labelledby': 'sites-today' },
      h('h2', { id: 'sites-today' }, 'Limited sites today'),
      siteRows.length
        ? h('table', { class: 'usage' }, h('thead', {}, h('tr', {}, h('th', { scope: 'col' }, 'Site'), h('th', { scope: 'col' }, 'Used'), h('th', { scope: 'col' }, 'Limit'))), h('tbody', {}, siteRows))
        : h('p', {}, 'No site has a daily limit.')));

    const blocked = latest.blockedNow || [];
    const hidden = latest.blockedDomainCount || 0;
    content.push(h('section', { class: 'card', 'aria-labelledby': 'blocked-now' },
      h('h2', { id: 'blocked-now' }, 'Blocked right now'),
      blocked.length ? h('ul', { class: 'chips', id: 'blocked-list' }, blocked.map((b) => h('li', {}, names.has(b) ? `${appName(b)} (${b})` : b))) : h('p', {}, 'Nothing from the rules’ times or limits.'),
      hidden ? h('p', {}, `And ${count(hidden)} names of the blocked list.`) : null));
  }

  // The chart: the last 14 days up to the newest report (or today).
  const byDate = new Map(reports.map((r) => [r.date, r.minutes || {}]));
  const dates = lastDates(latest && latest.date > localToday() ? latest.date : localToday());
  const keys = new Set();
  for (const r of reports) for (const k of Object.keys(r.minutes || {})) keys.add(k);
  const choice = h('select', { id: 'chart-key' },
    h('option', { value: '' }, 'All applications and sites'),
    [...keys].sort((a, b) => appName(a).localeCompare(appName(b))).map((k) => h('option', { value: k }, k in limits ? `${k} (site)` : appName(k))));
  const chartBox = h('div', {});
  const drawChart = () => {
    const key = choice.value;
    const days = dates.map((date) => {
      const m = byDate.get(date) || {};
      const minutes = key ? Number(m[key] || 0) : Object.values(m).reduce((a, b) => a + Number(b || 0), 0);
      return { date, minutes };
    });
    const label = `Minutes per day, ${dates[0]} to ${dates[dates.length - 1]}: ${key ? (key in limits ? key : appName(key)) : 'all applications and sites'}`;
    const width = Math.round(Math.min(700, Math.max(300, window.innerWidth - 80)));
    fill(chartBox, barChart(days, label, width));
  };
  choice.addEventListener('change', drawChart);
  drawChart();
  content.push(h('section', { class: 'card', 'aria-labelledby': 'history' },
    h('h2', { id: 'history' }, 'The last 14 days'),
    field('Show', choice),
    chartBox));

  const reset = h('button', { type: 'button', class: 'danger', id: 'reset' }, 'Reset today’s usage');
  reset.addEventListener('click', async () => {
    if (!window.confirm('Start today’s minutes again from zero on the Mac?')) return;
    reset.disabled = true;
    try {
      const policy = await api('POST', `/v1/devices/${deviceId}/usage/reset`);
      fill(status, h('p', { class: 'ok', id: 'reset-done' }, `Reset sent (usage epoch ${policy.usageEpoch}). The Mac clears today’s minutes at its next poll, within a minute or so.`));
    } catch (error) {
      fill(status, errorBox(error));
    } finally {
      reset.disabled = false;
    }
  });
  content.push(h('section', { class: 'card', 'aria-labelledby': 'reset-h' },
    h('h2', { id: 'reset-h' }, 'Reset'),
    h('p', {}, 'Gives back every minute of today: limits start again from zero.'),
    reset, status));

  page(`Usage of ${device.name}`, content);
}
