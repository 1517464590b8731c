// The console page: polls /api/status and the pictures, sends the actions to /api/.
'use strict';
const $ = (id) => document.getElementById(id);

async function api(path, body) {
  const init = body === undefined ? {} : { method: 'POST', headers: { 'Content-Type': 'application/json' }, body: JSON.stringify(body) };
  const res = await fetch('/api/' + path, init);
  const data = await res.json().catch(() => ({ error: 'no answer' }));
  if (!res.ok) throw new Error(data.error || ('HTTP ' + res.status));
  return data;
}

function say(id, text, error) {
  const el = $(id);
  el.textContent = text;
  el.classList.toggle('error', !!error);
}

// Pictures: the next one is loaded aside and shown once complete, so nothing flickers.
function refreshPicture(stream) {
  const next = new Image();
  const again = () => setTimeout(() => refreshPicture(stream), 200);
  next.onload = () => { $(stream + '-img').src = next.src; setTimeout(() => URL.revokeObjectURL(next.src), 1000); again(); };
  next.onerror = again;
  fetch('/api/picture/' + stream + '.jpg', { cache: 'no-store' })
    .then((r) => (r.ok ? r.blob() : Promise.reject(new Error('none'))))
    .then((b) => { next.src = URL.createObjectURL(b); })
    .catch(again);
}

function streamInfo(s) {
  if (!s) return 'no picture';
  const rate = s.frame_rate_d ? (s.frame_rate_n / s.frame_rate_d).toFixed(2) : '?';
  return `${s.xres}×${s.yres} ${s.fourcc} ${s.format} · ${rate} fps announced, ${s.fps.toFixed(2)} received · ${s.mbps.toFixed(1)} Mbit/s`;
}

function showStatus(st) {
  const c = $('connection');
  c.textContent = st.connected ? 'receiving ' + st.source : 'no NDI source';
  c.classList.toggle('ok', st.connected);
  $('program-info').textContent = streamInfo(st.program);
  $('preview-info').textContent = streamInfo(st.preview);
  const a = st.appliance;
  $('hdmi-now').textContent = 'HDMI source: ' + (a.hdmi || '?');
  showPicture(a.picture);
  $('dashboard').textContent = a.dashboard ? a.dashboard.raw : '–';
  const lights = a.lights || { program: false, preview: false, raw: '' };
  $('lamp-program').classList.toggle('on', lights.program);
  $('lamp-preview').classList.toggle('on', lights.preview);
  $('lights-raw').textContent = lights.raw ? '0x' + lights.raw : 'not written yet';
  $('tally-program').classList.toggle('active', st.tally.program);
  $('tally-preview').classList.toggle('active', st.tally.preview);
  const meters = $('meters');
  meters.textContent = '';
  if (st.audio && st.audio.peak_db) {
    st.audio.peak_db.forEach((peak, ch) => {
      const row = document.createElement('div');
      row.className = 'meter';
      row.title = `channel ${ch + 1}: peak ${peak.toFixed(1)} dBFS, RMS ${st.audio.rms_db[ch].toFixed(1)} dBFS`;
      const bar = document.createElement('div');
      bar.style.width = Math.max(0, Math.min(100, (peak + 60) / 60 * 100)) + '%';
      row.appendChild(bar);
      meters.appendChild(row);
    });
  } else {
    meters.textContent = 'no audio';
  }
  const table = $('camera');
  table.textContent = '';
  const cam = a.camera || {};
  const order = ['power', 'zoom', 'zoom_drive', 'pan', 'tilt', 'focus', 'focus_drive', 'focus_position', 'white_balance',
    'red_gain', 'blue_gain', 'exposure', 'iris', 'shutter', 'preset', 'baud', 'port', 'mode', 'packets', 'last'];
  const keys = order.filter((k) => k in cam).concat(Object.keys(cam).filter((k) => !order.includes(k)));
  for (const k of keys) {
    const v = cam[k];
    const tr = table.insertRow();
    tr.insertCell().textContent = k.replace(/_/g, ' ');
    tr.insertCell().textContent = typeof v === 'object' && v !== null ? JSON.stringify(v) : String(v);
  }
}

async function poll() {
  try {
    showStatus(await api('status'));
    const events = await api('events?n=40');
    const log = $('events');
    const atEnd = log.scrollTop + log.clientHeight >= log.scrollHeight - 4;
    log.textContent = events.map((e) => JSON.stringify(e)).join('\n');
    if (atEnd) log.scrollTop = log.scrollHeight;
  } catch (e) {
    $('connection').textContent = 'console unreachable';
    $('connection').classList.remove('ok');
  }
  setTimeout(poll, 500);
}

// Source: the format names are the VideoFormat setting's choices after AUTO (filled once, at start).
function fillSources(fields) {
  const names = fields.find((f) => f.name === 'VideoFormat').choices.filter((c) => c !== 'AUTO');
  for (const f of names.concat('none', 'unreadable', 'custom timing')) $('source').add(new Option(f, f));
  $('source').value = '1080p59.94';
}
$('source').onchange = () => { $('timing').hidden = $('source').value !== 'custom timing'; };
$('source-apply').onclick = async () => {
  const v = $('source').value;
  const body = v !== 'custom timing' ? { source: v } : { timing: {
    width: Number($('t-width').value), height: Number($('t-height').value), total: Number($('t-total').value),
    mhz: Number($('t-mhz').value), interlaced: $('t-interlaced').checked } };
  try { say('source-message', 'source set: ' + (await api('source', body)).hdmi); } catch (e) { say('source-message', e.message, true); }
};

