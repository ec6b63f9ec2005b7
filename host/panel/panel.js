'use strict';
// The control panel page. Everything it shows comes from the panel's API, which runs the
// command-line tools; the page keeps no settings of its own.

const token = new URLSearchParams(location.hash.slice(1)).get('token') || '';
const $ = (id) => document.getElementById(id);
const SVG = 'http://www.w3.org/2000/svg';

const state = {
  endpoints: [],
  guid: '',
  modes: [],
  current: null, // {mode, speaker} as last read
  controls: [],
  controlShape: '',
  compare: '',
  generation: 0, // bumped when another endpoint is chosen: late answers for the old one are dropped
  responseSeq: 0,
  events: null,
  lastEvent: 0,
  disconnected: false,
};

class ApiError extends Error {
  constructor(message, status) {
    super(message);
    this.status = status;
  }
}

async function request(path, body) {
  const init = { cache: 'no-store', signal: AbortSignal.timeout(120000) };
  if (body !== undefined) {
    init.method = 'POST';
    init.headers = { 'Content-Type': 'application/json', 'X-QOR-Token': token };
    init.body = JSON.stringify(body);
  }
  let res;
  try {
    res = await fetch(path, init);
  } catch {
    throw new ApiError('the panel does not answer', 0);
  }
  const text = await res.text();
  let data = null;
  try {
    data = text ? JSON.parse(text) : null;
  } catch {
    data = null;
  }
  if (!res.ok) throw new ApiError((data && data.error) || `${res.status} ${res.statusText}`, res.status);
  return data;
}

// One request at a time: measuring a response selects each mode it draws for a moment, so a read
// beside it would see that mode rather than the current one.
// data-pending on the root tells how many are queued or running.
let queue = Promise.resolve();
let pending = 0;
function api(path, body) {
  document.documentElement.dataset.pending = ++pending;
  const call = queue.then(() => request(path, body)).finally(() => {
    document.documentElement.dataset.pending = --pending;
  });
  queue = call.catch(() => {});
  return call;
}

const query = (path, extra = {}) => `${path}?${new URLSearchParams({ endpoint: state.guid, ...extra })}`;

function el(tag, attrs = {}, ...children) {
  const node = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs)) node.setAttribute(k, v);
  node.append(...children);
  return node;
}

function svg(tag, attrs = {}, text) {
  const node = document.createElementNS(SVG, tag);
  for (const [k, v] of Object.entries(attrs)) node.setAttribute(k, v);
  if (text !== undefined) node.textContent = text;
  return node;
}

function say(text) {
  $('status').textContent = text;
}

const modeKey = (m) => (m ? `${m.mode}/${m.speaker}` : '');

// ---- endpoints

function showEndpoints(list) {
  const before = state.endpoints.find((e) => e.guid === state.guid);
  state.endpoints = Array.isArray(list) ? list : [];
  $('endpoints').tBodies[0].replaceChildren(
    ...state.endpoints.map((e) => {
      const row = el('tr', {}, el('td', {}, e.name), el('td', {}, e.flow), el('td', {}, e.state),
        el('td', {}, e.default ? 'default' : ''));
      row.dataset.guid = e.guid;
      if (e.guid === state.guid) row.setAttribute('aria-current', 'true');
      return row;
    }));
  // The tools set render endpoints only; the others are listed above, not offered here.
  const usable = (e) => e.flow === 'render' && e.state === 'active';
  const select = $('endpoint-select');
  select.replaceChildren(...state.endpoints.filter((e) => e.flow === 'render').map((e) => {
    const option = new Option(e.state === 'active' ? e.name : `${e.name} (${e.state})`, e.guid);
    option.disabled = !usable(e);
    return option;
  }));

  const now = state.endpoints.find((e) => e.guid === state.guid);
  if (!now || !usable(now)) {
    const pick = state.endpoints.find((e) => usable(e) && e.default) || state.endpoints.find(usable);
    if (pick) selectEndpoint(pick.guid);
    else say('There is no active render endpoint to show.');
    return;
  }
  select.value = state.guid;
  if (before && (before.state !== now.state || before.default !== now.default)) loadEndpoint();
}

