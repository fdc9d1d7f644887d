// SPDX-License-Identifier: GPL-3.0-or-later
// The board's page: sign in, edit the sets, send one and follow it.
'use strict';

const $ = (id) => document.getElementById(id);
let csrf = '';
let current = null; // the set being edited: {name, version}

// The same rule as the window's message box: at most 16 characters, a
// pair beyond the BMP never split.
function typed(text) {
  if (text.length <= 16) return text;
  const splits = text.charCodeAt(15) >= 0xd800 && text.charCodeAt(15) <= 0xdbff;
  return text.slice(0, splits ? 15 : 16);
}

async function api(method, path, body, headers = {}) {
  const init = { method, headers: { ...headers }, credentials: 'same-origin' };
  if (method !== 'GET') init.headers['X-CSRF-Token'] = csrf;
  if (body !== undefined) {
    init.headers['Content-Type'] = 'application/json';
    init.body = JSON.stringify(body);
  }
  const response = await fetch(path, init);
  const text = await response.text();
  let data = null;
  try { data = text ? JSON.parse(text) : null; } catch (e) { data = null; }
  return { status: response.status, ok: response.ok, data, headers: response.headers };
}

function problem(text) {
  $('problem').textContent = text || '';
  $('problem').hidden = !text;
}

function show(view) {
  for (const id of ['setup', 'signin', 'board']) $(id).hidden = id !== view;
  $('signout').hidden = view !== 'board';
}

function buildEditor() {
  const box = $('messages');
  for (let i = 0; i < 9; i++) {
    const label = i < 8 ? `Message ${i + 1}` : 'Idle message';
    const div = document.createElement('div');
    div.className = 'message';
    div.innerHTML = `<label for="m${i}">${label} <span class="count" id="c${i}">0/16</span></label>
      <input id="m${i}" autocomplete="off" maxlength="16" aria-describedby="c${i}">
      <div class="preview" id="p${i}" aria-hidden="true"></div>`;
    if (i < 8) {
      div.insertAdjacentHTML('beforeend', `<fieldset class="levels"><legend>Shown while input ${i + 1} is</legend>
        <label class="check"><input type="radio" name="l${i}" value="1"> 1 (open)</label>
        <label class="check"><input type="radio" name="l${i}" value="0" checked> 0 (grounded)</label></fieldset>`);
    }
    box.appendChild(div);
    const input = div.querySelector('input');
    input.addEventListener('input', () => {
      const cut = typed(input.value);
      if (cut !== input.value) input.value = cut;
      $(`c${i}`).textContent = `${[...input.value].length}/16`;
      $(`p${i}`).textContent = input.value;
    });
  }
}

function fill(set) {
  current = { name: set.name, version: set.version };
  set.messages.forEach((text, i) => {
    $(`m${i}`).value = text;
    $(`m${i}`).dispatchEvent(new Event('input'));
  });
  set.levels.forEach((level, i) => {
    document.querySelector(`input[name=l${i}][value="${level}"]`).checked = true;
  });
  $('set-export').href = `/api/sets/${encodeURIComponent(set.name)}.mes`;
  $('set-export').setAttribute('download', `${set.name}.mes`);
}

function edited() {
  const messages = [];
  const levels = [];
  for (let i = 0; i < 9; i++) messages.push($(`m${i}`).value);
  for (let i = 0; i < 8; i++) levels.push(Number(document.querySelector(`input[name=l${i}]:checked`).value));
  return { messages, levels };
}

async function loadSets(select) {
  const r = await api('GET', '/api/sets');
  const list = $('set-list');
  list.replaceChildren();
  for (const s of r.data || []) list.add(new Option(s.name, s.name));
  if (select) list.value = select;
  if (list.value) await openSet(list.value);
}

async function openSet(name) {
  const r = await api('GET', `/api/sets/${encodeURIComponent(name)}`);
  if (!r.ok) return problem(r.data && r.data.error);
  fill(r.data);
}

