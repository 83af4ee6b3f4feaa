// The account's devices: last seen, rename, remove.
import { api } from './api.js';
import { h, clear, field, fill } from './dom.js';
import { page, errorBox } from './ui.js';

// "never", or the local time with how long ago.
export function seenText(lastSeen) {
  if (!lastSeen) return 'never';
  const when = new Date(lastSeen);
  if (Number.isNaN(when.getTime())) return lastSeen;
  const minutes = Math.round((Date.now() - when.getTime()) / 60000);
  const ago = minutes < 1 ? 'just now' : minutes < 60 ? `${minutes} min ago`
    : minutes < 48 * 60 ? `${Math.round(minutes / 60)} h ago` : `${Math.round(minutes / 1440)} days ago`;
  return `${when.toLocaleString([], { dateStyle: 'medium', timeStyle: 'short' })} (${ago})`;
}

function deviceCard(device, reload) {
  const status = h('div', { 'aria-live': 'polite' });
  const title = h('h2', {}, device.name);
  const card = h('li', { class: 'card device' },
    title,
    h('p', {}, 'Last seen: ', h('span', { class: 'seen' }, seenText(device.lastSeen))),
    h('p', { class: 'actions' },
      h('a', { class: 'button primary', href: `#/device/${device.id}/policy` }, 'Rules'),
      h('a', { class: 'button', href: `#/device/${device.id}/usage` }, 'Usage'),
      h('button', { type: 'button', onclick: () => rename() }, 'Rename'),
      h('button', { type: 'button', class: 'danger', onclick: () => remove() }, 'Remove')),
    status);

  function rename() {
    const input = h('input', { type: 'text', value: device.name, maxlength: '100', required: true });
    const form = h('form', { class: 'inline' },
      field('New name', input),
      h('button', { type: 'submit', class: 'primary' }, 'Save name'),
      h('button', { type: 'button', onclick: () => { form.remove(); } }, 'Cancel'));
    form.addEventListener('submit', async (event) => {
      event.preventDefault();
      try {
        await api('PATCH', `/v1/devices/${device.id}`, { name: input.value });
        await reload();
      } catch (error) {
        fill(status, errorBox(error));
        input.focus();
      }
    });
    fill(status, form);
    input.focus();
    input.select();
  }

  async function remove() {
    if (!window.confirm(`Remove “${device.name}”? Its rules and usage are deleted, and its Mac is no longer managed until it is set up again.`)) return;
    try {
      await api('DELETE', `/v1/devices/${device.id}`);
      await reload();
    } catch (error) {
      fill(status, errorBox(error));
    }
  }
  return card;
}

export async function devicesPage() {
  const devices = await api('GET', '/v1/devices');
  const reload = () => devicesPage();
  const list = h('ul', { class: 'devices' }, devices.map((d) => deviceCard(d, reload)));
  page('Devices',
    devices.length === 0
      ? h('div', { class: 'card' },
        h('p', {}, 'No device yet.'),
        h('p', {}, 'Open the Tether app on your child’s Mac, sign in with this account and install the protection: the Mac then appears here.'))
      : list,
    h('p', { class: 'hint' }, 'A Mac is seen each time it fetches its rules, every minute or so while it is on.'));
}
