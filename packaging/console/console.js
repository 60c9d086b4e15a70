// The console: a thin view of the gateway's JSON API, which stays the source of truth. Text from
// the server is only ever set as text, never parsed as markup.
'use strict';

const state = { csrf: '', scopes: [], stream: null, refresh: null, detail: 0 };
const $ = (sel) => document.querySelector(sel);

function el(tag, attrs, ...children) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs || {})) {
    if (v === undefined || v === null || v === false) continue;
    if (k === 'class') e.className = v;
    else if (k === 'text') e.textContent = v;
    else e.setAttribute(k, v === true ? '' : v);
  }
  for (const c of children) if (c !== null && c !== undefined) e.append(c);
  return e;
}

class ApiError extends Error {
  constructor(status, message) { super(message); this.status = status; }
}

async function api(method, path, body) {
  const headers = {};
  if (body !== undefined) headers['Content-Type'] = 'application/json';
  if (method !== 'GET') headers['X-CSRF-Token'] = state.csrf;
  const r = await fetch(path, {
    method, headers, credentials: 'same-origin',
    body: body === undefined ? undefined : JSON.stringify(body),
  });
  let j = null;
  try { j = await r.json(); } catch (e) { j = null; }
  if (r.status === 401 && path !== '/console/login') showLogin();
  if (!r.ok) throw new ApiError(r.status, (j && j.error) || ('HTTP ' + r.status));
  return j;
}

function when(ms) {
  if (!ms) return '';
  const d = typeof ms === 'number' ? new Date(ms) : new Date(ms);
  return d.toLocaleString();
}

// Replaces an element's children, leaving out the ones a condition left null.
function fill(parent, ...children) {
  parent.replaceChildren(...children.filter((c) => c !== null && c !== undefined));
}

function badge(word) { return el('span', { class: 'badge ' + word, text: word }); }

// --- log-in ---------------------------------------------------------------------------------

function showLogin(message) {
  closeStream();
  state.csrf = '';
  $('#nav').hidden = true;
  $('#who').hidden = true;
  for (const v of document.querySelectorAll('.view')) v.hidden = true;
  $('#login').hidden = false;
  $('#login-error').textContent = message || '';
  $('#login-key').focus();
}

function loggedIn(session) {
  state.csrf = session.csrf;
  state.scopes = session.scopes;
  $('#login').hidden = true;
  $('#nav').hidden = false;
  $('#who').hidden = false;
  $('#key-name').textContent = 'Key: ' + session.key;
  openStream();
  if (!location.hash) location.hash = '#modems';
  else show();
}

async function logIn(ev) {
  ev.preventDefault();
  const key = $('#login-key').value;
  try {
    const s = await api('POST', '/console/login', { key });
    $('#login-key').value = '';
    loggedIn(s);
  } catch (e) {
    $('#login-error').textContent = e.status === 401 ? 'That key is not known.' : e.message;
  }
}

async function logOut() {
  try { await api('POST', '/console/logout'); } catch (e) { /* the session is gone either way */ }
  location.hash = '';
  showLogin('Logged out.');
}

// --- views ----------------------------------------------------------------------------------

const views = { modems: loadModems, messages: loadMessages, inbox: loadInbox, send: prepareSend, events: loadEvents };

function current() {
  const name = location.hash.replace('#', '');
  return views[name] ? name : 'modems';
}

function show() {
  if (!state.csrf) return;
  const name = current();
  for (const v of document.querySelectorAll('.view')) v.hidden = v.id !== 'view-' + name;
  for (const a of document.querySelectorAll('nav a'))
    if (a.getAttribute('href') === '#' + name) a.setAttribute('aria-current', 'page');
    else a.removeAttribute('aria-current');
  views[name]().catch((e) => report(name, e));
}

function report(view, e) {
  const section = $('#view-' + view);
  let p = section.querySelector('p.error.load');
  if (!p) { p = el('p', { class: 'error load', role: 'alert' }); section.append(p); }
  p.textContent = e.message;
}

function clearReport(view) {
  const p = $('#view-' + view).querySelector('p.error.load');
  if (p) p.remove();
}

async function loadModems() {
  const { modems } = await api('GET', '/modems');
  const body = $('#modems-table tbody');
  body.replaceChildren(...modems.map((m) => el('tr', { 'data-modem': m.name },
    el('td', { text: m.gateway + '/' + m.name }),
    el('td', {}, badge(m.state)),
    el('td', { text: m.signal === undefined ? '?' : String(m.signal) }),
    el('td', { text: m.operator || '' }),
    el('td', { text: m.counters.sent + ' (' + m.counters.parts + ' parts)' }),
    el('td', { text: String(m.counters.failed) }),
    el('td', { text: String(m.counters.received) }),
    el('td', { text: m.limited ? 'at its limit: ' + m.limited : (m.limits_used || 'none') }),
    el('td', { text: m.last_error || '' }))));
  clearReport('modems');
}

