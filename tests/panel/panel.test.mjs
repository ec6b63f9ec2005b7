// The control panel page in headless Chromium, against `qorapo panel` and a host playing a steady
// tone. Every figure the page shows is held against what the command-line tools report.
//   QOR_BUILD=build/release node --test tests/panel/panel.test.mjs   (or tests/panel/run.sh)
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn, execFile } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';

const here = path.dirname(fileURLToPath(import.meta.url));
// run.sh runs a copy beside the driver it installed in the build tree, and names the sources.
const source = path.resolve(process.env.QOR_SOURCE || path.join(here, '../..'));
const build = path.resolve(process.env.QOR_BUILD || path.join(source, 'build/release'));
const artefacts = path.resolve(process.env.QOR_ARTEFACTS || path.join(build, 'artefacts'));
const qorapo = path.join(build, 'qorapo');
const root = fs.mkdtempSync(path.join(os.tmpdir(), 'qor-panel-'));
const env = { ...process.env, QOR_ROOT: path.join(root, 'state'), QOR_TRACE: 'off' };
const tone = path.join(root, 'tone.wav');
const toneAmplitude = 0.25;
const toneDb = 20 * Math.log10(Math.round(toneAmplitude * 32767) / 32768);
const shot = path.join(artefacts, 'panel.png');
const started = []; // each child leads its own process group
const pageErrors = [];
let context = null;
let page = null;
let host = null;
let panel = null;
let link = '';
let pictured = false; // the passing run's picture was taken

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
const slurp = (name) => {
  try {
    return fs.readFileSync(path.join(root, name), 'utf8');
  } catch {
    return '';
  }
};
const modeKey = (m) => `${m.mode}/${m.speaker}`;

function tool(args) {
  return new Promise((resolve) => {
    execFile(qorapo, args, { env, maxBuffer: 64 << 20, timeout: 120_000 }, (err, stdout, stderr) =>
      resolve({ code: err ? (typeof err.code === 'number' ? err.code : -1) : 0, stdout, stderr }));
  });
}

async function json(args) {
  const r = await tool([...args, '--json']);
  assert.equal(r.code, 0, `qorapo ${args.join(' ')}: ${r.stderr}`);
  return JSON.parse(r.stdout);
}

// Output goes to NAME-N.out and NAME-N.err, N counting the starts of NAME.
function start(name, args) {
  const n = started.filter((c) => c.name === name).length + 1;
  const out = fs.openSync(path.join(root, `${name}-${n}.out`), 'w');
  const err = fs.openSync(path.join(root, `${name}-${n}.err`), 'w');
  const child = spawn(qorapo, args, { env, detached: true, stdio: ['ignore', out, err] });
  fs.closeSync(out);
  fs.closeSync(err);
  child.exited = new Promise((resolve) => child.once('exit', resolve));
  Object.assign(child, { name, out: `${name}-${n}.out`, err: `${name}-${n}.err` });
  started.push(child);
  return child;
}

async function stop(child) {
  if (!child || child.exitCode !== null || child.signalCode !== null) return;
  const kill = (signal) => {
    try {
      process.kill(-child.pid, signal);
    } catch {
      // already gone
    }
  };
  kill('SIGTERM');
  const hard = setTimeout(() => kill('SIGKILL'), 10_000);
  await child.exited;
  clearTimeout(hard);
}

// Waits for probe() to answer [true, detail]; fails with the last detail seen.
async function until(what, probe, timeoutMs = 30_000) {
  const end = Date.now() + timeoutMs;
  for (;;) {
    const [done, detail] = await probe();
    if (done) return detail;
    if (Date.now() > end) assert.fail(`${what}: not within ${timeoutMs / 1000} s; last seen ${JSON.stringify(detail)}`);
    await sleep(200);
  }
}

// 16-bit stereo sine with a whole number of cycles, so that --loop plays it without a seam.
function writeTone(file, hz, seconds, amplitude, rate = 48000) {
  const frames = rate * seconds;
  const data = Buffer.alloc(frames * 4);
  for (let i = 0; i < frames; i++) {
    const s = Math.round(amplitude * 32767 * Math.sin((2 * Math.PI * hz * i) / rate));
    data.writeInt16LE(s, i * 4);
    data.writeInt16LE(s, i * 4 + 2);
  }
  const head = Buffer.alloc(44);
  head.write('RIFF', 0);
  head.writeUInt32LE(36 + data.length, 4);
  head.write('WAVEfmt ', 8);
  head.writeUInt32LE(16, 16);
  head.writeUInt16LE(1, 20);
  head.writeUInt16LE(2, 22);
  head.writeUInt32LE(rate, 24);
  head.writeUInt32LE(rate * 4, 28);
  head.writeUInt16LE(4, 32);
  head.writeUInt16LE(16, 34);
  head.write('data', 36);
  head.writeUInt32LE(data.length, 40);
  fs.writeFileSync(file, Buffer.concat([head, data]));
}

