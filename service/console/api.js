// The service's JSON endpoints, with the account token of this tab.

const KEY = 'tether.session';

// The signed-in account ({email, apiToken, userId}), kept for this tab only.
export const session = {
  get() {
    try {
      return JSON.parse(sessionStorage.getItem(KEY) || 'null');
    } catch {
      return null;
    }
  },
  set(login) {
    sessionStorage.setItem(KEY, JSON.stringify(login));
  },
  clear() {
    sessionStorage.removeItem(KEY);
  },
};

export class ApiError extends Error {
  constructor(status, detail) {
    super(detail);
    this.status = status;
  }
}

// Called when the service no longer knows the token.
let onSignedOut = () => {};
export function whenSignedOut(callback) {
  onSignedOut = callback;
}

async function gzipped(text) {
  const stream = new Blob([text]).stream().pipeThrough(new CompressionStream('gzip'));
  return new Response(stream).blob();
}

// One request; the answer's JSON, or an ApiError with the service's "detail".
export async function api(method, path, body, { gzip = false } = {}) {
  const headers = {};
  const login = session.get();
  if (login) headers.Authorization = `Bearer ${login.apiToken}`;
  let payload;
  if (body !== undefined) {
    headers['Content-Type'] = 'application/json';
    payload = typeof body === 'string' ? body : JSON.stringify(body);
    if (gzip && typeof CompressionStream === 'function' && payload.length > 65536) {
      payload = await gzipped(payload);
      headers['Content-Encoding'] = 'gzip';
    }
  }
  let res;
  try {
    res = await fetch(path, { method, headers, body: payload, cache: 'no-store' });
  } catch {
    throw new ApiError(0, 'the service cannot be reached; check the connection and try again');
  }
  const text = await res.text();
  let data = null;
  try {
    data = text ? JSON.parse(text) : null;
  } catch {
    data = null;
  }
  if (res.status === 401 && login) {
    session.clear();
    onSignedOut();
  }
  if (!res.ok) {
    const detail = data && typeof data.detail === 'string' ? data.detail : `${res.status} ${res.statusText}`;
    throw new ApiError(res.status, detail);
  }
  return data;
}