function filterQuery() {
  const q = new URLSearchParams();
  const status = $('#filter-status').value, to = $('#filter-to').value.trim(), since = $('#filter-since').value;
  if (status) q.set('status', status);
  if (to) q.set('to', to);
  if (since) q.set('since', new Date(since).toISOString());
  q.set('limit', '100');
  return q.toString();
}

async function loadMessages() {
  const { messages } = await api('GET', '/messages?' + filterQuery());
  const body = $('#messages-table tbody');
  body.replaceChildren(...messages.map((m) => {
    const row = el('tr', { 'data-id': String(m.id), tabindex: '0' },
      el('td', { text: String(m.id) }),
      el('td', { text: m.to }),
      el('td', { class: 'text', text: m.text.length > 60 ? m.text.slice(0, 60) + '…' : m.text }),
      el('td', { class: 'status' }, badge(m.status)),
      el('td', { text: String(m.references.length) }),
      el('td', { text: when(m.created_ms) }),
      el('td', {}, cancellable(m) ? el('button', { type: 'button', class: 'secondary cancel', 'data-id': String(m.id), text: 'Cancel' }) : null));
    return row;
  }));
  clearReport('messages');
  if (state.detail) await showDetail(state.detail);
}

function cancellable(m) {
  return (m.status === 'queued' || m.status === 'scheduled') && m.references.length === 0;
}

async function cancel(id) {
  try {
    await api('DELETE', '/messages/' + id);
  } catch (e) {
    report('messages', e);
  }
  await loadMessages();
}

async function showDetail(id) {
  state.detail = id;
  const m = await api('GET', '/messages/' + id);
  // In the order a message goes through them; the final state last.
  const order = ['queued', 'send_at', 'sent'];
  const rank = (what) => (order.includes(what) ? order.indexOf(what) : order.length);
  const steps = Object.entries(m.times).sort((a, b) => rank(a[0]) - rank(b[0]));
  const timeline = el('ol', { class: 'timeline' }, ...steps.map(([what, at]) => el('li', {},
    el('time', { datetime: at, text: when(at) }), ' ' + what)));
  if (m.references.length) timeline.append(el('li', { text: m.references.length + ' part(s) sent, references ' + m.references.join(', ') }));
  const box = $('#message-detail');
  fill(box,
    el('h3', { text: 'Message ' + m.id + ' to ' + m.to }),
    el('p', {}, badge(m.status), m.modem ? ' through ' + m.modem : '', ' — attempt ' + m.attempts),
    el('p', { class: 'text', text: m.text }),
    timeline,
    m.error ? el('p', { class: 'error', text: 'Error: ' + m.error + (m.error_code !== undefined ? ' (+CMS ' + m.error_code + ')' : '') }) : null,
    m.waiting ? el('p', { class: 'error', text: 'Waiting: ' + m.waiting }) : null,
    cancellable(m) ? el('button', { type: 'button', class: 'secondary cancel', 'data-id': String(m.id), text: 'Cancel' }) : null,
    el('button', { type: 'button', class: 'secondary close-detail', text: 'Close' }));
  box.hidden = false;
}

async function loadInbox() {
  let all = [];
  for (let since = 0, page = 0; page < 20; page++) {
    const { messages, next } = await api('GET', '/inbox?limit=1000&since=' + since);
    all = all.concat(messages);
    if (messages.length < 1000) break;
    since = next;
  }
  const bySender = new Map();
  for (const m of all) {
    if (!bySender.has(m.from)) bySender.set(m.from, []);
    bySender.get(m.from).push(m);
  }
  // Conversations with the newest message first.
  const senders = [...bySender.entries()].sort((a, b) => b[1][b[1].length - 1].id - a[1][a[1].length - 1].id);
  $('#conversations').replaceChildren(...senders.map(([from, list]) => el('article', { class: 'conversation', 'data-from': from },
    el('h3', { text: from + ' (' + list.length + ')' }),
    el('ol', {}, ...list.map((m) => el('li', { 'data-id': String(m.id) },
      el('time', { text: m.stamp ? when(m.stamp * 1000) : '' }),
      el('span', { class: 'text', text: m.text }),
      m.complete ? null : el('span', { class: 'incomplete', text: 'incomplete (' + m.parts + ' part(s) arrived)' })))))));
  if (!senders.length) $('#conversations').replaceChildren(el('p', { text: 'Nothing received yet.' }));
  clearReport('inbox');
}

let countTimer = null;
function prepareSend() {
  if (!state.scopes.includes('send') && !state.scopes.includes('admin'))
    $('#send-result').textContent = 'This key may not send (it needs the scope "send").';
  return Promise.resolve();
}

function recount() {
  clearTimeout(countTimer);
  countTimer = setTimeout(async () => {
    const text = $('#send-text').value;
    if (!text) { $('#send-count').textContent = ''; return; }
    try {
      const s = await api('POST', '/split', { text });
      $('#send-count').textContent = s.characters + ' characters, ' + s.encoding + ', ' + s.parts +
        (s.parts === 1 ? ' part' : ' parts') + ' (' + s.units + ' of ' + s.per_part * s.parts + ')';
    } catch (e) {
      $('#send-count').textContent = e.message;
    }
  }, 150);
}