// Picture: what the encoder shows, the setting it is still preparing, and its last refusal.
let pictureFailure = '';
function showPicture(p) {
  const failed = p.failed && p.failed.picture === p.setting ? p.failed : null;
  let text = 'Picture: ' + p.shown;
  if (p.setting && p.setting !== p.shown) text += failed ? ` (${p.setting} not shown)` : ` (preparing ${p.setting}…)`;
  $('picture-now').textContent = text;
  const why = failed ? `${failed.picture}: ${failed.error}` : '';
  if (why && why !== pictureFailure) say('picture-message', why, true);
  pictureFailure = why;
}
$('picture').onchange = () => { $('clip-path').hidden = $('picture').value !== 'clip'; };
$('picture-apply').onclick = async () => {
  const body = { picture: $('picture').value };
  if (body.picture === 'clip') body.path = $('clip-path').value.trim();
  try { say('picture-message', 'picture set: ' + (await api('picture', body)).picture); } catch (e) { say('picture-message', e.message, true); }
};

// Receiver actions.
const act = (path, body, id) => api(path, body).then((r) => say(id, r.sent || 'done')).catch((e) => say(id, e.message, true));
$('capture').onclick = () => act('capture', {}, 'ptz-message');
$('tally-program').onclick = () => act('tally', { program: true, preview: false }, 'ptz-message');
$('tally-preview').onclick = () => act('tally', { program: false, preview: true }, 'ptz-message');
$('tally-off').onclick = () => act('tally', { program: false, preview: false }, 'ptz-message');
const ptz = (body) => act('ptz', body, 'ptz-message');
// Held buttons: the move starts on press and stops on release.
function hold(el, start, stop) {
  let held = false;
  el.addEventListener('pointerdown', (e) => { held = true; el.setPointerCapture(e.pointerId); start(); });
  const end = () => { if (held) { held = false; stop(); } };
  el.addEventListener('pointerup', end);
  el.addEventListener('pointercancel', end);
  el.addEventListener('lostpointercapture', end);
}
for (const b of document.querySelectorAll('#pad button')) {
  const speed = () => Number($('pt-speed').value);
  hold(b, () => ptz({ op: 'pan_tilt', pan: Number(b.dataset.pan) * speed(), tilt: Number(b.dataset.tilt) * speed() }),
    () => ptz({ op: 'pan_tilt', pan: 0, tilt: 0 }));
}
for (const id of ['zoom-tele', 'zoom-wide']) {
  hold($(id), () => ptz({ op: 'zoom_speed', speed: Number($(id).dataset.speed) }), () => ptz({ op: 'zoom_speed', speed: 0 }));
}
$('zoom').onchange = () => ptz({ op: 'zoom', zoom: Number($('zoom').value) });
$('focus-auto').onclick = () => ptz({ op: 'focus', mode: 'auto' });
$('focus-distance').onchange = () => ptz({ op: 'focus', mode: 'manual', distance: Number($('focus-distance').value) });
$('preset-store').onclick = () => ptz({ op: 'store_preset', index: Number($('preset').value) });
$('preset-recall').onclick = () => ptz({ op: 'recall_preset', index: Number($('preset').value) });

// Settings: the form is made from the fields the console offers.
let loaded = {};
async function loadSettings() {
  const d = await api('settings');
  loaded = d.values;
  const form = $('settings');
  form.textContent = '';
  for (const f of d.fields) {
    const label = document.createElement('label');
    label.title = `${f.file}${f.key ? ' · ' + f.key : ''}`;
    label.append(f.name + ' ');
    let input;
    if (f.choices) {
      input = document.createElement('select');
      for (const c of f.choices) input.add(new Option(c, c));
    } else {
      input = document.createElement('input');
      input.type = 'text';
      if (f.max !== undefined) input.placeholder = `${f.min}–${f.max}`;
    }
    input.name = f.name;
    input.id = 'setting-' + f.name;
    input.value = d.values[f.name] === null ? '' : d.values[f.name];
    label.appendChild(input);
    form.appendChild(label);
  }
  return d.fields;
}
$('settings').onsubmit = (e) => e.preventDefault();
$('settings-save').onclick = async () => {
  const changes = {};
  for (const el of $('settings').elements) {
    if (el.value !== (loaded[el.name] === null ? '' : loaded[el.name])) changes[el.name] = el.value;
  }
  if (Object.keys(changes).length === 0) return say('settings-message', 'nothing changed');
  try {
    const r = await api('settings', changes);
    say('settings-message', 'written: ' + r.written.join(', '));
    await loadSettings();
  } catch (e) {
    say('settings-message', e.message, true);
  }
};

loadSettings().then(fillSources).catch((e) => say('settings-message', e.message, true));
refreshPicture('program');
refreshPicture('preview');
poll();
