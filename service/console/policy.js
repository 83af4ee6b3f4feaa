// One device's rules: applications (limits and time windows), downtime for the whole Mac, web
// sites. Saved as one new revision.
import { api } from './api.js';
import { h, clear, field, uid, count, fill } from './dom.js';
import { page, errorBox } from './ui.js';
import {
  DAY_NAMES, DAY_LONG, OTHER_BROWSERS, WATCHED_BROWSERS, browsersToBlock,
  windowText, crossingNote, allowedOnly, windowKey, parseTime, storedHost, parseBlockList, check,
  MAX_IMPORT, pad,
} from './policy-model.js';

// The policy outline as the page edits it (ids tie each value to its field for the messages).
function draftFrom(outline) {
  const apps = {};
  for (const [bundleId, rule] of Object.entries(outline.apps || {})) apps[bundleId] = appDraft(rule);
  return {
    rev: outline.rev,
    apps,
    domainLimits: Object.entries(outline.domainLimits || {}).map(([host, minutes]) => limitDraft(host, String(minutes))),
    domainAllow: [...(outline.domainAllow || [])],
    domainExact: [...(outline.domainExact || [])],
    domainCount: outline.domainCount || 0,
    added: [],
    removed: new Set(),
    imported: null,
    replace: false,
  };
}

function appDraft(rule) {
  const limit = rule && rule.dailyLimitMinutes;
  return {
    windows: ((rule && rule.windows) || []).map(windowDraft),
    limitText: limit === undefined || limit === null ? '' : String(limit),
    limitId: uid('limit'),
  };
}

function windowDraft(w) {
  return { days: [...w.days], start: pad(w.start), end: pad(w.end), daysId: uid('days'), startId: uid('start'), endId: uid('end') };
}

function limitDraft(host, minutes) {
  return { host, minutes, hostId: uid('host'), minutesId: uid('minutes') };
}

// The rules in the form the service takes.
function appsBody(draft) {
  const apps = {};
  for (const [bundleId, rule] of Object.entries(draft.apps)) {
    const out = { windows: rule.windows.map((w) => ({ days: [...w.days].sort((a, b) => a - b), start: w.start, end: w.end, mode: 'block' })) };
    if (rule.limitText.trim() !== '') out.dailyLimitMinutes = Number(rule.limitText.trim());
    apps[bundleId] = out;
  }
  return apps;
}

// Day checkboxes in a fieldset.
function dayPicker(legend, days, id, onChange) {
  const boxes = DAY_NAMES.map((name, i) => {
    const box = h('input', { type: 'checkbox', checked: days.includes(i + 1), id: uid('day'), 'aria-label': DAY_LONG[i] });
    box.addEventListener('change', () => {
      const set = new Set(days);
      if (box.checked) set.add(i + 1);
      else set.delete(i + 1);
      days.splice(0, days.length, ...[...set].sort((a, b) => a - b));
      onChange();
    });
    return h('label', { class: 'day' }, box, h('span', { 'aria-hidden': 'true' }, name));
  });
  return h('fieldset', { class: 'days', id }, h('legend', {}, legend), boxes);
}

function timeInput(value, id, onInput) {
  const input = h('input', {
    type: 'text', id, value, inputmode: 'numeric', placeholder: 'HH:MM', maxlength: '5', size: '5',
    autocomplete: 'off', class: 'time',
  });
  input.addEventListener('input', () => onInput(input.value.trim()));
  return input;
}