function selectEndpoint(guid) {
  state.guid = guid;
  state.generation++;
  state.current = null;
  state.controlShape = '';
  state.compare = '';
  $('endpoint-select').value = guid;
  for (const row of $('endpoints').tBodies[0].rows) {
    if (row.dataset.guid === guid) row.setAttribute('aria-current', 'true');
    else row.removeAttribute('aria-current');
  }
  connectEvents();
  loadEndpoint();
}

function loadEndpoint() {
  loadModes();
  loadControls();
  loadEffects();
  loadTuning();
  loadResponse();
}

// ---- modes

async function loadModes() {
  const gen = state.generation;
  try {
    const [modes, current] = await Promise.all([api(query('/api/modes')), api(query('/api/mode'))]);
    if (gen !== state.generation) return;
    const before = modeKey(state.current);
    state.modes = Array.isArray(modes) ? modes : [];
    state.current = current;
    if (before && before !== modeKey(current)) say(`Mode ${current.mode}, ${current.speaker}`);
    showModes();
  } catch (e) {
    if (gen === state.generation) say(`The modes could not be read: ${e.message}`);
  }
}

function showModes() {
  const select = $('mode-select');
  const options = state.modes.map((m) =>
    new Option(`${m.mode}, ${m.speaker}${m.default ? ' (default)' : ''}`, modeKey(m)));
  const key = modeKey(state.current);
  if (key && !state.modes.some((m) => modeKey(m) === key)) {
    options.unshift(new Option(`${state.current.mode}, ${state.current.speaker} (not in the configuration)`, key));
  }
  select.replaceChildren(...options);
  select.value = key;

  const compare = $('compare-select');
  const others = state.modes.filter((m) => modeKey(m) !== key);
  if (!others.some((m) => modeKey(m) === state.compare)) state.compare = '';
  compare.replaceChildren(new Option('no other mode', ''),
    ...others.map((m) => new Option(`${m.mode}, ${m.speaker}`, modeKey(m))));
  compare.value = state.compare;
}

async function onModeChosen() {
  const select = $('mode-select');
  const chosen = state.modes.find((m) => modeKey(m) === select.value);
  const error = $('mode-error');
  error.textContent = '';
  if (!chosen) return;
  try {
    await api('/api/mode', { endpoint: state.guid, mode: chosen.mode, speaker: chosen.speaker });
    say(`Mode ${chosen.mode}, ${chosen.speaker}`);
    state.current = { mode: chosen.mode, speaker: chosen.speaker };
    loadEndpoint();
  } catch (e) {
    error.textContent = e.message;
    select.value = modeKey(state.current);
  }
}

// ---- controls

function kindOf(c) {
  if (c.type === 'switch') return 'switch';
  if (Array.isArray(c.valueNames) && c.valueNames.length) return 'list';
  if (c.described && Number.isFinite(c.minimum) && Number.isFinite(c.maximum)) return 'range';
  return 'text';
}

const isOn = (v) => /^(on|true)$/i.test(v) || (/^-?\d+$/.test(v) && Number(v) !== 0);

function scaled(c, raw) {
  const scale = c.scale || 1;
  if (scale === 1) return String(raw);
  return (Number(raw) / scale).toFixed(Math.max(0, Math.round(Math.log10(scale))));
}

function rangeText(c, raw) {
  const scale = c.scale || 1;
  if (scale === 1) return String(raw);
  return `${scaled(c, raw)} (${raw} ${c.type === 'hundredths' ? 'hundredths' : `÷ ${scale}`})`;
}

