// The policy's rules as the parent edits them, checked the way the Mac will apply them.

export const DAY_NAMES = ['Mon', 'Tue', 'Wed', 'Thu', 'Fri', 'Sat', 'Sun'];
export const DAY_LONG = ['Monday', 'Tuesday', 'Wednesday', 'Thursday', 'Friday', 'Saturday', 'Sunday'];

// Browsers whose tabs Tether can read: their web time is counted.
export const WATCHED_BROWSERS = ['com.apple.Safari', 'com.google.Chrome'];

// Other browsers: blocked (a daily limit of 0) by "Allow only browsers Tether can watch". The
// first seven are always added; the others when the Mac has them.
export const OTHER_BROWSERS = [
  { bundleId: 'org.mozilla.firefox', name: 'Firefox' },
  { bundleId: 'com.microsoft.edgemac', name: 'Microsoft Edge' },
  { bundleId: 'com.brave.Browser', name: 'Brave' },
  { bundleId: 'com.operasoftware.Opera', name: 'Opera' },
  { bundleId: 'com.vivaldi.Vivaldi', name: 'Vivaldi' },
  { bundleId: 'company.thebrowser.Browser', name: 'Arc' },
  { bundleId: 'org.torproject.torbrowser', name: 'Tor Browser' },
];
const MORE_BROWSERS = [
  'org.mozilla.firefoxdeveloperedition', 'org.mozilla.nightly', 'org.mozilla.firefox.esr',
  'com.microsoft.edgemac.Beta', 'com.microsoft.edgemac.Dev', 'com.microsoft.edgemac.Canary',
  'com.brave.Browser.beta', 'com.brave.Browser.nightly', 'com.operasoftware.OperaGX',
  'com.operasoftware.OperaAir', 'com.vivaldi.Vivaldi.snapshot', 'org.chromium.Chromium',
  'com.google.Chrome.beta', 'com.google.Chrome.dev', 'com.google.Chrome.canary',
  'com.apple.SafariTechnologyPreview', 'com.duckduckgo.macos.browser', 'com.kagi.kagimacOS',
  'net.waterfox.waterfox', 'org.librewolf.librewolf', 'app.zen-browser.zen', 'com.sigmaos.sigmaos.macos',
];

// The bundle identifiers the switch blocks on a Mac with this inventory.
export function browsersToBlock(inventory) {
  const ids = OTHER_BROWSERS.map((b) => b.bundleId);
  for (const app of inventory) {
    if (MORE_BROWSERS.includes(app.bundleId) && !ids.includes(app.bundleId)) ids.push(app.bundleId);
  }
  return ids;
}

// "HH:MM" or "H:MM", 00:00 to 23:59 and 24:00: the minute of the day, or null.
export function parseTime(text) {
  const m = /^(\d{1,2}):([0-5]\d)$/.exec(text);
  if (!m) return null;
  const minutes = Number(m[1]) * 60 + Number(m[2]);
  return minutes <= 24 * 60 ? minutes : null;
}

export function pad(text) {
  const m = /^(\d):(\d\d)$/.exec(text);
  return m ? `0${m[1]}:${m[2]}` : text;
}

// "Mon–Fri", "Sun–Thu", "every day", "Mon, Wed, Sat".
export function daysText(days) {
  const set = [...new Set(days)].filter((d) => d >= 1 && d <= 7).sort((a, b) => a - b);
  if (set.length === 7) return 'every day';
  if (set.length === 0) return 'no day';
  // Runs of consecutive days, going round the week (Sun–Thu is 7,1,2,3,4).
  const inSet = (d) => set.includes(((d - 1 + 7) % 7) + 1);
  let start = set.find((d) => !inSet(d - 1));
  if (start === undefined) start = set[0];
  const runs = [];
  let run = null;
  for (let i = 0; i < 7; i += 1) {
    const d = ((start - 1 + i) % 7) + 1;
    if (inSet(d)) {
      if (run) run.push(d);
      else runs.push((run = [d]));
    } else run = null;
  }
  return runs
    .map((r) => (r.length >= 3 ? `${DAY_NAMES[r[0] - 1]}–${DAY_NAMES[r[r.length - 1] - 1]}`
      : r.map((d) => DAY_NAMES[d - 1]).join(', ')))
    .join(', ');
}

// "21:00 → 07:00 next day", "09:00 → 15:00", "all day".
export function spanText(start, end) {
  const s = parseTime(start);
  const e = parseTime(end);
  if (s === null || e === null) return `${start} → ${end}`;
  if (s === e || (s === 0 && e === 1440)) return 'all day';
  return e < s ? `${pad(start)} → ${pad(end)} next day` : `${pad(start)} → ${pad(end)}`;
}

// The sentence a window reads as, e.g. "Blocked 21:00 → 07:00 next day, Sun–Thu".
export function windowText(w) {
  return `Blocked ${spanText(w.start, w.end)}, ${daysText(w.days)}`;
}

// The Mac applies a window on each chosen day: one that crosses midnight also covers that day's
// own early morning, and the morning after a day that is not chosen is free.
export function crossingNote(w) {
  const s = parseTime(w.start);
  const e = parseTime(w.end);
  if (s === null || e === null || e >= s || e === 0) return '';
  return `On the chosen days the Mac also blocks 00:00 → ${pad(w.end)} of that same day; ` +
    'a morning counts only when its day is chosen.';
}

// "Allowed only from start to end" as the blocking window that the Mac applies: the rest of the
// day, from end to start.
export function allowedOnly(days, start, end) {
  return { days, start: end === '24:00' ? '00:00' : end, end: start, mode: 'block' };
}

