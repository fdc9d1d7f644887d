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

// Said where no answer came at all: the phone left the Wi-Fi, or the
// computer is off. The request may or may not have reached it.
const unreachable = 'No answer from the board\'s computer: check this device\'s connection, then try again.';

function answered(response) {
  return `The server answered ${response.status}${response.statusText ? ` ${response.statusText}` : ''}`;
}

// Never throws: a failed request comes back as {ok: false} with
// data.error saying why in words, whatever answered (or did not). An
// answer that is not the board's JSON, such as a proxy's error page, is
// named by its status.
async function api(method, path, body, headers = {}) {
  const init = { method, headers: { ...headers }, credentials: 'same-origin' };
  if (method !== 'GET') init.headers['X-CSRF-Token'] = csrf;
  if (body instanceof ArrayBuffer) {
    init.body = body;
  } else if (body !== undefined) {
    init.headers['Content-Type'] = 'application/json';
    init.body = JSON.stringify(body);
  }
  let response;
  let text;
  try {
    response = await fetch(path, init);
    text = await response.text();
  } catch (e) {
    return { status: 0, ok: false, data: { error: unreachable }, headers: new Headers() };
  }
  let data = null;
  let json = true;
  if (text) {
    try { data = JSON.parse(text); } catch (e) { json = false; }
  }
  const { status } = response;
  if (!json && response.ok) {
    const error = `${answered(response)}, but not with the board's data.`;
    return { status, ok: false, data: { error }, headers: response.headers };
  }
  if (!response.ok && !(data && typeof data.error === 'string')) {
    data = { ...(data && typeof data === 'object' ? data : {}), error: `${answered(response)}.` };
  }
  return { status, ok: response.ok, data, headers: response.headers };
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
      $(`p${i}`).textContent = asShown(input.value);
    });
  }
}

// The board takes one byte a character: what Latin-1 cannot hold arrives
// as "?", each half of a pair beyond the BMP as one, as the window sends it.
function asShown(text) {
  return text.replace(/[^\u0000-\u00ff]/g, '?');
}

function fill(set) {
  current = { name: set.name, version: set.version, saved: set };
  set.messages.forEach((text, i) => {
    $(`m${i}`).value = text;
    $(`m${i}`).dispatchEvent(new Event('input'));
  });
  set.levels.forEach((level, i) => {
    document.querySelector(`input[name=l${i}][value="${level}"]`).checked = true;
  });
  $('set-export').href = `/api/sets/${encodeURIComponent(set.name)}.mes`;
  $('set-export').setAttribute('download', `${set.name}.mes`);
  $('send').textContent = `Send "${set.name}" (${duration(set.seconds)})`;
  $('conflict').hidden = true;
}

function duration(seconds) {
  return seconds >= 60 ? `${Math.floor(seconds / 60)} min ${seconds % 60} s` : `${seconds} s`;
}

function edited() {
  const messages = [];
  const levels = [];
  for (let i = 0; i < 9; i++) messages.push($(`m${i}`).value);
  for (let i = 0; i < 8; i++) levels.push(Number(document.querySelector(`input[name=l${i}]:checked`).value));
  return { messages, levels, port: current ? current.saved.port : '1' };
}

function unsaved() {
  if (!current) return false;
  const now = edited();
  return now.messages.some((m, i) => m !== current.saved.messages[i])
    || now.levels.some((l, i) => l !== current.saved.levels[i]);
}

async function loadSets(select) {
  const r = await api('GET', '/api/sets');
  if (!r.ok) return problem(r.data.error);
  const list = $('set-list');
  list.replaceChildren();
  for (const s of r.data) list.add(new Option(s.name, s.name));
  const scheduled = $('schedule-set');
  const chosen = scheduled.value;
  scheduled.replaceChildren(...[...list.options].map((o) => new Option(o.text, o.value)));
  if (chosen) scheduled.value = chosen;
  if (select) list.value = select;
  if (list.value) await openSet(list.value);
  else current = null;
}