function buildControl(c, index) {
  const id = `control-${index}`;
  const kind = kindOf(c);
  let input;
  let shown = null;
  if (kind === 'switch') {
    input = el('input', { type: 'checkbox' });
  } else if (kind === 'list') {
    input = el('select');
    input.append(...c.valueNames.map((name) => new Option(name, name)));
  } else if (kind === 'range') {
    input = el('input', { type: 'range', min: c.minimum, max: c.maximum, step: 1 });
    shown = el('output', { for: id, class: 'value' });
    input.addEventListener('input', () => {
      shown.textContent = rangeText(c, input.value);
      input.setAttribute('aria-valuetext', scaled(c, input.value));
    });
  } else {
    input = el('input', { type: 'text', spellcheck: 'false' });
  }
  input.id = id;
  input.dataset.control = c.name;
  input.setAttribute('aria-describedby', `${id}-error`);
  input.addEventListener('change', () => writeControl(c.name, input));

  const item = el('li', { class: `control control-${kind}` }, el('label', { for: id }, c.name), input);
  item.dataset.control = c.name;
  if (shown) item.append(shown);
  if (kind === 'range') item.append(el('span', { class: 'range' }, c.range || `${c.minimum}..${c.maximum}`));
  item.append(el('span', { id: `${id}-error`, class: 'error', 'aria-live': 'polite' }));
  return item;
}

// Puts an input to the control's stored value.
function setInput(input, c) {
  if (input.type === 'checkbox') {
    input.checked = isOn(c.value);
  } else if (input.tagName === 'SELECT') {
    const names = c.valueNames || [];
    const index = names.findIndex((n) => n.toLowerCase() === String(c.value).toLowerCase());
    input.value = index >= 0 ? names[index] : (names[Number(c.value)] ?? c.value);
  } else if (input.type === 'range') {
    input.value = c.value;
    input.setAttribute('aria-valuetext', scaled(c, c.value));
    const shown = input.parentElement.querySelector('output');
    if (shown) shown.textContent = rangeText(c, c.value);
  } else if (document.activeElement !== input) {
    input.value = c.value;
  }
}

function inputValue(input) {
  if (input.type === 'checkbox') return input.checked ? 'On' : 'Off';
  return input.value;
}

const controlShape = (list) =>
  list.map((c) => [c.name, c.type, c.scope, c.minimum, c.maximum, (c.valueNames || []).join('|')].join(';')).join('\n');

// Loads the controls; answers whether any stored value changed.
async function loadControls() {
  const gen = state.generation;
  let data;
  try {
    data = await api(query('/api/controls'));
  } catch (e) {
    if (gen === state.generation) say(`The controls could not be read: ${e.message}`);
    return false;
  }
  if (gen !== state.generation) return false;
  const list = (data && data.controls) || [];
  const changed = list.map((c) => c.value).join('\n') !== state.controls.map((c) => c.value).join('\n');
  const shape = controlShape(list);
  const reshaped = shape !== state.controlShape;
  state.controls = list;
  if (reshaped) {
    // Rebuilt only when the set of controls changes, so focus stays where the keyboard left it.
    state.controlShape = shape;
    const global = [];
    const local = [];
    list.forEach((c, i) => (c.scope === 'global' ? global : local).push(buildControl(c, i)));
    $('global-controls').replaceChildren(...global);
    $('public-controls').replaceChildren(...local);
    if (!local.length) $('public-controls').append(el('li', {}, 'This mode has no public controls.'));
  }
  list.forEach((c, i) => {
    const input = $(`control-${i}`);
    if (input) setInput(input, c);
  });
  return changed || reshaped;
}

async function refreshControls() {
  if (await loadControls()) {
    loadTuning();
    loadResponse();
  }
}

async function writeControl(name, input) {
  const error = $(`${input.id}-error`);
  error.textContent = '';
  const value = inputValue(input);
  try {
    await api('/api/control', { endpoint: state.guid, name, value });
    say(`${name} set to ${value}`);
    await refreshControls();
  } catch (e) {
    error.textContent = e.message;
    const stored = state.controls.find((c) => c.name === name);
    if (stored) setInput(input, stored);
  }
}

async function resetControls() {
  const error = $('reset-error');
  error.textContent = '';
  try {
    await api('/api/reset', { endpoint: state.guid });
    say("Controls back to the configuration's values");
    await refreshControls();
  } catch (e) {
    error.textContent = e.message;
  }
}