export function windowKey(w) {
  return `${[...w.days].sort().join(',')}|${pad(w.start)}|${pad(w.end)}`;
}

// ---- host names ------------------------------------------------------------------------------

const ASCII_HOST = /^[a-z0-9_-]+(\.[a-z0-9_-]+)*$/;

// A host as the Mac enforces it (lower case, ASCII, "*." dropped), or {error} with the reason.
export function storedHost(raw) {
  let host = String(raw).trim();
  if (host.startsWith('*.')) host = host.slice(2);
  if (host === '') return { error: 'is empty' };
  if (/\s/.test(host)) return { error: 'contains a space' };
  if (/[/:?#@[\]\\%]/.test(host)) return { error: 'is not a host name (write only the name, such as example.com)' };
  // eslint-disable-next-line no-control-regex
  if (/[^\x00-\x7f]/.test(host)) {
    try {
      host = new URL(`http://${host}/`).hostname;
    } catch {
      return { error: 'is not a valid international name' };
    }
  }
  host = host.toLowerCase();
  if (host.startsWith('.') || host.endsWith('.') || host.includes('..')) return { error: 'has an empty label' };
  if (host.length > 253) return { error: 'is longer than 253 characters' };
  if (host.split('.').some((l) => l.length > 63)) return { error: 'has a label longer than 63 characters' };
  if (!ASCII_HOST.test(host)) return { error: 'holds a character a host name cannot hold (letters, digits, - and _ only)' };
  return { host };
}

const HOSTS_FILE_NAMES = new Set([
  'localhost', 'localhost.localdomain', 'local', 'broadcasthost', 'ip6-localhost', 'ip6-loopback',
  'ip6-localnet', 'ip6-mcastprefix', 'ip6-allnodes', 'ip6-allrouters', 'ip6-allhosts', '0.0.0.0',
]);
const ADDRESS = /^(\d{1,3}(\.\d{1,3}){3}|[0-9a-f:]*:[0-9a-f:.]*)$/i;

export const MAX_IMPORT = 1000000;

// A block list file: one name per line, or the hosts-file format ("0.0.0.0 name"), comments
// ("#" or "!") and blank lines skipped; "||name^" lines of ad-block lists are taken too.
// Returns {names (each once, stored form), skipped (lines that are no host), examples (the first
// few skipped lines), tooMany}.
export function parseBlockList(text) {
  const seen = new Set();
  let skipped = 0;
  const examples = [];
  const skip = (line, lineNo, why) => {
    skipped += 1;
    if (examples.length < 5) examples.push(`line ${lineNo}: ${line.slice(0, 80)} (${why})`);
  };
  let lineNo = 0;
  let start = 0;
  while (start <= text.length) {
    let end = text.indexOf('\n', start);
    if (end < 0) end = text.length;
    lineNo += 1;
    let line = text.slice(start, end);
    start = end + 1;
    const hash = line.indexOf('#');
    if (hash >= 0) line = line.slice(0, hash);
    line = line.trim();
    if (line === '' || line.startsWith('!')) continue;
    let tokens = line.split(/\s+/);
    if (tokens.length > 1 && ADDRESS.test(tokens[0])) tokens = tokens.slice(1);
    else if (tokens.length > 1) {
      skip(line, lineNo, 'more than one name');
      continue;
    }
    for (let token of tokens) {
      if (token.startsWith('||')) token = token.slice(2).replace(/\^.*$/, '');
      const lower = token.toLowerCase();
      if (HOSTS_FILE_NAMES.has(lower) || ADDRESS.test(lower)) continue;
      let host = lower;
      if (!(ASCII_HOST.test(lower) && lower.length <= 253)) {
        const checked = storedHost(token);
        if (checked.error) {
          skip(line, lineNo, checked.error);
          continue;
        }
        host = checked.host;
      }
      seen.add(host);
      if (seen.size > MAX_IMPORT) return { names: [], skipped, examples, tooMany: true };
    }
    if (end === text.length) break;
  }
  return { names: [...seen], skipped, examples, tooMany: false };
}

// ---- checking before saving ----------------------------------------------------------------

// Problems of the edited policy, each {field (the element id), message}.
export function check(draft, appName) {
  const problems = [];
  for (const [bundleId, rule] of Object.entries(draft.apps)) {
    const name = appName(bundleId);
    if (rule.limitText !== undefined && rule.limitText !== '') {
      if (!/^\d+$/.test(rule.limitText.trim())) {
        problems.push({ field: rule.limitId, message: `${name}: the daily limit must be a whole number of minutes, 0 or more (“${rule.limitText}”)` });
      }
    }
    rule.windows.forEach((w, i) => {
      const label = `${name}, time window ${i + 1}`;
      if (w.days.length === 0) problems.push({ field: w.daysId, message: `${label}: choose at least one day` });
      if (parseTime(w.start) === null) problems.push({ field: w.startId, message: `${label}: start “${w.start}” is not a time such as 21:00` });
      if (parseTime(w.end) === null) problems.push({ field: w.endId, message: `${label}: end “${w.end}” is not a time such as 07:00` });
    });
  }
  draft.domainLimits.forEach((row, i) => {
    const checked = storedHost(row.host);
    if (checked.error) problems.push({ field: row.hostId, message: `Site limit ${i + 1}: “${row.host}” ${checked.error}` });
    if (!/^\d+$/.test(String(row.minutes).trim())) {
      problems.push({ field: row.minutesId, message: `Site limit ${i + 1} (${row.host}): minutes must be a whole number, 0 or more (“${row.minutes}”)` });
    }
  });
  return problems;
}