export async function policyPage(deviceId) {
  const [devices, outline, inventoryAnswer] = await Promise.all([
    api('GET', '/v1/devices'),
    api('GET', `/v1/devices/${deviceId}/policy/outline`),
    api('GET', `/v1/devices/${deviceId}/apps`),
  ]);
  const device = devices.find((d) => String(d.id) === String(deviceId));
  if (!device) throw new Error('This device is not one of your devices.');
  const inventory = (inventoryAnswer.apps || []).filter((a) => a && typeof a.bundleId === 'string');
  const names = new Map(inventory.map((a) => [a.bundleId, a.name || a.bundleId]));
  for (const b of OTHER_BROWSERS) if (!names.has(b.bundleId)) names.set(b.bundleId, b.name);
  if (!names.has('com.apple.Safari')) names.set('com.apple.Safari', 'Safari');
  if (!names.has('com.google.Chrome')) names.set('com.google.Chrome', 'Google Chrome');
  const appName = (id) => names.get(id) || id;

  let draft = draftFrom(outline);
  const status = h('div', { class: 'status', 'aria-live': 'polite' });
  const problemsBox = h('div', { id: 'problems' });
  let dirty = false;
  const touched = () => {
    dirty = true;
    fill(status, h('p', {}, 'Changes not saved yet.'));
  };
  // "Allow only browsers Tether can watch": the other browsers get a daily limit of 0.
  const browsersOn = () => OTHER_BROWSERS.every((b) => draft.apps[b.bundleId]?.limitText.trim() === '0');
  const setBrowsers = (on) => {
    for (const id of browsersToBlock(inventory)) {
      const rule = draft.apps[id];
      if (on && !rule) draft.apps[id] = appDraft({ dailyLimitMinutes: 0 });
      else if (on) rule.limitText = '0';
      else if (rule && rule.limitText.trim() === '0') {
        if (rule.windows.length === 0) delete draft.apps[id];
        else rule.limitText = '';
      }
    }
  };
  // A new device starts with only the watched browsers allowed.
  if (outline.rev === 0) {
    setBrowsers(true);
    dirty = true;
  }

  // ---- browsers switch
  const browsersSection = h('section', { class: 'card', 'aria-labelledby': 'browsers-h' });
  function renderBrowsers() {
    const on = browsersOn();
    const toggle = h('input', { type: 'checkbox', role: 'switch', id: 'only-watched', checked: on });
    toggle.addEventListener('change', () => {
      setBrowsers(toggle.checked);
      touched();
      renderApps();
      renderBrowsers();
      document.getElementById('only-watched').focus();
    });
    fill(browsersSection, 
      h('h2', { id: 'browsers-h' }, 'Browsers'),
      h('div', { class: 'switch-row' }, toggle, h('label', { for: 'only-watched' }, 'Allow only browsers Tether can watch')),
      h('p', { class: 'hint' }, `Web time is counted in ${WATCHED_BROWSERS.map(appName).join(' and ')} only, so a limited site would have no limit in another browser. `,
        'This switch blocks the others (', OTHER_BROWSERS.map((b) => b.name).join(', '),
        ', and any other browser found on the Mac) with a daily limit of 0; they show below as ordinary rules you can remove.'));
  }

  // ---- applications
  const appsSection = h('section', { class: 'card', 'aria-labelledby': 'apps-h' });
  function renderApps(focusId) {
    const ids = Object.keys(draft.apps).sort((a, b) => appName(a).localeCompare(appName(b)));
    const rules = h('ul', { class: 'rules' }, ids.map((id) => ruleItem(id)));
    const unused = inventory.filter((a) => !draft.apps[a.bundleId]);
    const picker = h('select', { id: 'app-picker' },
      h('option', { value: '' }, unused.length ? 'Choose an application…' : 'No other application in the list'),
      unused.map((a) => h('option', { value: a.bundleId }, `${a.name} (${a.bundleId})`)));
    const free = h('input', { type: 'text', id: 'app-free', placeholder: 'com.example.App', autocomplete: 'off', spellcheck: false });
    const addProblem = h('div', { 'aria-live': 'polite' });
    const addRule = (id) => {
      clear(addProblem);
      if (!id) {
        addProblem.append(errorBox('Choose an application or write its bundle identifier.'));
        return;
      }
      if (/\s/.test(id)) {
        addProblem.append(errorBox(`“${id}” is not a bundle identifier (no spaces, e.g. com.example.App).`));
        return;
      }
      if (!draft.apps[id]) draft.apps[id] = appDraft({});
      touched();
      renderApps(draft.apps[id].limitId);
      renderBrowsers();
    };
    fill(appsSection, 
      h('h2', { id: 'apps-h' }, 'Applications'),
      inventory.length === 0
        ? h('p', { class: 'hint' }, 'The Mac has not sent its list of applications yet; you can still add a rule by bundle identifier.')
        : h('p', { class: 'hint' }, `${inventory.length} applications on the Mac (list from ${inventoryAnswer.receivedAt ? new Date(inventoryAnswer.receivedAt).toLocaleString() : 'never'}).`),
      ids.length ? rules : h('p', {}, 'No application rule yet: every application may be used at any time.'),
      h('div', { class: 'add-rule' },
        field('Add a rule for an application of the Mac', picker),
        h('button', { type: 'button', onclick: () => addRule(picker.value) }, 'Add rule'),
        field('Or by bundle identifier', free, 'For an application the list does not show.'),
        h('button', { type: 'button', onclick: () => addRule(free.value.trim()) }, 'Add rule'),
        addProblem));
    if (focusId) document.getElementById(focusId)?.focus();
  }

  function ruleItem(id) {
    const rule = draft.apps[id];
    const limit = h('input', { type: 'text', inputmode: 'numeric', id: rule.limitId, value: rule.limitText, size: '5', autocomplete: 'off', class: 'minutes' });
    limit.addEventListener('input', () => {
      rule.limitText = limit.value;
      touched();
    });
    const windows = h('ul', { class: 'windows' }, rule.windows.map((w, i) => windowItem(id, rule, w, i)));
    const titleId = uid('rule');
    return h('li', { class: 'rule', 'aria-labelledby': titleId },
      h('div', { class: 'rule-head' },
        h('h3', { id: titleId }, appName(id), ' ', h('span', { class: 'bundle' }, id)),
        h('button', {
          type: 'button', class: 'danger small', 'aria-label': `Remove the rule for ${appName(id)}`,
          onclick: () => {
            delete draft.apps[id];
            touched();
            renderApps('app-picker');
            renderBrowsers();
          },
        }, 'Remove rule')),
      field('Daily limit in minutes', limit, 'Empty: no limit. 0: blocked all day.'),
      windows,
      h('button', {
        type: 'button', class: 'small', 'aria-label': `Add a time window for ${appName(id)}`,
        onclick: () => {
          const w = windowDraft({ days: [1, 2, 3, 4, 5, 6, 7], start: '21:00', end: '07:00' });
          rule.windows.push(w);
          touched();
          renderApps(w.startId);
          renderBrowsers();
        },
      }, 'Add a time window'));
  }

  function windowItem(id, rule, w, index) {
    const sentence = h('p', { class: 'sentence' });
    const note = h('p', { class: 'hint' });
    const update = () => {
      fill(sentence, windowText(w));
      fill(note, crossingNote(w));
    };
    update();
    const changed = () => {
      touched();
      update();
    };
    const mode = h('select', { id: uid('mode') },
      h('option', { value: 'block' }, 'Blocked during'),
      h('option', { value: 'allow' }, 'Allowed only during'));
    const start = timeInput(w.start, w.startId, (v) => { w.start = v; changed(); });
    const end = timeInput(w.end, w.endId, (v) => { w.end = v; changed(); });
    mode.addEventListener('change', () => {
      if (mode.value !== 'allow') return;
      // The Mac only knows blocking windows: "allowed from A to B" is "blocked from B to A".
      if (parseTime(w.start) === null || parseTime(w.end) === null) return;
      const inverse = allowedOnly(w.days, w.start, w.end);
      w.start = pad(inverse.start);
      w.end = pad(inverse.end);
      start.value = w.start;
      end.value = w.end;
      mode.value = 'block';
      changed();
      sentence.focus();
    });
    sentence.setAttribute('tabindex', '-1');
    return h('li', { class: 'window' },
      field('Kind', mode, 'The Mac applies blocking times: “allowed only” is turned into the blocked rest of the day.'),
      h('div', { class: 'window-row' },
        field('From', start),
        field('To', end),
        h('button', {
          type: 'button', class: 'danger small', 'aria-label': `Remove time window ${index + 1} of ${appName(id)}`,
          onclick: () => {
            rule.windows.splice(index, 1);
            touched();
            renderApps(rule.limitId);
          },
        }, 'Remove')),
      dayPicker('Days', w.days, w.daysId, changed),
      sentence, note);
  }

  // ---- downtime
  const downtimeSection = h('section', { class: 'card', 'aria-labelledby': 'downtime-h' });
  const downtime = { days: [7, 1, 2, 3, 4], start: '21:00', end: '07:00' };
  function renderDowntime(message) {
    // Windows that several applications share: a downtime set before.
    const byKey = new Map();
    for (const [id, rule] of Object.entries(draft.apps)) {
      for (const w of rule.windows) {
        const key = windowKey(w);
        if (!byKey.has(key)) byKey.set(key, { w, ids: [] });
        byKey.get(key).ids.push(id);
      }
    }
    const existing = [...byKey.values()].filter((e) => e.ids.length >= 2 && inventory.length > 0);
    const preview = h('p', { class: 'sentence', 'aria-live': 'polite' });
    const note = h('p', { class: 'hint' });
    const updatePreview = () => {
      fill(preview, windowText(downtime));
      fill(note, crossingNote(downtime));
    };
    updatePreview();
    const start = timeInput(downtime.start, 'downtime-start', (v) => { downtime.start = v; updatePreview(); });
    const end = timeInput(downtime.end, 'downtime-end', (v) => { downtime.end = v; updatePreview(); });
    const apply = (ids) => {
      if (parseTime(downtime.start) === null || parseTime(downtime.end) === null || downtime.days.length === 0) {
        renderDowntime(errorBox('Downtime: choose at least one day and write both times as HH:MM, e.g. 21:00.'));
        return;
      }
      let n = 0;
      for (const id of ids) {
        if (!draft.apps[id]) draft.apps[id] = appDraft({});
        const rule = draft.apps[id];
        const w = windowDraft({ ...downtime, start: pad(downtime.start), end: pad(downtime.end) });
        if (!rule.windows.some((x) => windowKey(x) === windowKey(w))) {
          rule.windows.push(w);
          n += 1;
        }
      }
      touched();
      renderApps();
      renderBrowsers();
      renderDowntime(h('p', { class: 'ok' }, `Downtime added to ${n} applications. Save to send it to the Mac.`));
      document.getElementById('downtime-apply')?.focus();
    };
    const rulesList = (e) => h('details', {},
      h('summary', {}, `The ${e.ids.length} rules it makes`),
      h('ul', { class: 'compact' }, e.ids.map((id) => h('li', {}, `${appName(id)}: ${windowText(e.w)}`))));
    fill(downtimeSection, 
      h('h2', { id: 'downtime-h' }, 'Downtime for the whole Mac'),
      h('p', { class: 'hint' }, 'One time window put on every application of the Mac at once, for example school nights.'),
      inventory.length === 0
        ? h('p', {}, 'The Mac has not sent its list of applications yet, so there is nothing to apply a downtime to.')
        : [
          dayPicker('Downtime days', downtime.days, 'downtime-days', updatePreview),
          h('div', { class: 'window-row' }, field('Downtime from', start), field('Downtime to', end)),
          preview, note,
          h('button', { type: 'button', id: 'downtime-apply', onclick: () => apply(inventory.map((a) => a.bundleId)) },
            `Apply to all ${inventory.length} applications`),
        ],
      existing.map((e) => {
        const missing = inventory.filter((a) => !(draft.apps[a.bundleId]?.windows || []).some((x) => windowKey(x) === windowKey(e.w)));
        return h('div', { class: 'downtime' },
          h('h3', {}, `${windowText(e.w)}: on ${e.ids.length} applications`),
          rulesList(e),
          missing.length
            ? h('div', { class: 'notice' },
              h('p', {}, `Not on ${missing.length} application${missing.length === 1 ? '' : 's'} of the Mac (new since the downtime was set, or taken off): `,
                missing.map((a) => a.name).join(', ')),
              h('button', {
                type: 'button',
                onclick: () => {
                  Object.assign(downtime, { days: [...e.w.days], start: e.w.start, end: e.w.end });
                  apply(missing.map((a) => a.bundleId));
                },
              }, `Add the downtime to these ${missing.length}`))
            : h('p', { class: 'hint' }, 'Every application of the Mac has it.'),
          h('button', {
            type: 'button', class: 'danger small',
            onclick: () => {
              for (const id of e.ids) {
                const rule = draft.apps[id];
                rule.windows = rule.windows.filter((x) => windowKey(x) !== windowKey(e.w));
                if (rule.windows.length === 0 && rule.limitText.trim() === '') delete draft.apps[id];
              }
              touched();
              renderApps();
              renderBrowsers();
              renderDowntime(h('p', { class: 'ok' }, 'Downtime taken off. Save to send it to the Mac.'));
            },
          }, 'Remove this downtime'));
      }),
      message);
  }

  // ---- web
  const webSection = h('section', { class: 'card', 'aria-labelledby': 'web-h' });
  const importInfo = h('div', { 'aria-live': 'polite' });
  function blockedSummary() {
    const parts = [];
    const base = draft.replace ? 0 : draft.domainCount;
    parts.push(h('strong', { id: 'blocked-count' }, `${count(base - (draft.replace ? 0 : draft.removed.size))} names blocked`));
    if (draft.replace) parts.push(` (the ${count(draft.domainCount)} saved names are to be replaced)`);
    if (draft.removed.size) parts.push(`, ${count(draft.removed.size)} to be unblocked`);
    if (draft.added.length) parts.push(`, ${count(draft.added.length)} to be added`);
    if (draft.imported) parts.push(`, ${count(draft.imported.names.length)} from ${draft.imported.fileName} to be added`);
    return h('p', { id: 'blocked-summary' }, parts);
  }
  function refreshSummary() {
    document.getElementById('blocked-summary')?.replaceWith(blockedSummary());
  }

  function hostListEditor(title, hint, list, idBase) {
    const input = h('input', { type: 'text', id: `${idBase}-new`, autocomplete: 'off', spellcheck: false, placeholder: 'example.com' });
    const problem = h('div', { 'aria-live': 'polite' });
    const items = h('ul', { class: 'chips' }, list.map((host, i) => h('li', {}, host,
      h('button', {
        type: 'button', class: 'small', 'aria-label': `Remove ${host}`,
        onclick: () => {
          list.splice(i, 1);
          touched();
          renderWeb(`${idBase}-new`);
        },
      }, '×'))));
    const addHost = () => {
      clear(problem);
      const checked = storedHost(input.value);
      if (checked.error) {
        input.setAttribute('aria-invalid', 'true');
        problem.append(errorBox(`${title}: “${input.value}” ${checked.error}.`));
        input.focus();
        return;
      }
      if (!list.includes(checked.host)) list.push(checked.host);
      touched();
      renderWeb(`${idBase}-new`);
    };
    input.addEventListener('keydown', (event) => {
      if (event.key === 'Enter') {
        event.preventDefault();
        addHost();
      }
    });
    return h('div', { class: 'subsection' },
      h('h3', {}, title),
      h('p', { class: 'hint' }, hint),
      list.length ? items : h('p', {}, 'None.'),
      h('div', { class: 'inline' }, field(`Add to “${title}”`, input), h('button', { type: 'button', onclick: addHost }, 'Add')),
      problem);
  }

  function renderWeb(focusId) {
    // Blocked names: counted, added and searched, never listed whole.
    const addInput = h('input', { type: 'text', id: 'block-new', autocomplete: 'off', spellcheck: false, placeholder: 'example.com' });
    const addProblem = h('div', { 'aria-live': 'polite' });
    const addBlocked = () => {
      clear(addProblem);
      const checked = storedHost(addInput.value);
      if (checked.error) {
        addInput.setAttribute('aria-invalid', 'true');
        addProblem.append(errorBox(`Block a site: “${addInput.value}” ${checked.error}.`));
        addInput.focus();
        return;
      }
      if (!draft.added.includes(checked.host)) draft.added.push(checked.host);
      draft.removed.delete(checked.host);
      touched();
      renderWeb('block-new');
    };
    addInput.addEventListener('keydown', (event) => {
      if (event.key === 'Enter') {
        event.preventDefault();
        addBlocked();
      }
    });
    const pending = draft.added.length
      ? h('ul', { class: 'chips' }, draft.added.map((host, i) => h('li', {}, host, h('button', {
        type: 'button', class: 'small', 'aria-label': `Do not block ${host}`,
        onclick: () => {
          draft.added.splice(i, 1);
          touched();
          renderWeb('block-new');
        },
      }, '×'))))
      : null;

    const search = h('input', { type: 'search', id: 'block-search', autocomplete: 'off', spellcheck: false, placeholder: 'part of a name' });
    const results = h('div', { class: 'results', 'aria-live': 'polite' });
    let timer = null;
    let asked = 0;
    const runSearch = async () => {
      const text = search.value.trim().toLowerCase();
      const mine = (asked += 1);
      if (!text) {
        clear(results);
        return;
      }
      try {
        const answer = await api('GET', `/v1/devices/${deviceId}/policy/domains?q=${encodeURIComponent(text)}&limit=50`);
        if (mine !== asked) return;
        fill(results, 
          h('p', {}, `${count(answer.matches)} of ${count(answer.total)} saved names contain “${text}”`, answer.matches > answer.domains.length ? ` (the first ${answer.domains.length} shown)` : '', '.'),
          h('ul', { class: 'compact found' }, answer.domains.map((host) => {
            const box = h('input', { type: 'checkbox', id: uid('unblock'), checked: draft.removed.has(host) });
            box.addEventListener('change', () => {
              if (box.checked) draft.removed.add(host);
              else draft.removed.delete(host);
              touched();
              refreshSummary();
            });
            return h('li', {}, box, h('label', { for: box.id }, `Unblock ${host}`));
          })));
      } catch (error) {
        fill(results, errorBox(error));
      }
    };
    search.addEventListener('input', () => {
      clearTimeout(timer);
      timer = setTimeout(runSearch, 250);
    });

    const file = h('input', { type: 'file', id: 'block-file', accept: '.txt,.hosts,.list,text/plain' });
    file.addEventListener('change', async () => {
      const chosen = file.files && file.files[0];
      if (!chosen) return;
      fill(importInfo, h('p', {}, `Reading ${chosen.name}…`));
      const text = await chosen.text();
      const parsed = parseBlockList(text);
      clear(importInfo);
      if (parsed.tooMany) {
        importInfo.append(errorBox(`${chosen.name} holds more than ${count(MAX_IMPORT)} names; split it or choose a shorter list.`));
        return;
      }
      draft.imported = { fileName: chosen.name, names: parsed.names, skipped: parsed.skipped, examples: parsed.examples };
      touched();
      showImport();
      refreshSummary();
    });
    const replace = h('input', { type: 'checkbox', id: 'block-replace', checked: draft.replace });
    replace.addEventListener('change', () => {
      draft.replace = replace.checked;
      touched();
      refreshSummary();
    });

    const limitsList = h('ul', { class: 'limits' }, draft.domainLimits.map((row, i) => {
      const host = h('input', { type: 'text', id: row.hostId, value: row.host, autocomplete: 'off', spellcheck: false });
      const minutes = h('input', { type: 'text', inputmode: 'numeric', id: row.minutesId, value: row.minutes, size: '5', class: 'minutes' });
      host.addEventListener('input', () => { row.host = host.value; touched(); });
      minutes.addEventListener('input', () => { row.minutes = minutes.value; touched(); });
      return h('li', { class: 'window-row' },
        field('Site', host), field('Minutes a day', minutes),
        h('button', {
          type: 'button', class: 'danger small', 'aria-label': `Remove the limit of ${row.host || 'this site'}`,
          onclick: () => {
            draft.domainLimits.splice(i, 1);
            touched();
            renderWeb('limit-add');
          },
        }, 'Remove'));
    }));

    fill(webSection, 
      h('h2', { id: 'web-h' }, 'Web sites'),
      h('p', { class: 'hint' }, 'A name covers its subdomains too: blocking example.com blocks www.example.com.'),
      h('div', { class: 'subsection' },
        h('h3', {}, 'Blocked sites'),
        blockedSummary(),
        h('div', { class: 'inline' }, field('Block a site', addInput), h('button', { type: 'button', onclick: addBlocked }, 'Block')),
        addProblem,
        pending,
        field('Search the blocked list', search, 'Only saved names are searched; tick a name to unblock it.'),
        results,
        field('Import a block list file', file, 'One name per line, or the hosts-file format (0.0.0.0 name); comments after # are skipped. Up to 1 000 000 names.'),
        importInfo,
        h('div', { class: 'switch-row' }, replace, h('label', { for: 'block-replace' }, 'Replace the saved blocked list (instead of adding to it)'))),
      hostListEditor('Allowed inside blocked sites', 'Holes in a blocked site, e.g. learn.example.com inside example.com.', draft.domainAllow, 'allow'),
      h('div', { class: 'subsection' },
        h('h3', {}, 'Daily time limits'),
        h('p', { class: 'hint' }, 'Minutes a day on a site, counted in Safari and Google Chrome.'),
        draft.domainLimits.length ? limitsList : h('p', {}, 'None.'),
        h('button', {
          type: 'button', id: 'limit-add',
          onclick: () => {
            const row = limitDraft('', '30');
            draft.domainLimits.push(row);
            touched();
            renderWeb(row.hostId);
          },
        }, 'Add a site limit')),
      hostListEditor('Exact names only', 'Rules for these names cover the name alone, not its subdomains.', draft.domainExact, 'exact'));
    showImport();
    if (focusId) document.getElementById(focusId)?.focus();
  }

  function showImport() {
    clear(importInfo);
    if (!draft.imported) return;
    const im = draft.imported;
    importInfo.append(h('div', { class: 'notice' },
      h('p', { id: 'import-count' }, `${im.fileName}: ${count(im.names.length)} names to add`,
        im.skipped ? `, ${count(im.skipped)} ${im.skipped === 1 ? 'line' : 'lines'} skipped` : '', '.'),
      im.examples.length ? h('ul', { class: 'compact' }, im.examples.map((e) => h('li', {}, e))) : null,
      h('button', {
        type: 'button', class: 'small',
        onclick: () => {
          draft.imported = null;
          document.getElementById('block-file').value = '';
          showImport();
          refreshSummary();
          document.getElementById('block-file').focus();
        },
      }, 'Leave the file out')));
  }

  // ---- saving
  const saveButton = h('button', { type: 'button', class: 'primary', id: 'save' }, 'Save rules');
  saveButton.addEventListener('click', async () => {
    clear(problemsBox);
    document.querySelectorAll('[aria-invalid]').forEach((el) => el.removeAttribute('aria-invalid'));
    const problems = check(draft, appName);
    if (problems.length) {
      for (const p of problems) document.getElementById(p.field)?.setAttribute('aria-invalid', 'true');
      problemsBox.append(h('div', { class: 'error', role: 'alert' },
        h('p', {}, `Not saved: ${problems.length === 1 ? 'one field needs' : `${problems.length} fields need`} a change.`),
        h('ul', {}, problems.map((p) => h('li', {}, h('a', {
          href: `#${p.field}`,
          onclick: (event) => {
            event.preventDefault();
            document.getElementById(p.field)?.focus();
          },
        }, p.message))))));
      document.getElementById(problems[0].field)?.focus();
      return;
    }
    const body = {
      rev: draft.rev,
      apps: appsBody(draft),
      domainLimits: Object.fromEntries(draft.domainLimits.map((row) => [row.host.trim(), Number(row.minutes.trim())])),
      domainAllow: draft.domainAllow,
      domainExact: draft.domainExact,
      domainsAdded: [...draft.added, ...(draft.imported ? draft.imported.names : [])],
      domainsRemoved: [...draft.removed],
      domainsCleared: draft.replace,
    };
    saveButton.disabled = true;
    fill(status, h('p', {}, 'Saving…'));
    try {
      const saved = await api('PATCH', `/v1/devices/${deviceId}/policy`, body, { gzip: true });
      draft = draftFrom(saved);
      dirty = false;
      renderAll();
      showRev(saved.rev);
      fill(status, h('p', { class: 'ok', id: 'saved' }, `Saved as revision ${saved.rev} at ${new Date().toLocaleTimeString([], { hour: '2-digit', minute: '2-digit' })}. The Mac takes it up at its next poll.`));
    } catch (error) {
      clear(status);
      problemsBox.append(errorBox(`Not saved: ${error.message}`));
    } finally {
      saveButton.disabled = false;
    }
  });

  const revLine = h('p', { class: 'hint', id: 'rev' });
  const showRev = (rev) => fill(revLine, rev === 0
    ? 'No rules saved yet for this Mac. Browsers other than Safari and Chrome are blocked to start with (see below).'
    : `Revision ${rev} in force.`);
  showRev(outline.rev);

  function renderAll() {
    renderBrowsers();
    renderApps();
    renderDowntime();
    renderWeb();
  }
  renderAll();
  page(`Rules for ${device.name}`,
    h('p', { class: 'crumbs' }, h('a', { href: '#/devices' }, 'Devices'), ' › ', h('a', { href: `#/device/${deviceId}/usage` }, 'Usage')),
    revLine,
    browsersSection, appsSection, downtimeSection, webSection,
    h('div', { class: 'savebar' }, problemsBox, status, saveButton));
  if (dirty) touched();
}