// ---- tuning and effects

const tuningModes = ['tuned values ignored', 'public controls over tuned values', 'tuned values over public controls'];

async function loadTuning() {
  const gen = state.generation;
  let data = null;
  try {
    data = await api(query('/api/tuning'));
  } catch {
    data = null;
  }
  if (gen !== state.generation) return;
  const table = $('tuning');
  if (!data || !data.block) {
    $('tuning-mode').textContent = 'No tuned values are held for this mode.';
    table.hidden = true;
    return;
  }
  const mode = tuningModes[data.tuningMode] || '';
  $('tuning-mode').textContent = `Tuning mode ${data.tuningMode}${mode ? `: ${mode}` : ''}`;
  table.tBodies[0].replaceChildren(...(data.controls || []).map((c) =>
    el('tr', {}, el('td', {}, c.name), el('td', {}, String(c.value)), el('td', {}, String(c.default)),
      el('td', {}, c.public ? 'yes' : 'no'))));
  table.hidden = false;
}

async function loadEffects() {
  const gen = state.generation;
  const body = $('effects').tBodies[0];
  try {
    const list = await api(query('/api/effects'));
    if (gen !== state.generation) return;
    body.replaceChildren(...(list || []).map((p) =>
      el('tr', {}, el('td', {}, p.position), el('td', {}, p.class || ''),
        el('td', {}, p.effects && p.effects.length ? p.effects.join(', ') : 'none'), el('td', {}, p.result || ''))));
  } catch (e) {
    if (gen === state.generation) body.replaceChildren(el('tr', {}, el('td', { colspan: 4 }, e.message)));
  }
}

// ---- response

const plot = { w: 800, h: 380, left: 48, right: 12, top: 12, bottom: 36 };
const fMin = 20;
const fMax = 20000;
const colours = ['curve-a', 'curve-b'];

function loadResponse() {
  const gen = state.generation;
  const seq = ++state.responseSeq;
  $('response-status').textContent = 'Measuring the response…';
  api(query('/api/response', state.compare ? { compare: state.compare } : {})).then((data) => {
    if (gen === state.generation && seq === state.responseSeq) drawResponse(data);
  }, (e) => {
    if (gen !== state.generation || seq !== state.responseSeq) return;
    drawResponse({ curves: [] });
    $('response-status').textContent = `No response: ${e.message}`;
  });
}