async function send(ev) {
  ev.preventDefault();
  const body = { to: $('#send-to').value.trim(), text: $('#send-text').value, report: true };
  const at = $('#send-at').value;
  if (at) body.send_at = new Date(at).toISOString();
  try {
    const r = await api('POST', '/messages', body);
    $('#send-result').textContent = 'Queued as message ' + r.id + '.';
    $('#send-result').setAttribute('data-id', String(r.id));
    $('#send-text').value = '';
    $('#send-count').textContent = '';
  } catch (e) {
    $('#send-result').textContent = 'Not sent: ' + e.message;
  }
}

async function loadEvents() {
  const box = $('#webhooks');
  try {
    const { webhooks } = await api('GET', '/webhooks');
    if (!webhooks.length) { box.replaceChildren(el('p', { text: 'No subscriptions.' })); return; }
    const cards = [];
    for (const h of webhooks) {
      const { deliveries } = await api('GET', '/webhooks/' + h.id + '/deliveries?limit=10');
      cards.push(el('div', { class: 'card' },
        el('h4', { text: h.url }),
        el('p', { text: 'Events: ' + h.events.join(', ') }),
        el('ol', {}, ...deliveries.map((d) => el('li', {},
          el('time', { datetime: d.time, text: when(d.time) }),
          'event ' + d.event + ', attempt ' + d.attempt + ': ' + d.outcome +
          (d.http_status ? ' (HTTP ' + d.http_status + ')' : '') + (d.error ? ' (' + d.error + ')' : ''))))));
    }
    box.replaceChildren(...cards);
  } catch (e) {
    box.replaceChildren(el('p', { text: e.status === 403 ? 'Subscriptions need a key of the admin scope.' : e.message }));
  }
}

// --- live -----------------------------------------------------------------------------------

function openStream() {
  closeStream();
  const s = new EventSource('/events/stream');
  state.stream = s;
  s.onopen = () => { $('#live').textContent = 'live'; $('#live').classList.add('on'); };
  s.onerror = () => { $('#live').textContent = 'reconnecting'; $('#live').classList.remove('on'); };
  s.onmessage = () => {};
  const types = ['message.queued', 'message.sending', 'message.part_sent', 'message.sent', 'message.delivered',
    'message.undelivered', 'message.failed', 'message.unknown', 'message.cancelled', 'message.scheduled',
    'message.received', 'message.incomplete', 'report.matched', 'modem.up', 'modem.down', 'modem.restarted'];
  for (const t of types) s.addEventListener(t, onEvent);
}

function closeStream() {
  if (state.stream) state.stream.close();
  state.stream = null;
  $('#live').textContent = 'offline';
  $('#live').classList.remove('on');
}

function onEvent(ev) {
  let e;
  try { e = JSON.parse(ev.data); } catch (x) { return; }
  const list = $('#events-list');
  list.prepend(el('li', { 'data-type': e.type },
    el('time', { datetime: e.time, text: when(e.time) }), e.type + ' ' + JSON.stringify(e.data)));
  while (list.children.length > 200) list.lastChild.remove();
  // The open list follows, a moment later, once for a burst.
  const name = current();
  if (name === 'events' || name === 'send') return;
  clearTimeout(state.refresh);
  state.refresh = setTimeout(() => views[name]().catch((x) => report(name, x)), 300);
}

// --- start ----------------------------------------------------------------------------------

document.addEventListener('DOMContentLoaded', async () => {
  $('#login-form').addEventListener('submit', logIn);
  $('#logout').addEventListener('click', logOut);
  $('#filter-form').addEventListener('submit', (ev) => { ev.preventDefault(); loadMessages().catch((e) => report('messages', e)); });
  $('#send-form').addEventListener('submit', send);
  $('#send-text').addEventListener('input', recount);
  $('#messages-table').addEventListener('click', (ev) => {
    const b = ev.target.closest('button.cancel');
    if (b) { cancel(b.getAttribute('data-id')); return; }
    const row = ev.target.closest('tr[data-id]');
    if (row) showDetail(Number(row.getAttribute('data-id'))).catch((e) => report('messages', e));
  });
  $('#messages-table').addEventListener('keydown', (ev) => {
    const row = ev.target.closest('tr[data-id]');
    if (row && (ev.key === 'Enter' || ev.key === ' ')) {
      ev.preventDefault();
      showDetail(Number(row.getAttribute('data-id'))).catch((e) => report('messages', e));
    }
  });
  $('#message-detail').addEventListener('click', (ev) => {
    const b = ev.target.closest('button.cancel');
    if (b) { cancel(b.getAttribute('data-id')); return; }
    if (ev.target.closest('button.close-detail')) { state.detail = 0; $('#message-detail').hidden = true; }
  });
  window.addEventListener('hashchange', show);
  try {
    loggedIn(await api('GET', '/console/session'));
  } catch (e) {
    showLogin();
  }
});