async function openSet(name) {
  const r = await api('GET', `/api/sets/${encodeURIComponent(name)}`);
  if (!r.ok) return problem(r.data.error);
  fill(r.data);
}

function listVersion(box, set) {
  box.replaceChildren();
  set.messages.forEach((text, i) => {
    const li = document.createElement('li');
    const level = i < 8 ? ` (shown at ${set.levels[i]})` : ' (idle)';
    li.textContent = `${text}${level}`;
    box.appendChild(li);
  });
}

// Someone saved this set since it was opened: show both before anything
// is written over theirs.
async function conflict(why) {
  const theirs = await api('GET', `/api/sets/${encodeURIComponent(current.name)}`);
  if (!theirs.ok) return problem(`${why} ${theirs.data.error}`);
  $('conflict-why').textContent = why;
  listVersion($('conflict-theirs'), theirs.data);
  listVersion($('conflict-yours'), edited());
  $('conflict').hidden = false;
  $('conflict').dataset.version = theirs.data.version;
  $('conflict').scrollIntoView();
  $('conflict-mine').focus();
}

async function save(event) {
  if (event) event.preventDefault();
  problem('');
  if (!current) return newSet();
  const body = edited();
  const r = await api('PUT', `/api/sets/${encodeURIComponent(current.name)}`, body,
    { 'If-Match': `"${current.version}"` });
  if (r.status === 412) return conflict(r.data.error);
  if (!r.ok) return problem(r.data.error);
  $('conflict').hidden = true;
  await openSet(current.name);
  $('status').textContent = `Saved "${current.name}".`;
}

function askName(question, name = '') {
  const answer = prompt(`${question} (1 to 40 letters, digits, spaces, - or _):`, name);
  return answer ? answer.trim() : '';
}

async function newSet() {
  const name = askName('Name of the new set');
  if (!name) return;
  const r = await api('PUT', `/api/sets/${encodeURIComponent(name)}`, edited(), { 'If-None-Match': '*' });
  if (!r.ok) return problem(r.data.error);
  await loadSets(name);
}

// A copy under the new name first, so a failure part way leaves both.
async function renameSet() {
  if (!current) return problem('Choose a set first.');
  const name = askName(`New name for "${current.name}"`, current.name);
  if (!name || name === current.name) return;
  const copy = await api('PUT', `/api/sets/${encodeURIComponent(name)}`, current.saved, { 'If-None-Match': '*' });
  if (!copy.ok) return problem(copy.data.error);
  const gone = await api('DELETE', `/api/sets/${encodeURIComponent(current.name)}`, undefined,
    { 'If-Match': `"${current.version}"` });
  if (!gone.ok) problem(`"${name}" is made, but "${current.name}" stays: ${gone.data.error}`);
  await loadSets(name);
}

async function deleteSet() {
  if (!current || !confirm(`Delete the set "${current.name}"?`)) return;
  const r = await api('DELETE', `/api/sets/${encodeURIComponent(current.name)}`, undefined,
    { 'If-Match': `"${current.version}"` });
  if (r.status === 412) return conflict(r.data.error);
  if (!r.ok) return problem(r.data.error);
  current = null;
  await loadSets();
}

async function importSet() {
  const file = $('set-import').files[0];
  if (!file) return;
  const name = askName('Name for the imported set', file.name.replace(/\.mes$/i, '').replace(/[^\p{L}\p{N} _-]/gu, '_').slice(0, 40));
  $('set-import').value = '';
  if (!name) return;
  const r = await api('PUT', `/api/sets/${encodeURIComponent(name)}.mes`, await file.arrayBuffer(),
    { 'If-None-Match': '*', 'Content-Type': 'application/x-tavro-messages' });
  if (!r.ok) return problem(r.data.error);
  await loadSets(name);
}

