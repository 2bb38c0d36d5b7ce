// Shared by every page: calls to the box's API, the session's token, the
// navigation bar's recording state and the banner for a silent recorder.
'use strict';

const QVA = (() => {
  const TIMEOUT_MS = 8000;  // the server gives up on the recorder well before this
  let csrf = null;
  let session = null;

  class ApiError extends Error {
    constructor(status, message, field, data) {
      super(message);
      this.status = status;
      this.field = field || null;
      this.data = data || {};
    }
  }

  const $ = (id) => document.getElementById(id);

  function banner(text) {
    const el = $('banner');
    if (!el) return;
    el.textContent = text || '';
    el.hidden = !text;
  }

  function toLogin() {
    const here = location.pathname + location.search;
    location.replace('/login' + (here && here !== '/login' ? '?next=' + encodeURIComponent(here) : ''));
  }

  // One request. Resolves with the answer's JSON; rejects with an ApiError
  // carrying the server's text.
  async function request(method, path, options = {}) {
    const headers = {};
    let body;
    if (options.raw !== undefined) {
      body = options.raw;
      headers['Content-Type'] = options.type;
    } else if (options.json !== undefined) {
      body = JSON.stringify(options.json);
      headers['Content-Type'] = 'application/json';
    }
    if (method === 'POST' && csrf) headers['X-CSRF-Token'] = csrf;

    const abort = new AbortController();
    const timer = setTimeout(() => abort.abort(), TIMEOUT_MS);
    let response;
    try {
      response = await fetch(path, { method, headers, body, credentials: 'same-origin', cache: 'no-store', signal: abort.signal });
    } catch (e) {
      banner('The box is not answering. Check the network connection.');
      throw new ApiError(0, 'The box is not answering.');
    } finally {
      clearTimeout(timer);
    }

    if (response.status === 504) {
      banner('Recorder not answering. The page will update as soon as it replies.');
      throw new ApiError(504, 'Recorder not answering.');
    }
    if (response.status === 401 && !options.noRedirect) {
      toLogin();
      throw new ApiError(401, 'Log in first.');
    }
    banner('');
    if (!response.ok) {
      let data = {};
      try {
        data = await response.json();
      } catch (e) { /* not JSON: fall back to the status below */ }
      throw new ApiError(response.status, data.error || 'Refused (' + response.status + ').', data.field, data);
    }
    const text = await response.text();
    return text ? JSON.parse(text) : {};
  }

  const get = (path, options) => request('GET', path, options);
  const post = (path, json, options = {}) => request('POST', path, Object.assign({ json: json === undefined ? {} : json }, options));

  async function loadSession() {
    session = await request('GET', '/api/session', { noRedirect: true });
    csrf = session.csrf || null;
    return session;
  }

  // The API's setting names as the pages call them, for the server's refusals.
  const FIELD_NAMES = {
    ip: 'Address', mask: 'Network mask', gateway: 'Gateway', dhcp: 'Network', fileName: 'File name',
    input: 'Input mode', sd: 'Recording format', pal: 'Standard', composite: 'Video input',
    audioSource: 'Audio source', audioPair: 'Audio channels', tcBurnIn: 'Time-code burn-in', logo: 'Logo',
    date: 'Date', time: 'Time', id: 'Drive', confirm: 'Drive name', new: 'New password', old: 'Current password',
    password: 'Password', readsOpen: 'Web access',
  };

  // "must be …", "refused while recording" and the like need the setting's
  // name before them; the server's whole sentences stand as they are.
  function explain(e) {
    const text = e.message || '';
    if (e.field && FIELD_NAMES[e.field] && /^(must|not|refused|\d)/.test(text)) return FIELD_NAMES[e.field] + ': ' + text;
    return text.charAt(0).toUpperCase() + text.slice(1);
  }

  // Shows an action's outcome in its message element.
  function say(el, text, ok) {
    if (!el) return;
    el.textContent = text || '';
    el.className = 'msg' + (text ? (ok ? ' ok' : ' error') : '');
  }

  // Runs an action from a button: the button is disabled while it runs, and
  // the server's refusal or the success text is shown in msg. True when it
  // succeeded.
  async function act(button, msg, action, okText) {
    if (button) button.disabled = true;
    say(msg, '');
    try {
      await action();
      say(msg, okText || '', true);
      return true;
    } catch (e) {
      if (e.status !== 401) say(msg, explain(e), false);
      return false;
    } finally {
      if (button) button.disabled = false;
    }
  }

  // The status, read once a second for every page that listens, and for the
  // bar's recording pill.
  const listeners = [];
  let lastStatus = null;
  function onStatus(fn) {
    listeners.push(fn);
    if (lastStatus) fn(lastStatus);
  }
  async function pollStatus() {
    try {
      lastStatus = await get('/api/status');
      const pill = $('rec-pill');
      if (pill) {
        pill.textContent = lastStatus.recording ? 'REC' : 'IDLE';
        pill.className = 'rec-pill ' + (lastStatus.recording ? 'recording' : 'idle');
        pill.title = lastStatus.recording ? 'A drive is recording' : 'Nothing records';
      }
      for (const fn of listeners) fn(lastStatus);
    } catch (e) {
      const pill = $('rec-pill');
      if (pill && e.status === 504) { pill.textContent = '?'; pill.className = 'rec-pill'; }
    }
    setTimeout(pollStatus, 1000);
  }

  // Every page but the login page: a session (or open reads) first.
  async function start() {
    try {
      await loadSession();
    } catch (e) {
      banner(e.message);
      return false;
    }
    if (!session.loggedIn && !session.readsOpen) {
      toLogin();
      return false;
    }
    const out = $('nav-logout');
    if (out) {
      out.textContent = session.loggedIn ? 'Log out' : 'Log in';
      out.addEventListener('click', async () => {
        if (session.loggedIn) {
          try { await post('/api/logout'); } catch (e) { /* the session ends either way */ }
        }
        location.href = '/login';
      });
    }
    pollStatus();
    return true;
  }

  // Peak (0-32767) to dBFS, floored at -90.
  function dbfs(peak) {
    return peak > 0 ? Math.max(-90, 20 * Math.log10(peak / 32767)) : -90;
  }

  // Sizes as the panel shows them: 1024 MB to the GB.
  function megabytes(mb) {
    if (!(mb >= 0)) return '–';
    if (mb < 1024) return Math.round(mb) + ' MB';
    const gb = mb / 1024;
    if (gb < 1000) return gb.toFixed(gb < 100 ? 1 : 0) + ' GB';
    return (gb / 1024).toFixed(1) + ' TB';
  }

  function duration(hhmm) {
    const m = /^(\d+):(\d\d)$/.exec(hhmm || '');
    if (!m) return hhmm || '–';
    const h = Number(m[1]);
    return (h ? h + ' h ' : '') + Number(m[2]) + ' min';
  }

  function uptime(seconds) {
    const s = Math.max(0, Math.floor(Number(seconds) || 0));
    const d = Math.floor(s / 86400);
    const h = Math.floor((s % 86400) / 3600);
    const m = Math.floor((s % 3600) / 60);
    return (d ? d + ' d ' : '') + h + ' h ' + String(m).padStart(2, '0') + ' min';
  }

  return { $, ApiError, get, post, request, act, say, explain, start, onStatus, loadSession, banner, dbfs, megabytes, duration, uptime,
           get csrf() { return csrf; }, get session() { return session; } };
})();