async function save(event) {
  event.preventDefault();
  problem('');
  if (!current) return newSet();
  const r = await api('PUT', `/api/sets/${encodeURIComponent(current.name)}`, edited(),
    { 'If-Match': `"${current.version}"` });
  if (r.status === 412) {
    const theirs = await api('GET', `/api/sets/${encodeURIComponent(current.name)}`);
    const text = theirs.ok ? theirs.data.messages.map((m, i) => `${i + 1}: ${m}`).join('\n') : '';
    if (confirm(`${r.data.error}\n\nTheir version:\n${text}\n\nSave yours over it?`) && theirs.ok) {
      current.version = theirs.data.version;
      return save(event);
    }
    return;
  }
  if (!r.ok) return problem(r.data && r.data.error);
  current.version = r.data.version;
  $('status').textContent = `Saved "${current.name}".`;
}

async function newSet() {
  const name = prompt('Name of the new set (letters, digits, spaces, - or _):');
  if (!name) return;
  const r = await api('PUT', `/api/sets/${encodeURIComponent(name)}`, edited(), { 'If-None-Match': '*' });
  if (!r.ok) return problem(r.data && r.data.error);
  await loadSets(name);
}

async function deleteSet() {
  if (!current || !confirm(`Delete the set "${current.name}"?`)) return;
  const r = await api('DELETE', `/api/sets/${encodeURIComponent(current.name)}`, undefined,
    { 'If-Match': `"${current.version}"` });
  if (!r.ok) return problem(r.data && r.data.error);
  current = null;
  await loadSets();
}

let following = null;
function follow(status) {
  const sending = status.state === 'sending';
  $('stop').hidden = !sending;
  $('send').disabled = sending;
  if (sending) {
    $('progress').max = status.total;
    $('progress').value = status.sent;
    $('status').textContent = `Sending "${status.set}": ${status.sent} of ${status.total} characters, ${status.seconds_left} s left.`;
  } else if (status.last) {
    $('progress').value = status.last.result === 'sent' ? $('progress').max : $('progress').value;
    $('status').textContent = status.last.result === 'sent' ? `"${status.last.set}" sent.` : status.last.error;
  }
  clearTimeout(following);
  following = setTimeout(poll, sending ? 500 : 3000);
}

async function poll() {
  const r = await api('GET', '/api/status');
  if (r.ok) follow(r.data);
}

async function send() {
  if (!current) return problem('Choose or save a set first.');
  problem('');
  const r = await api('POST', '/api/send', { set: current.name });
  if (!r.ok) return problem(r.data && r.data.error);
  follow(r.data);
}

async function stop() {
  if (!confirm('Stop the upload? The board then holds part of the set, until the whole set is sent again.')) return;
  const r = await api('POST', '/api/stop');
  if (r.ok) follow(r.data);
}

async function signedIn(session) {
  csrf = session.csrf;
  show('board');
  await loadSets();
  poll();
}

async function start() {
  buildEditor();
  $('setup').addEventListener('submit', async (event) => {
    event.preventDefault();
    const r = await api('POST', '/api/setup', {
      code: $('setup-code').value, name: $('setup-name').value, password: $('setup-password').value });
    if (!r.ok) return problem(r.data && r.data.error);
    problem('');
    signedIn(r.data);
  });
  $('signin').addEventListener('submit', async (event) => {
    event.preventDefault();
    const r = await api('POST', '/api/login', {
      name: $('signin-name').value, password: $('signin-password').value, keep: $('signin-keep').checked });
    if (!r.ok) return problem(r.data && r.data.error);
    problem('');
    signedIn(r.data);
  });
  $('signout').addEventListener('click', async () => {
    await api('POST', '/api/logout');
    location.reload();
  });
  $('editor').addEventListener('submit', save);
  $('set-list').addEventListener('change', () => openSet($('set-list').value));
  $('set-new').addEventListener('click', newSet);
  $('set-delete').addEventListener('click', deleteSet);
  $('send').addEventListener('click', send);
  $('stop').addEventListener('click', stop);

  const session = await api('GET', '/api/session');
  if (session.ok) return signedIn(session.data);
  const setup = await api('GET', '/api/setup');
  show(setup.ok && setup.data.needed ? 'setup' : 'signin');
}

start();