let following = null;
let wasSending = false;
function follow(status) {
  const sending = status.state === 'sending';
  $('stop').hidden = !sending;
  $('send').disabled = sending;
  if (sending) {
    $('progress').max = status.total;
    $('progress').value = status.sent;
    $('status').textContent = `Sending "${status.set}": ${status.sent} of ${status.total} characters, ${status.seconds_left} s left.`;
  } else if (status.last) {
    if (status.last.result === 'sent') $('progress').value = $('progress').max;
    const by = status.last.account === 'schedule' ? ' by the schedule' : '';
    $('status').textContent = status.last.result === 'sent' ? `"${status.last.set}" sent${by}.` : status.last.error;
  }
  if (wasSending && !sending) loadSchedule();
  wasSending = sending;
  clearTimeout(following);
  following = setTimeout(poll, sending ? 500 : 3000);
}

// While the server is out of reach, the page says so once and keeps
// asking: a phone that left the Wi-Fi for a moment follows the send again
// when it is back, rather than showing its last progress for good.
let lost = false;
let backTimer = null;
function connection(trouble) {
  const line = $('connection');
  if (trouble) {
    clearTimeout(backTimer);
    lost = true;
    line.className = 'lost';
    line.textContent = `${trouble} Trying again…`;
  } else if (lost) {
    lost = false;
    line.className = 'back';
    line.textContent = 'Connected again.';
    backTimer = setTimeout(() => { line.textContent = ''; line.className = ''; }, 4000);
  }
}

async function poll() {
  clearTimeout(following);
  const r = await api('GET', '/api/status');
  if (r.status === 401) return location.reload();
  if (r.ok) {
    connection(null);
    return follow(r.data);
  }
  connection(r.status ? r.data.error : 'Connection to the board\'s computer lost.');
  clearTimeout(following);
  following = setTimeout(poll, 3000);
}

async function send() {
  if (!current) return problem('Choose or save a set first.');
  if (unsaved()) return problem('This set has changes that are not saved: save it first, since Send sends the saved set.');
  problem('');
  const r = await api('POST', '/api/send', { set: current.name });
  if (!r.ok) return problem(r.data.error);
  follow(r.data);
}

async function stop() {
  if (!confirm('Stop the upload? The board then holds part of the set, until the whole set is sent again.')) return;
  const r = await api('POST', '/api/stop');
  if (!r.ok) return problem(r.data.error);
  follow(r.data);
}

function item(list, text, button, action) {
  const li = document.createElement('li');
  const span = document.createElement('span');
  span.textContent = text;
  li.appendChild(span);
  if (button) {
    const b = document.createElement('button');
    b.type = 'button';
    b.textContent = button;
    b.addEventListener('click', action);
    li.appendChild(b);
  }
  list.appendChild(li);
}

// "Chrome on Android" rather than the whole User-Agent. An agent names
// what it grew from as well as itself: Android says Linux, an iPhone
// "like Mac OS X", Edge, Opera and Samsung's browser say Chrome and Safari,
// Chrome says Safari. So the most particular name is looked for first.
// Chrome is found in HeadlessChrome too.
const systemNames = [[/Android/, 'Android'], [/iPhone/, 'iPhone'], [/iPad/, 'iPad'], [/CrOS/, 'ChromeOS'],
  [/Windows/, 'Windows'], [/Macintosh|Mac OS X/, 'macOS'], [/Linux|X11/, 'Linux']];
