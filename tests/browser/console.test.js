// The console page in headless Chromium over a running virtual appliance.
'use strict';
const { test, before, after } = require('node:test');
const assert = require('node:assert');
const { execFileSync, spawn } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const puppeteer = require('puppeteer-core');

const build = process.env.VEXO_BUILD_DIR;
const scale = Number(process.env.VEXO_TEST_TIME_SCALE || 1);
let sysroot, sim, simLines, consoleProc, browser, page;

// Polls `check` every 50 ms until it returns a truthy value or `ms` (scaled) pass.
async function waitFor(what, ms, check) {
  const deadline = Date.now() + ms * scale;
  for (;;) {
    const v = await check();
    if (v) return v;
    if (Date.now() > deadline) throw new Error('timed out waiting for ' + what);
    await new Promise((r) => setTimeout(r, 50));
  }
}

const read = (rel) => { try { return fs.readFileSync(path.join(sysroot, rel), 'utf8'); } catch { return null; } };
const cameraPackets = () => (read('sim/events.jsonl') || '').split('\n').filter(Boolean).map((l) => JSON.parse(l))
  .filter((e) => e.dev === 'camera' && e.rx).map((e) => e.rx);
const picture = (stream) => page.$eval(`#${stream}-img`, (img) => ({ w: img.naturalWidth, h: img.naturalHeight, src: img.src }));
// The program picture shown, read back through a canvas as 64x36 RGB.
const programRgb = () => page.$eval('#program-img', (img) => {
  const c = document.createElement('canvas');
  c.width = 64; c.height = 36;
  const g = c.getContext('2d');
  g.imageSmoothingQuality = 'high';
  g.drawImage(img, 0, 0, 64, 36);
  return Array.from(g.getImageData(0, 0, 64, 36).data).filter((_, i) => i % 4 !== 3);
});
// Mean and maximum luma of the program picture.
const luma = async () => {
  const d = await programRgb();
  let sum = 0, max = 0;
  for (let i = 0; i < d.length; i += 3) { const y = 0.299 * d[i] + 0.587 * d[i + 1] + 0.114 * d[i + 2]; sum += y; max = Math.max(max, y); }
  return { mean: sum / (d.length / 3), max };
};

// The lines a child prints, as they come.
function lines(proc) {
  const out = [];
  let partial = '';
  proc.stdout.on('data', (b) => {
    const parts = (partial + b.toString()).split('\n');
    partial = parts.pop();
    out.push(...parts);
  });
  return out;
}