function drawResponse(data) {
  const curves = (data && data.curves) || [];
  const rate = (data && data.rate) || 0;
  const pw = plot.w - plot.left - plot.right;
  const ph = plot.h - plot.top - plot.bottom;
  const all = curves.flatMap((c) => c.points || []).map((p) => p.db).filter(Number.isFinite);
  const top = Math.max(6, Math.ceil(Math.max(...all, 0) / 6) * 6);
  const bottom = Math.max(Math.min(-12, Math.floor(Math.min(...all, 0) / 6) * 6), top - 84);
  const x = (hz) => plot.left + (Math.log10(hz / fMin) / Math.log10(fMax / fMin)) * pw;
  const y = (db) => plot.top + ((top - Math.min(top, Math.max(bottom, db))) / (top - bottom)) * ph;

  const root = $('response');
  for (const node of [...root.children]) if (node.tagName !== 'desc') node.remove();
  const grid = svg('g', { class: 'grid' });
  for (const hz of [20, 50, 100, 200, 500, 1000, 2000, 5000, 10000, 20000]) {
    grid.append(svg('line', { x1: x(hz), x2: x(hz), y1: plot.top, y2: plot.top + ph }));
    grid.append(svg('text', { x: x(hz), y: plot.h - 18, 'text-anchor': 'middle' }, hz >= 1000 ? `${hz / 1000}k` : hz));
  }
  const step = top - bottom > 48 ? 12 : 6;
  for (let db = top; db >= bottom; db -= step) {
    grid.append(svg('line', { x1: plot.left, x2: plot.left + pw, y1: y(db), y2: y(db), class: db === 0 ? 'zero' : '' }));
    grid.append(svg('text', { x: plot.left - 6, y: y(db) + 4, 'text-anchor': 'end' }, db));
  }
  grid.append(svg('text', { x: plot.left + pw, y: plot.h - 2, 'text-anchor': 'end' }, 'Hz'));
  grid.append(svg('text', { x: 4, y: plot.top + 10 }, 'dB'));
  root.append(grid);

  const legend = [];
  curves.forEach((c, i) => {
    const points = (c.points || []).filter((p) => Number.isFinite(p.hz) && Number.isFinite(p.db) && p.hz > 0);
    const line = svg('polyline', {
      class: `curve ${colours[i % colours.length]}`,
      points: points.map((p) => `${x(p.hz).toFixed(1)},${y(p.db).toFixed(1)}`).join(' '),
    });
    line.dataset.mode = c.mode;
    line.dataset.points = JSON.stringify(points.map((p) => [p.hz, p.db]));
    root.append(line);
    const frames = c.latency_frames;
    const latency = Number.isFinite(frames) && rate
      ? `latency ${frames} frames, ${((frames * 1000) / rate).toFixed(2)} ms at ${rate} Hz`
      : 'latency unknown';
    const item = el('li', {}, el('span', { class: `swatch ${colours[i % colours.length]}`, 'aria-hidden': 'true' }),
      `${c.mode}${i === 0 ? ' (current)' : ''}: ${latency}`, el('span', { class: 'chain' }, c.chain || ''));
    item.dataset.latencyFrames = frames;
    legend.push(item);
  });
  $('legend').replaceChildren(...legend);
  $('response-status').textContent = curves.length ? `Measured at ${data.position || 'the endpoint\'s positions'}` : '';
}

// ---- meters

const meterFloor = -60;

function channelElement(which, index) {
  const fill = el('div', { class: 'fill' });
  const figure = el('span', { class: 'figure' });
  const channel = el('div', {
    class: 'channel', role: 'meter', 'aria-valuemin': meterFloor, 'aria-valuemax': 0,
    'aria-label': `${which} channel ${index + 1}`,
  }, el('span', { class: 'name' }, `${index + 1}`), el('div', { class: 'bar' }, fill), figure);
  return channel;
}

function showMeter(which, m) {
  const box = document.querySelector(`[data-meter="${which}"] .channels`);
  const dbfs = m && m.published && Array.isArray(m.dbfs) ? m.dbfs : null;
  let count = 0;
  if (dbfs) {
    // Silent channels read null, as do absent ones: show at least a stereo pair.
    count = 2;
    dbfs.forEach((v, i) => {
      if (v !== null) count = Math.max(count, i + 1);
    });
  }
  while (box.children.length > count) box.lastElementChild.remove();
  while (box.children.length < count) box.append(channelElement(which, box.children.length));
  for (let i = 0; i < count; i++) {
    const channel = box.children[i];
    const v = dbfs[i];
    const known = typeof v === 'number' && Number.isFinite(v);
    const text = known ? v.toFixed(1) : '-inf';
    channel.dataset.dbfs = text;
    channel.setAttribute('aria-valuenow', known ? Math.max(meterFloor, Math.min(0, v)) : meterFloor);
    channel.setAttribute('aria-valuetext', `${known ? text : 'silence'} dBFS`);
    channel.querySelector('.figure').textContent = `${known ? text : '−∞'} dBFS`;
    const share = known ? Math.max(0, Math.min(1, (v - meterFloor) / -meterFloor)) : 0;
    const fill = channel.querySelector('.fill');
    fill.style.width = `${(share * 100).toFixed(1)}%`;
    fill.classList.toggle('hot', known && v > -6);
    fill.classList.toggle('clip', known && v >= -0.1);
  }
}

function showMeters(data) {
  const host = !!(data && data.host);
  $('host-state').textContent = host ? '' : 'no host running';
  document.body.dataset.host = host ? 'yes' : 'no';
  showMeter('input', host ? data.input : null);
  showMeter('output', host ? data.output : null);
}