async function startHost() {
  host = start('host', ['process', tone, '-', '--realtime', '--loop']);
  await until('the host to start', async () => {
    assert.equal(host.exitCode, null, `the host ended: ${slurp(host.err)}`);
    return [slurp(host.err).includes('real-time stream started'), slurp(host.err)];
  });
}

async function startPanel(listen) {
  panel = start('panel', ['panel', '--listen', listen]);
  return until('the panel to print its link', async () => {
    assert.equal(panel.exitCode, null, `the panel ended: ${slurp(panel.err)}`);
    const first = slurp(panel.out).split('\n');
    const m = first.length > 1 && /^qorapo panel: (http:\/\/127\.0\.0\.1:\d+\/#token=[0-9a-f]{32})$/.exec(first[0]);
    return [!!m, m ? m[1] : first[0]];
  });
}

const meterReadings = () =>
  page.$$eval('[data-meter]', (boxes) => Object.fromEntries(boxes.map((b) =>
    [b.dataset.meter, [...b.querySelectorAll('[data-dbfs]')].map((c) => c.dataset.dbfs)])));

const drawn = () =>
  page.$$eval('#response polyline[data-points]', (lines) => lines.map((l) => ({
    mode: l.dataset.mode,
    data: JSON.parse(l.dataset.points),
    xy: l.getAttribute('points').trim().split(/\s+/).map((p) => p.split(',').map(Number)),
  })));

// The drawn curve holds the measured points within 0.05 dB, on a log frequency axis.
function assertCurve(line, curve) {
  assert.equal(line.mode, curve.mode);
  assert.equal(line.data.length, curve.points.length, `${curve.mode}: points drawn`);
  curve.points.forEach((p, i) => {
    const [hz, db] = line.data[i];
    assert.ok(Math.abs(hz - p.hz) <= 1e-6 * p.hz, `${curve.mode} point ${i}: ${hz} Hz drawn, ${p.hz} Hz measured`);
    assert.ok(Math.abs(db - p.db) <= 0.05, `${curve.mode} at ${p.hz} Hz: ${db} dB drawn, ${p.db} dB measured`);
  });
  const [x0] = line.xy[0];
  const [x1] = line.xy[line.xy.length - 1];
  const span = Math.log(curve.points.at(-1).hz / curve.points[0].hz);
  curve.points.forEach((p, i) => {
    const x = x0 + ((x1 - x0) * Math.log(p.hz / curve.points[0].hz)) / span;
    assert.ok(Math.abs(line.xy[i][0] - x) <= 0.6, `${curve.mode}: ${p.hz} Hz at x ${line.xy[i][0]}, log axis puts it at ${x}`);
  });
  const byDb = curve.points.map((p, i) => [p.db, line.xy[i][1]]).sort((a, b) => a[0] - b[0]);
  for (let i = 1; i < byDb.length; i++) assert.ok(byDb[i][1] <= byDb[i - 1][1], `${curve.mode}: louder is drawn higher`);
}

function killAllNow() {
  for (const child of started) {
    try {
      process.kill(-child.pid, 'SIGKILL');
    } catch {
      // already gone
    }
  }
}
// The runner that started this file may be gone already: its closed pipes must not end the cleanup.
for (const stream of [process.stdout, process.stderr]) stream.on('error', () => {});
for (const signal of ['SIGINT', 'SIGTERM']) {
  process.once(signal, async () => {
    killAllNow();
    await Promise.race([context?.close(), sleep(5000)]).catch(() => {});
    fs.rmSync(root, { recursive: true, force: true, maxRetries: 5 });
    process.exit(130);
  });
}

before(async () => {
  assert.ok(fs.existsSync(qorapo), `no qorapo in ${build}`);
  fs.mkdirSync(env.QOR_ROOT);
  const setup = await tool(['demo-setup', env.QOR_ROOT]);
  assert.equal(setup.code, 0, setup.stderr);
  writeTone(tone, 200, 4, toneAmplitude); // 200 Hz: near where the demo mode's equaliser lifts most
  await startHost();
  link = await startPanel('127.0.0.1:0');
  context = await chromium.launchPersistentContext(path.join(root, 'browser'), {
    executablePath: '/usr/bin/chromium',
    headless: true,
    // Our own handlers close it, then remove the state root it writes into.
    handleSIGINT: false,
    handleSIGTERM: false,
    handleSIGHUP: false,
    viewport: { width: 1280, height: 900 },
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync'],
  });
  page = context.pages()[0] || (await context.newPage());
  page.setDefaultTimeout(30_000);
  page.on('pageerror', (e) => pageErrors.push(String(e)));
  await page.goto(link);
});

after(async () => {
  try {
    fs.mkdirSync(artefacts, { recursive: true });
    if (page && !pictured) await page.screenshot({ path: shot, fullPage: true }).catch(() => {});
    for (const child of started) {
      for (const log of [child.out, child.err]) fs.writeFileSync(path.join(artefacts, `panel-test-${log}`), slurp(log));
    }
    if (context) await context.close().catch(() => {});
  } finally {
    for (const child of started.reverse()) await stop(child);
    fs.rmSync(root, { recursive: true, force: true, maxRetries: 5 });
  }
});

test('lists the endpoints, modes, controls, effects and tuned values the tools report', { timeout: 180_000 }, async () => {
  const endpoints = await json(['endpoint', 'list']);
  const rows = await until('the endpoint table', async () => {
    const r = await page.$$eval('#endpoints tbody tr', (trs) => trs.map((tr) => [...tr.cells].map((td) => td.textContent)));
    return [r.length === endpoints.length, r];
  });
  endpoints.forEach((e, i) => {
    assert.deepEqual(rows[i].slice(0, 3), [e.name, e.flow, e.state]);
    assert.equal(rows[i][3] !== '', e.default, `${e.name}: default shown`);
  });
  // The tools set active render endpoints only: those are offered, the default one chosen.
  const offered = await page.$$eval('#endpoint-select option:not([disabled])', (os) => os.map((o) => o.value));
  assert.deepEqual(offered, endpoints.filter((e) => e.flow === 'render' && e.state === 'active').map((e) => e.guid));
  const chosen = endpoints.find((e) => e.flow === 'render' && e.default);
  assert.equal(await page.inputValue('#endpoint-select'), chosen.guid);

  const modes = await json(['mode', 'list']);
  const current = await json(['mode', 'get']);
  const options = await until('the modes', async () => {
    const o = await page.$$eval('#mode-select option', (os) => os.map((x) => x.value));
    return [o.length === modes.length, o];
  });
  assert.deepEqual(options, modes.map(modeKey));
  assert.equal(await page.inputValue('#mode-select'), modeKey(current));
  assert.equal(await page.getByLabel('Mode and speaker type').count(), 1);

  const { controls } = await json(['control', 'list']);
  const shown = await until('the controls', async () => {
    const s = await page.$$eval('input[data-control], select[data-control]', (xs) =>
      xs.map((x) => ({ name: x.dataset.control, type: x.type, checked: x.checked })));
    return [s.length === controls.length, s];
  });
  assert.deepEqual(shown.map((c) => c.name).sort(), controls.map((c) => c.name).sort());
  for (const c of controls.filter((x) => x.type === 'switch')) {
    const box = page.getByLabel(c.name, { exact: true });
    assert.equal(await box.getAttribute('type'), 'checkbox', c.name);
    assert.equal(await box.isChecked(), c.value !== '0', c.name);
  }

  const effects = await json(['effects']);
  const effectRows = await until('the effects', async () => {
    const r = await page.$$eval('#effects tbody tr', (trs) => trs.map((tr) => [...tr.cells].map((td) => td.textContent)));
    return [r.length === effects.length, r];
  });
  effects.forEach((p, i) => {
    assert.equal(effectRows[i][0], p.position);
    for (const name of p.effects) assert.ok(effectRows[i][2].includes(name), `${p.position}: ${name}`);
  });

  const tuned = await tool(['tune', 'get', '--json']);
  if (tuned.code === 0 && JSON.parse(tuned.stdout).block) {
    const block = JSON.parse(tuned.stdout);
    const tunedRows = await until('the tuned values', async () => {
      const r = await page.$$eval('#tuning:not([hidden]) tbody tr', (trs) =>
        trs.map((tr) => [tr.cells[0].textContent, tr.cells[1].textContent]));
      return [r.length === block.controls.length, r];
    });
    assert.deepEqual(tunedRows, block.controls.map((c) => [c.name, String(c.value)]));
    assert.match(await page.textContent('#tuning-mode'), new RegExp(`\\b${block.tuningMode}\\b`));
  }
});

test('meters agree with qorapo meter within 0.5 dB while the host plays', { timeout: 180_000 }, async () => {
  const seen = await until('the page and qorapo meter to agree', async () => {
    const cli = await json(['meter', '--once']);
    const page_ = await meterReadings();
    const ok = ['input', 'output'].every((which) => {
      const expected = cli[which].dbfs.map((v, i) => [v, i]).filter(([v]) => v !== null);
      return expected.length > 0 &&
        expected.every(([v, i]) => Math.abs(Number.parseFloat(page_[which][i]) - v) <= 0.5);
    });
    return [ok, { cli: { input: cli.input.dbfs, output: cli.output.dbfs }, page: page_ }];
  });
  assert.ok(seen.page.output.length >= 2);
  assert.equal(await page.textContent('#host-state'), '');
});

test('draws the response qorapo plot measures, another mode over it, and the latency', { timeout: 180_000 }, async () => {
  const modes = await json(['mode', 'list']);
  const current = await json(['mode', 'get']);
  const other = modes.find((m) => m.mode !== current.mode && m.speaker === current.speaker);
  const chosen = (await json(['endpoint', 'list'])).find((e) => e.flow === 'render' && e.default);
  const { positions } = await json(['endpoint', 'show', chosen.guid]);
  const registered = positions.filter((p) => p.class).map((p) => p.position).join(',');
  const alone = await until('the response', async () => {
    const d = await drawn();
    return [d.length === 1 && d[0].data.length > 0, d];
  });
  // A measurement puts back the mode it found when it started, so two at once could leave the
  // other's mode behind: ours waits until the page has none running.
  await until('the page to be idle', async () => [(await page.getAttribute('html', 'data-pending')) === '0', null]);
  const plot = await json(['plot', '--position', registered, '--compare', modeKey(other)]);
  assert.equal(plot.curves.length, 2);
  assert.equal(modeKey(await json(['mode', 'get'])), modeKey(current));
  assertCurve(alone[0], plot.curves[0]);

  await page.selectOption('#compare-select', modeKey(other));
  const both = await until('the compared response', async () => {
    const d = await drawn();
    return [d.length === 2, d.map((l) => l.mode)];
  });
  assert.deepEqual(both, plot.curves.map((c) => c.mode));
  const lines = await drawn();
  plot.curves.forEach((c, i) => assertCurve(lines[i], c));
  const legend = await page.$$eval('#legend li', (items) => items.map((li) => li.textContent));
  plot.curves.forEach((c, i) => {
    assert.ok(legend[i].includes(`${c.latency_frames} frames`), legend[i]);
    assert.ok(legend[i].includes(`${((c.latency_frames * 1000) / plot.rate).toFixed(2)} ms`), legend[i]);
  });
  // The picture waits for the meters to settle on the tone again: measuring the other mode
  // switched the host to it and back.
  await until('the meters to settle', async () => {
    const input = (await json(['meter', '--once'])).input.dbfs[0];
    const shown = Number.parseFloat((await meterReadings()).input[0]);
    const settled = Math.abs(input - toneDb) <= 0.1 && Math.abs(shown - toneDb) <= 0.5;
    return [(await page.getAttribute('html', 'data-pending')) === '0' && settled, { input, shown }];
  });
  fs.mkdirSync(artefacts, { recursive: true });
  await page.screenshot({ path: shot, fullPage: true });
  pictured = true;
  if (process.env.QOR_UPDATE_SCREENSHOT === '1') fs.copyFileSync(shot, path.join(source, 'docs/panel.png'));

  await page.selectOption('#compare-select', '');
  await until('the single response', async () => [(await drawn()).length === 1, null]);
});

test('a refused write shows the tool\'s message by the control and puts it back', { timeout: 180_000 }, async () => {
  const name = 'ZR3D-GEQ Enable';
  const refused = await tool(['control', 'set', name, '2']);
  assert.equal(refused.code, 2);
  const message = refused.stderr.trim().replace(/^qorapo: /, '');
  const box = page.getByLabel(name, { exact: true });
  assert.equal(await box.isChecked(), true);
  // The page's write goes to the real panel, with a value the tool refuses.
  await page.route('**/api/control', (route) =>
    route.continue({ postData: JSON.stringify({ ...route.request().postDataJSON(), value: '2' }) }));
  try {
    await box.focus();
    await page.keyboard.press('Space');
    const error = page.locator(`#${await box.getAttribute('aria-describedby')}`);
    await until('the refusal by the control', async () => [(await error.textContent()) === message, await error.textContent()]);
    assert.equal(await error.getAttribute('aria-live'), 'polite');
    assert.equal(await box.isChecked(), true);
  } finally {
    await page.unroute('**/api/control');
  }
  assert.equal((await tool(['control', 'get', name])).stdout.trim(), '1');
});

test('a switch on the page changes the stored value and the output level; reset puts it back', { timeout: 180_000 }, async () => {
  const name = 'ZR3D-GEQ Enable';
  // The median of five readings: a response measured meanwhile passes its sweep through the meters.
  const level = async () => {
    const readings = [];
    for (let tries = 0; readings.length < 5; tries++) {
      assert.ok(tries < 100, 'no output reading');
      const v = (await json(['meter', '--once'])).output.dbfs[0];
      if (v !== null) readings.push(v);
    }
    return readings.sort((a, b) => a - b)[2];
  };
  const before = await level();
  const box = page.getByLabel(name, { exact: true });
  await box.focus();
  await page.keyboard.press('Space');
  await until(`${name} stored off`, async () => {
    const v = (await tool(['control', 'get', name])).stdout.trim();
    return [v === '0', v];
  });
  await until('the output to fall by 1.5 dB or more', async () => {
    const now = await level();
    return [now !== null && now <= before - 1.5, { before, now }];
  });

  const { controls } = await json(['control', 'list']);
  const configured = controls.find((c) => c.name === name).default;
  await page.getByRole('button', { name: "Reset to the configuration's values" }).click();
  await until(`${name} back to ${configured}`, async () => {
    const v = (await tool(['control', 'get', name])).stdout.trim();
    return [v === configured, v];
  });
  await until('the page to show it', async () => [await box.isChecked(), null]);
});

test('switching the mode on the page reaches the store and the running host', { timeout: 180_000 }, async () => {
  const modes = await json(['mode', 'list']);
  const current = await json(['mode', 'get']);
  const target = modes.find((m) => m.mode !== current.mode && m.speaker === current.speaker && !m.autoMic);
  const rebuilds = () => (slurp(host.err).match(/rebuilt its chain/g) || []).length;
  const rebuiltBefore = rebuilds();
  await page.selectOption('#mode-select', modeKey(target));
  await until('the stored mode', async () => {
    const now = await json(['mode', 'get']);
    return [modeKey(now) === modeKey(target), now];
  });
  await until('the host to rebuild its chain', async () => [rebuilds() > rebuiltBefore, slurp(host.err)]);
  const expected = (await json(['control', 'list'])).controls.map((c) => c.name).sort();
  await until('the page to show the new mode\'s controls', async () => {
    const names = (await page.$$eval('[data-control]:is(input, select)', (xs) => xs.map((x) => x.dataset.control))).sort();
    return [JSON.stringify(names) === JSON.stringify(expected), names];
  });
});

test('shows no host once the host stops, and recovers when the host and the panel start again', { timeout: 180_000 }, async () => {
  await stop(host);
  // The tools see no host either (a response measured meanwhile publishes for a moment).
  await until('qorapo meter to find no host', async () => [(await tool(['meter', '--once'])).code === 2, null]);
  await until('"no host running"', async () => {
    const text = await page.textContent('#host-state');
    const figures = await meterReadings();
    return [text.includes('no host running') && !figures.input.length && !figures.output.length, { text, figures }];
  });

  await startHost();
  await until('the meters to come back', async () => {
    const figures = await meterReadings();
    return [figures.output.length >= 2, figures];
  });

  const port = new URL(link).port;
  await stop(panel);
  await until('the page to notice', async () => [(await meterReadings()).output.length === 0, null]);
  await startPanel(`127.0.0.1:${port}`);
  await until('the meters after the panel restarted', async () => {
    const figures = await meterReadings();
    const status = await page.textContent('#status');
    return [figures.output.length >= 2 && figures.output.every((f) => Number.isFinite(Number.parseFloat(f))), { figures, status }];
  }, 60_000);
  assert.deepEqual(pageErrors, []);
});