before(async () => {
  // A new appliance's settings and the built stills, the same the other tests start from.
  sysroot = execFileSync(path.join(build, 'sim/vexoenc-sim'), ['--prepare-sysroot'], { encoding: 'utf8' }).trim();
  fs.writeFileSync(path.join(sysroot, 'sim/hdmi'), '1080p59.94\n');
  const env = { ...process.env, VEXO_SYSROOT: sysroot, NDI_STANDIN_DIR: path.join(sysroot, 'ndi'),
    VEXO_PICTURE_CACHE: path.join(sysroot, 'picture-cache') };
  sim = spawn(path.join(build, 'sim/vexoenc-sim'), [], { env, stdio: ['ignore', 'pipe', 'ignore'] });
  simLines = lines(sim);
  consoleProc = spawn(path.join(build, 'tools/vexo-console'), ['--sysroot', sysroot, '--port', '0'], { env, stdio: ['ignore', 'pipe', 'inherit'] });
  const out = lines(consoleProc);
  const url = await waitFor('the console to listen', 10000, () => out.map((l) => l.match(/^vexo-console: (http:\S+)/)).find(Boolean));
  browser = await puppeteer.launch({ executablePath: process.env.CHROMIUM || '/usr/bin/chromium', headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage'] });
  page = await browser.newPage();
  await page.setViewport({ width: 1400, height: 1100 });
  await page.goto(url[1]);
  // The source list is made from the settings the page fetches at start.
  await waitFor('the source list', 5000, () => page.$('#source option[value="720p50"]'));
});

after(async () => {
  if (browser) await browser.close();
  if (consoleProc) {
    const exited = new Promise((r) => consoleProc.once('exit', (code) => r(code)));
    consoleProc.kill('SIGINT');
    assert.strictEqual(await exited, 0, 'the console ends cleanly on SIGINT');
  }
  if (sim) {
    assert.strictEqual(sim.exitCode, null, 'stopping the console leaves the appliance running');
    const exited = new Promise((r) => sim.once('exit', (code) => r(code)));
    sim.kill('SIGINT');
    await exited;
  }
  if (sysroot) fs.rmSync(sysroot, { recursive: true, force: true });
});

test('the page loads and the program picture changes', async () => {
  await waitFor('a program picture', 15000, async () => (await picture('program')).w > 0);
  const img = await page.$('#program-img');
  const first = await img.screenshot();
  await waitFor('the picture to change', 5000, async () => !first.equals(await img.screenshot()));
});

// The program itself takes up to about 3 s from a source change to starting its encoder (a 1 s
// pass to notice, the stop, and 1 s between printing START and starting the encoder), so the
// 3 s run from that start; the whole time from the click is printed.
test('switching the source to 720p50 shows 1280x720 within 3 s', async () => {
  const from = simLines.length;
  await page.select('#source', '720p50');
  await page.click('#source-apply');
  const clicked = Date.now();
  await waitFor('the program to start 720p50', 5000, () => simLines.slice(from).includes('START NDI Encode with format 6'));
  const started = Date.now() + 1000;
  await waitFor('a 1280x720 program', 3000, async () => { const p = await picture('program'); return p.w === 1280 && p.h === 720; });
  const shown = Date.now();
  await waitFor('the 720p50 caption', 2000, () => page.$eval('#program-info', (e) => /^1280×720 SHQ2 progressive · 50\.00 fps/.test(e.textContent)));
  console.log(`720p50 shown ${shown - clicked} ms after the click, ${shown - started} ms after the program started its encoder`);
});

test('a tally button lights the expected lamp', async () => {
  await page.click('#tally-program');
  await waitFor('the program light', 3000, () => read('sim/lights') === '80');
  await waitFor('the program lamp on the page', 2000, () => page.$eval('#lamp-program', (e) => e.classList.contains('on')));
  assert.strictEqual(await page.$eval('#lamp-preview', (e) => e.classList.contains('on')), false);
  await page.click('#tally-preview');
  await waitFor('the preview light', 3000, () => read('sim/lights') === '40');
});

test('a PTZ pad press reaches the camera as VISCA bytes', async () => {
  const box = await (await page.$('#pad-up')).boundingBox();
  const before = cameraPackets().length;
  await page.mouse.move(box.x + box.width / 2, box.y + box.height / 2);
  await page.mouse.down();
  // Tilt up at the pad's speed 0.5: pan speed 0, tilt speed 9, pan stop, tilt up.
  await waitFor('the tilt-up drive', 3000, () => cameraPackets().slice(before).includes('81 01 06 01 00 09 03 01 FF'));
  await page.mouse.up();
  await waitFor('the pan-tilt stop', 3000, () => cameraPackets().slice(before).includes('81 01 06 01 05 05 03 03 FF'));
  const packets = cameraPackets().slice(before);
  assert.ok(packets.indexOf('81 01 06 01 00 09 03 01 FF') < packets.lastIndexOf('81 01 06 01 05 05 03 03 FF'));
  // The page shows what the camera received and the preview lamp lit: the screenshot kept.
  await waitFor('the camera state on the page', 3000, () => page.$eval('#camera', (t) => /tilt\s*stop/.test(t.textContent) && /last\s*81 01 06 01 05 05 03 03 FF/.test(t.textContent)));
  await waitFor('the preview lamp on the page', 2000, () => page.$eval('#lamp-preview', (e) => e.classList.contains('on')));
  fs.mkdirSync(path.join(build, 'browser'), { recursive: true });
  await page.screenshot({ path: path.join(build, 'browser', 'console.png'), fullPage: true });
});

// The clip's frames as 64x36 RGB, the way the page's picture is read back.
function clipFrames(file) {
  const raw = execFileSync('ffmpeg', ['-v', 'error', '-i', file, '-vf', 'scale=64:36:flags=area', '-f', 'rawvideo', '-pix_fmt', 'rgb24', '-'],
    { maxBuffer: 64 << 20 });
  const size = 64 * 36 * 3;
  return Array.from({ length: raw.length / size }, (_, i) => raw.subarray(i * size, (i + 1) * size));
}
// The clip frame nearest to the program picture shown, and its mean difference per sample.
async function nearestFrame(frames) {
  const rgb = await programRgb();
  let best = { index: -1, diff: Infinity };
  frames.forEach((f, index) => {
    let sum = 0;
    for (let i = 0; i < f.length; ++i) sum += Math.abs(f[i] - rgb[i]);
    if (sum / f.length < best.diff) best = { index, diff: sum / f.length };
  });
  return best;
}

test('a clip chosen in the picture control becomes the program picture, moving', async () => {
  const clip = path.join(sysroot, 'tmp', 'clip.mkv');
  execFileSync('ffmpeg', ['-v', 'error', '-f', 'lavfi', '-i', 'testsrc2=size=640x360:rate=30', '-t', '3', '-c:v', 'ffv1', clip]);
  const frames = clipFrames(clip);
  assert.ok(frames.length >= 85, `${frames.length} clip frames`);
  // How near the test card comes to any clip frame: the clip shown is to come far nearer.
  const card = await nearestFrame(frames);
  const near = card.diff / 3;

  await page.select('#picture', 'clip');
  await page.type('#clip-path', clip + '.gone');
  await page.click('#picture-apply');
  await waitFor('the refusal naming the file', 3000, () => page.$eval('#picture-message', (e, gone) => e.classList.contains('error') && e.textContent.includes(gone), clip + '.gone'));
  await page.$eval('#clip-path', (e) => { e.value = ''; });
  await page.type('#clip-path', clip);
  await page.click('#picture-apply');
  await waitFor('sim/picture written', 3000, () => read('sim/picture') === `clip ${clip}\n`);
  // The clip's banks are encoded before the encoder takes it.
  const clicked = Date.now();
  const shown = await waitFor('the clip on the program', 30000, async () => { const m = await nearestFrame(frames); return m.diff < near && m; });
  console.log(`clip shown ${Date.now() - clicked} ms after the click: ${shown.diff.toFixed(1)} from its nearest frame, the test card ${card.diff.toFixed(1)}`);
  await waitFor('the picture state', 3000, () => page.$eval('#picture-now', (e, c) => e.textContent === 'Picture: clip ' + c, clip));

  // A full-page screenshot whose program picture is known: the same clip frame before and after it.
  const shot = (name, other) => waitFor(name, 10000, async () => {
    const a = await nearestFrame(frames);
    if (a.diff >= near || a.index === other) return null;
    const png = await page.screenshot({ fullPage: true });
    const b = await nearestFrame(frames);
    return b.index === a.index ? { png, index: a.index } : null;
  });
  const first = await shot('a screenshot of the clip');
  const second = await shot('a screenshot of another clip frame', first.index);
  assert.notStrictEqual(first.index, second.index);
  assert.ok(!first.png.equals(second.png));
  fs.mkdirSync(path.join(build, 'browser'), { recursive: true });
  fs.writeFileSync(path.join(build, 'browser', 'console-clip-1.png'), first.png);
  fs.writeFileSync(path.join(build, 'browser', 'console-clip-2.png'), second.png);
});

test('a settings value that is too long is refused and nothing is written', async () => {
  const file = 'etc/mervane-enc1-settings.json';
  const unchanged = read(file);
  await page.$eval('#setting-StreamName', (e, v) => { e.value = v; }, 'x'.repeat(200));
  await page.click('#settings-save');
  const message = await waitFor('the refusal', 3000, () => page.$eval('#settings-message', (e) => e.classList.contains('error') && e.textContent));
  assert.match(message, /StreamName is too long/);
  assert.strictEqual(read(file), unchanged);
  assert.deepStrictEqual(fs.readdirSync(path.join(sysroot, 'etc')).filter((f) => f.includes('.console-')), []);
});

test('a black screensaver with the source removed shows black', async () => {
  assert.ok((await luma()).max > 100, 'the test picture is not black to begin with');
  await page.$eval('#setting-StreamName', (e) => { e.value = 'HDMI'; });
  await page.select('#setting-ScreenSaverMode', 'BlackSS');
  await page.click('#settings-save');
  await waitFor('the setting written', 3000, () => (read('etc/mervane-enc1-settings.json') || '').includes('"ScreenSaverMode":"BlackSS"'));
  await page.select('#source', 'none');
  await page.click('#source-apply');
  // The encoder's own frames go black too while the input is gone: wait for the still itself,
  // announced at 29.97 frames a second in 1920x1080.
  await waitFor('the black still', 8000, async () => {
    const info = await page.$eval('#program-info', (e) => e.textContent);
    return /^1920×1080 SHQ2 progressive · 29\.97 fps announced/.test(info) && (await luma()).max < 24;
  });
});