const browserNames = [[/\bEdg(e|A|iOS)?\//, 'Edge'], [/\bOPR\/|\bOPT\/|\bOPiOS\//, 'Opera'],
  [/\bSamsungBrowser\//, 'Samsung Internet'], [/\bFirefox\/|\bFxiOS\//, 'Firefox'],
  [/Chrome\/|\bCriOS\//, 'Chrome'], [/\bSafari\//, 'Safari'], [/^curl\//, 'curl']];
function deviceName(agent) {
  if (!agent) return 'a browser';
  const name = (names, otherwise) => (names.find(([pattern]) => pattern.test(agent)) || [null, otherwise])[1];
  return `${name(browserNames, 'a browser')} on ${name(systemNames, 'an unknown system')}`;
}

async function loadOwner() {
  const [accounts, devices, ports, board] = await Promise.all([
    api('GET', '/api/accounts'), api('GET', '/api/devices'), api('GET', '/api/ports'), api('GET', '/api/board')]);
  const failed = [accounts, devices, ports, board].find((r) => !r.ok);
  if (failed) problem(failed.data.error);
  $('staff-list').replaceChildren();
  $('reset-name').replaceChildren();
  for (const a of accounts.ok ? accounts.data : []) {
    if (a.role === 'owner') { item($('staff-list'), `${a.name} (owner)`); continue; }
    $('reset-name').add(new Option(a.name, a.name));
    item($('staff-list'), a.name, `Remove ${a.name}`, async () => {
      if (!confirm(`Remove the account "${a.name}"? Their devices are signed out.`)) return;
      const r = await api('DELETE', `/api/accounts/${encodeURIComponent(a.name)}`);
      if (!r.ok) problem(r.data.error);
      loadOwner();
    });
  }
  $('devices-list').replaceChildren();
  for (const d of devices.ok ? devices.data : []) {
    const what = `${d.account}: ${deviceName(d.device)}, from ${d.address}${d.kept ? ', kept signed in' : ''}`;
    if (d.this) { item($('devices-list'), `${what} (this device)`); continue; }
    item($('devices-list'), what, `Sign out ${d.account}'s ${deviceName(d.device)}`, async () => {
      const r = await api('DELETE', `/api/devices/${d.id}`);
      if (!r.ok) problem(r.data.error);
      loadOwner();
    });
  }
  const list = $('port-list');
  list.replaceChildren();
  const chosen = board.ok ? board.data.device : '';
  for (const p of ports.ok ? ports.data : []) {
    const device = p.stable_name || p.device;
    list.add(new Option(`${device} (${p.description}${p.why ? `: ${p.why}` : ''})`, device));
  }
  if (chosen && ![...list.options].some((o) => o.value === chosen)) list.add(new Option(`${chosen} (not present now)`, chosen));
  list.value = chosen;
  const fixed = board.ok && board.data.fixed;
  list.disabled = fixed;
  $('port-choose').disabled = fixed;
  $('port-note').textContent = fixed ? `Given where the server is started: --port ${chosen}.`
    : (chosen ? `Sets go to ${chosen}.` : 'No port is chosen yet: sets cannot be sent until one is.');
  const broker = board.ok ? board.data.broker : undefined;
  $('broker').hidden = !broker;
  if (broker) {
    $('broker-note').textContent = broker.connected
      ? `Connected to ${broker.broker} as pelorin/${broker.id} since ${new Date(broker.since).toLocaleString()}.`
      : `Not connected to ${broker.broker}${broker.error ? `: ${broker.error}` : ''}. It is tried again by itself; `
        + 'the page and the schedule go on meanwhile.';
  }
}

async function showLog() {
  const r = await api('GET', '/api/log');
  if (!r.ok) return problem(r.data.error);
  const body = $('log-table').tBodies[0];
  body.replaceChildren();
  for (const e of r.data.slice(-100).reverse()) {
    const row = body.insertRow();
    const when = new Date(e.time);
    const time = Number.isNaN(when.getTime()) ? e.time : when.toLocaleString([], { dateStyle: 'short', timeStyle: 'medium' });
    for (const text of [time, e.account, `${e.event}${e.detail ? `: ${e.detail}` : ''}`, e.address]) row.insertCell().textContent = text || '';
  }
  $('log-table').hidden = false;
}

// The schedule's times are the computer's, and read as it writes them
// ("2026-12-10T06:00:00+01:00"), whatever zone this device is in.
const dayNames = { mon: 'Mon', tue: 'Tue', wed: 'Wed', thu: 'Thu', fri: 'Fri', sat: 'Sat', sun: 'Sun' };
function computerTime(iso) {
  if (!iso) return '';
  const [date, time] = iso.split('T');
  const day = new Date(`${date}T00:00:00Z`).toLocaleDateString([], { weekday: 'short', day: 'numeric', month: 'short', timeZone: 'UTC' });
  return `${day}, ${time.slice(0, 5)}`;
}

function when(entry) {
  if (entry.at) return `once, ${computerTime(entry.at)}`;
  const days = entry.days.length === 7 ? 'every day' : entry.days.map((d) => dayNames[d]).join(' ');
  return `${entry.time}, ${days}`;
}

function lastText(last) {
  if (!last) return '';
  const due = computerTime(last.due);
  const tries = (last.tries || []).map((t, i) => `try ${i + 1} at ${computerTime(t.at)}: ${t.error}`).join(' ');
  switch (last.result) {
    case 'sent': return `Last: sent (due ${due}).`;
    case 'sending': return `Sending now (due ${due}).`;
    case 'waiting': return `Due ${due}: waits for the upload under way.`;
    case 'retrying': return `Due ${due}: ${tries} Next try ${computerTime(last.next_try)}.`;
    case 'failed': return `Last: failed (due ${due}). ${tries}`;
    case 'missed': return `Last: missed (due ${due}), as the computer was off or its clock not set.`;
    case 'broken': return `Last: not sent (due ${due}): its set was deleted.`;
    case 'stopped': return `Last: stopped part way (due ${due}).`;
    default: return '';
  }
}

let schedule = { entries: [], version: '' };
function showSchedule(data) {
  schedule = data;
  $('schedule-clock').textContent = data.synchronised
    ? `Times are the computer's, in ${data.zone}: now ${computerTime(data.now)}.`
    : `The computer's clock is not synchronised yet (${computerTime(data.now)}, ${data.zone}): nothing is sent by the schedule until it is.`;
  const list = $('schedule-list');
  list.replaceChildren();
  data.entries.forEach((entry, index) => {
    const next = entry.next ? `Next: ${computerTime(entry.next)}.` : 'Done.';
    const text = `"${entry.set}" at ${when(entry)}. ${entry.broken ? '' : next} ${lastText(entry.last)}`;
    item(list, entry.broken ? `${text} Broken: ${entry.broken}` : text, `Remove "${entry.set}" at ${when(entry)}`, () => {
      const kept = schedule.entries.filter((e, i) => i !== index);
      saveSchedule(kept);
    });
    if (entry.broken) list.lastChild.firstChild.className = 'broken';
  });
  if (!data.entries.length) item(list, 'Nothing is scheduled.');
}

// For what the page asks by itself: where the server is out of reach,
// the connection line says so already, and an alert every half minute
// would only repeat it.
function quietly(r) {
  if (!r.ok && r.status !== 0) problem(r.data.error);
  return r.ok;
}

async function loadSchedule() {
  const r = await api('GET', '/api/schedule');
  if (quietly(r)) showSchedule(r.data);
}

// The whole list goes, against the version it was read at: where someone
// changed it meanwhile, theirs is shown and this change is left to redo.
async function saveSchedule(entries) {
  const plain = entries.map((e) => (e.at ? { set: e.set, at: e.at } : { set: e.set, time: e.time, days: e.days }));
  const r = await api('PUT', '/api/schedule', { entries: plain }, { 'If-Match': `"${schedule.version}"` });
  if (r.status === 412 && r.data.schedule) {
    showSchedule(r.data.schedule);
    problem(r.data.error);
    return false;
  }
  if (!r.ok) {
    problem(r.data.error);
    return false;
  }
  showSchedule(r.data);
  return true;
}

async function addEntry() {
  const set = $('schedule-set').value;
  const time = $('schedule-time').value;
  const date = $('schedule-date').value;
  const days = [...document.querySelectorAll('.days input:checked')].map((b) => b.value);
  if (!set) return problem('Save a set first: the schedule sends saved sets.');
  if (!date && !days.length) return problem('Choose the days it is sent on, or one date.');
  const entry = date ? { set, at: `${date}T${time}` } : { set, time, days };
  if (await saveSchedule([...schedule.entries, entry])) {
    $('schedule-date').value = '';
    $('status').textContent = `"${set}" is scheduled.`;
  }
}

async function loadKeys() {
  const r = await api('GET', '/api/keys');
  if (!r.ok) problem(r.data.error);
  $('keys-list').replaceChildren();
  for (const k of r.ok ? r.data : []) {
    const used = k.last_used ? `last used ${computerTime(k.last_used)}` : 'never used';
    const until = k.expires ? `works through ${k.expires}` : 'never expires';
    item($('keys-list'), `${k.name}: ${k.scope === 'edit' ? 'sends and edits' : 'sends'}, ${until}, ${used}`, `Revoke ${k.name}`, async () => {
      if (!confirm(`Revoke the key "${k.name}"? Scripts that use it are refused from now on.`)) return;
      const gone = await api('DELETE', `/api/keys/${encodeURIComponent(k.name)}`);
      if (!gone.ok) problem(gone.data.error);
      loadKeys();
    });
  }
  if (r.ok && !r.data.length) item($('keys-list'), 'No keys yet.');
}

async function signedIn(session) {
  csrf = session.csrf;
  if (session.problems) problem(session.problems.join(' '));
  show('board');
  $('owner').hidden = session.role !== 'owner';
  await loadSets();
  poll();
  loadSchedule();
  setInterval(loadSchedule, 30000);
  if (session.role === 'owner') {
    loadOwner();
    loadKeys();
  }
}

// After a reset of the owner's password: what was added while someone
// else may have known it, and one step to undo it all.
async function review() {
  const r = await api('GET', '/api/review');
  if (!r.ok) return problem(r.data.error);
  const list = $('review-list');
  list.replaceChildren();
  for (const e of r.data.entries) item(list, `${e.event}: ${e.detail}, ${new Date(e.time).toLocaleString()}, from ${e.address || 'the computer itself'}`);
  for (const d of r.data.devices) item(list, `signed in: ${d.account} on ${deviceName(d.device)}, from ${d.address}${d.this ? ' (this device)' : ''}`);
  if (!list.children.length) item(list, 'Nothing was added.');
  $('review').hidden = false;
  $('review').scrollIntoView();
}

function onSubmit(id, action) {
  $(id).addEventListener('submit', async (event) => {
    event.preventDefault();
    problem('');
    await action();
  });
}

// With an owner, a setup code that root made on the computer resets the
// forgotten password of the one account it was made for: the code says
// whose, so no name is asked.
let resetting = false;
function forgotten() {
  resetting = true;
  show('setup');
  $('setup-title').textContent = 'Reset a forgotten password';
  const command = document.createElement('code');
  command.textContent = 'sudo pelorin --serve --setup-code --state /var/lib/pelorin';
  $('setup-why').replaceChildren('On the computer beside the board, root makes a setup code with ', command,
    ' (for staff, with --account NAME as well; the owner can also set staff passwords on this page). Give it here with the new password.');
  $('setup-name').required = false;
  $('setup-name').hidden = true;
  $('setup-name-label').hidden = true;
  $('setup-password-label').textContent = 'New password (at least 8 characters)';
  $('setup-go').textContent = 'Reset the password';
  $('setup-back').hidden = false;
}

async function start() {
  buildEditor();
  onSubmit('setup', async () => {
    const body = { code: $('setup-code').value, password: $('setup-password').value };
    if (!resetting) body.name = $('setup-name').value;
    const r = await api('POST', '/api/setup', body);
    if (!r.ok) return problem(r.data.error);
    await signedIn(r.data);
    if (r.data.review) review();
  });
  onSubmit('signin', async () => {
    const r = await api('POST', '/api/login', {
      name: $('signin-name').value, password: $('signin-password').value, keep: $('signin-keep').checked });
    if (!r.ok) return problem(r.data.error);
    signedIn(r.data);
  });
  onSubmit('password', async () => {
    const r = await api('POST', '/api/password', { current: $('password-current').value, new: $('password-new').value });
    if (!r.ok) return problem(r.data.error);
    $('password').reset();
    $('status').textContent = 'Password changed; your other devices sign in again.';
  });
  onSubmit('staff', async () => {
    const r = await api('POST', '/api/accounts', { name: $('staff-name').value, password: $('staff-password').value });
    if (!r.ok) return problem(r.data.error);
    $('staff').reset();
    loadOwner();
  });
  onSubmit('staff-reset', async () => {
    const name = $('reset-name').value;
    const r = await api('PUT', `/api/accounts/${encodeURIComponent(name)}/password`, { password: $('reset-password').value });
    if (!r.ok) return problem(r.data.error);
    $('staff-reset').reset();
    $('status').textContent = `${name}'s password is set; their devices sign in again.`;
    loadOwner();
  });
  $('review-recover').addEventListener('click', async () => {
    const r = await api('POST', '/api/recover');
    if (!r.ok) return problem(r.data.error);
    $('review').hidden = true;
    $('status').textContent = `Everyone else is signed out. Accounts removed: ${r.data.accounts.join(', ') || 'none'}; keys revoked: ${r.data.keys.join(', ') || 'none'}.`;
    loadOwner();
    loadKeys();
  });
  $('review-done').addEventListener('click', () => { $('review').hidden = true; });
  onSubmit('port', async () => {
    const r = await api('PUT', '/api/board', { device: $('port-list').value });
    if (!r.ok) return problem(r.data.error);
    loadOwner();
  });
  onSubmit('schedule', addEntry);
  onSubmit('keys', async () => {
    const r = await api('POST', '/api/keys', {
      name: $('key-name').value, scope: $('key-scope').value, expires: $('key-expires').value || null });
    if (!r.ok) return problem(r.data.error);
    $('key-made').hidden = false;
    $('key-text').value = r.data.key;
    $('key-text').select();
    $('key-name').value = '';
    loadKeys();
  });
  const nextYear = new Date();
  nextYear.setFullYear(nextYear.getFullYear() + 1);
  $('key-expires').value = nextYear.toISOString().slice(0, 10);
  $('signin-forgot').addEventListener('click', forgotten);
  $('setup-back').addEventListener('click', () => show('signin'));
  $('signout').addEventListener('click', async () => {
    // Signed out already, where the session ended meanwhile.
    const r = await api('POST', '/api/logout');
    if (!r.ok && r.status !== 401) return problem(r.data.error);
    location.reload();
  });
  $('editor').addEventListener('submit', save);
  $('set-list').addEventListener('change', () => openSet($('set-list').value));
  $('set-new').addEventListener('click', newSet);
  $('set-rename').addEventListener('click', renameSet);
  $('set-delete').addEventListener('click', deleteSet);
  $('set-import').addEventListener('change', importSet);
  $('conflict-mine').addEventListener('click', () => {
    current.version = $('conflict').dataset.version;
    save();
  });
  $('conflict-take').addEventListener('click', () => openSet(current.name));
  $('send').addEventListener('click', send);
  $('stop').addEventListener('click', stop);
  $('log-show').addEventListener('click', showLog);

  window.addEventListener('online', () => { if (lost) poll(); });
  const session = await api('GET', '/api/session');
  if (session.ok) return signedIn(session.data);
  if (session.status !== 401) problem(session.data.error);
  const setup = await api('GET', '/api/setup');
  if (!setup.ok) problem(setup.data.error);
  if (setup.ok && setup.data.needed) return show('setup');
  show('signin');
  if (setup.ok && setup.data.code_waiting) forgotten();
}

start();