// ---- the PipeWire daemon, when one runs the endpoint

function showDaemon(data) {
  const nodes = (data && data.running && Array.isArray(data.nodes)) ? data.nodes : [];
  $('daemon-section').hidden = !(data && data.running);
  $('daemon').tBodies[0].replaceChildren(...nodes.map((n) => {
    const ms = Number.isFinite(n.latency_frames) && n.rate ? `, ${((n.latency_frames * 1000) / n.rate).toFixed(2)} ms` : '';
    return el('tr', {}, el('td', {}, n.node || ''), el('td', {}, n.flow || ''),
      el('td', {}, Number.isFinite(n.latency_frames) ? `${n.latency_frames} frames${ms}` : ''),
      el('td', {}, n.rate ? `${n.rate} Hz` : ''), el('td', {}, String(n.rebuilds ?? '')));
  }));
}

// ---- live channel

let refreshTimer = 0;
const refreshes = new Set();

function scheduleRefresh(kind) {
  refreshes.add(kind);
  clearTimeout(refreshTimer);
  refreshTimer = setTimeout(runRefresh, 250);
}

async function runRefresh() {
  const kinds = new Set(refreshes);
  refreshes.clear();
  if (kinds.has('all')) {
    const guid = state.guid;
    try {
      showEndpoints(await api('/api/endpoints'));
    } catch (e) {
      say(e.message);
      return;
    }
    if (state.guid === guid) loadEndpoint();
    return;
  }
  if (kinds.has('mode')) {
    try {
      const now = await api(query('/api/mode'));
      if (modeKey(now) !== modeKey(state.current)) {
        loadEndpoint();
        return;
      }
    } catch (e) {
      say(e.message);
    }
  }
  if (kinds.has('controls')) refreshControls();
}

function connectEvents() {
  if (state.events) state.events.close();
  if (!state.guid) return;
  const events = new EventSource(query('/api/events'));
  state.events = events;
  state.lastEvent = Date.now();
  const on = (name, handle) => events.addEventListener(name, (e) => {
    if (events !== state.events) return;
    state.lastEvent = Date.now();
    let data = null;
    try {
      data = JSON.parse(e.data);
    } catch {
      return;
    }
    handle(data);
  });
  on('meters', showMeters);
  on('mode', () => scheduleRefresh('mode'));
  on('controls', () => scheduleRefresh('controls'));
  on('endpoints', showEndpoints);
  on('daemon', showDaemon);
  events.onopen = () => {
    if (events !== state.events) return;
    state.lastEvent = Date.now();
    if (state.disconnected) {
      state.disconnected = false;
      say('The panel answers again');
      scheduleRefresh('all');
    }
  };
  events.onerror = () => {
    if (events !== state.events) return;
    state.disconnected = true;
    say('The panel does not answer; trying again…');
    $('host-state').textContent = 'the panel does not answer';
    showMeter('input', null);
    showMeter('output', null);
    // The browser retries by itself, except after an answer that is not an event stream.
    if (events.readyState === EventSource.CLOSED) setTimeout(() => events === state.events && connectEvents(), 3000);
  };
}

// A stream that went quiet without an error (a suspended machine, a proxy) is opened anew.
setInterval(() => {
  if (state.events && Date.now() - state.lastEvent > 5000) connectEvents();
}, 2000);

// ---- start

async function start() {
  if (!token) say('This link has no token: open the link that qorapo panel printed to make changes.');
  $('endpoint-select').addEventListener('change', (e) => selectEndpoint(e.target.value));
  $('mode-select').addEventListener('change', onModeChosen);
  $('compare-select').addEventListener('change', (e) => {
    state.compare = e.target.value;
    loadResponse();
  });
  $('reset').addEventListener('click', resetControls);
  for (;;) {
    try {
      showEndpoints(await api('/api/endpoints'));
      return;
    } catch (e) {
      say(`${e.message}; trying again…`);
      await new Promise((resolve) => setTimeout(resolve, 3000));
    }
  }
}

start();
