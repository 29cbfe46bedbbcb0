// The page in Debian's chromium, headless, through the DevTools protocol:
// frames read back through the JavaScript module and shown on the canvas
// match the native library's; keys and the mouse change scene, quality,
// clock and camera; the s key and screenshot() give the library's PNG; a
// server without cross-origin isolation gets the module without threads,
// the same frames, and a message saying why it is slower.
// WEB_URL: the page served with isolation; WEB_URL_PLAIN: without;
// WEB_NATIVE: native_frames.py's frames; WEB_DRIVER: where npm put puppeteer-core.
import test from 'node:test';
import assert from 'node:assert/strict';
import {createRequire} from 'node:module';
import {mkdtempSync, readFileSync, readdirSync, rmSync} from 'node:fs';
import {tmpdir} from 'node:os';
import {join} from 'node:path';
import {compare, decodePng, TOLERANCE} from './pixels.mjs';

const puppeteer = createRequire(join(process.env.WEB_DRIVER, 'x'))('puppeteer-core');
const url = process.env.WEB_URL, plainUrl = process.env.WEB_URL_PLAIN, nativeDir = process.env.WEB_NATIVE;
const cases = JSON.parse(readFileSync(new URL('./cases.json', import.meta.url))).cases;
const native = (name) => readFileSync(join(nativeDir, `${name}.rgba`));
const W = 320, H = 180; // the size of the first four cases

const profile = mkdtempSync(join(tmpdir(), 'galaxy-chromium-'));
const downloads = mkdtempSync(join(tmpdir(), 'galaxy-downloads-'));
const browser = await puppeteer.launch({
  executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
  headless: true,
  userDataDir: profile,
  args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
         '--disable-component-update', '--disable-sync', '--force-color-profile=srgb'],
});
test.after(async () => {
  await browser.close();
  rmSync(profile, {recursive: true, force: true});
  rmSync(downloads, {recursive: true, force: true});
});

// The page at W x H with time frozen, its first frame shown.
async function openPage(query = '', base = url) {
  const page = await browser.newPage();
  const errors = [];
  page.on('pageerror', (e) => errors.push(e.message));
  page.on('console', (m) => { if (m.type() === 'error') errors.push(m.text()); });
  await page.evaluateOnNewDocument(() => {
    window.toBase64 = (u8) => {
      let s = '';
      for (let i = 0; i < u8.length; i += 0x8000) s += String.fromCharCode.apply(null, u8.subarray(i, i + 0x8000));
      return btoa(s);
    };
  });
  await page.setViewport({width: W, height: H});
  await page.goto(`${base}?time=0&size=${W}x${H}${query}`);
  await page.waitForFunction(() => window.galaxyPage.firstFrameMs > 0 || window.galaxyPage.error, {timeout: 60000});
  assert.equal(await page.evaluate(() => window.galaxyPage.error || ''), '');
  page.errors = errors;
  return page;
}

// The engine's last frame after one more, through the module's readback().
async function readback(page) {
  const bytes = await page.evaluate(async () => {
    const g = window.galaxyPage.galaxy;
    await g.frame();
    const img = await g.readback();
    return [img.width, img.height, window.toBase64(new Uint8Array(img.data.buffer))];
  });
  return {width: bytes[0], height: bytes[1], data: Buffer.from(bytes[2], 'base64')};
}

// What the canvas shows: the page's own pixels, the overlay and notice hidden.
async function shown(page) {
  await page.evaluate(() => {
    for (const id of ['overlay', 'notice']) document.getElementById(id).style.display = 'none';
  });
  return decodePng(await page.screenshot({type: 'png'}));
}

// The canvas reaches the native frame: the worker's canvas reaches the
// page's compositor a frame or two after the engine presents, so a few
// looks are allowed, each a full comparison.
async function assertShows(page, name) {
  let r;
  for (let i = 0; i < 20; i++) {
    r = compare((await shown(page)).data, native(name), 3);
    if (r.ok) return;
    await new Promise((res) => setTimeout(res, 100));
  }
  assert.fail(`canvas ${name}: ${r.differing} pixels differ by more than ${TOLERANCE.level} (largest ${r.max})`);
}

function assertMatches(data, name, what) {
  const r = compare(data, native(name));
  assert.ok(r.ok, `${what} ${name}: ${r.differing} pixels differ by more than ${TOLERANCE.level} (largest ${r.max})`);
}

test('each scene in the page matches the native frame, read back and on the canvas', async () => {
  const page = await openPage();
  try {
    // Isolated, the page runs the module with threads, not the slow one.
    assert.equal(await page.evaluate(() => window.galaxyPage.threads), true);
    for (const c of cases) {
      await page.evaluate(async (c) => {
        const g = window.galaxyPage.galaxy;
        await g.resize(c.width, c.height);
        await g.setMode((c.mode + 1) % 4); // the same mode again would keep a moved camera
        await g.setMode(c.mode);
        await g.setQuality(c.quality);
        if (c.camera) await g.setCamera(...c.camera);
        for (const a of c.adjust || []) await g.adjustCamera(...a);
      }, c);
      const img = await readback(page);
      assert.deepEqual([img.width, img.height], [c.width, c.height]);
      assertMatches(img.data, c.name, 'readback');
      if (c.width === W && c.height === H) await assertShows(page, c.name);
    }
    assert.deepEqual(page.errors, []);
  } finally {
    await page.close();
  }
});

test('keys change scene, quality and clock; the mouse moves the camera', async () => {
  const page = await openPage();
  try {
    const state = () => page.evaluate(() => {
      const s = window.galaxyPage;
      return {mode: s.mode, quality: s.quality, paused: s.paused, speed: s.speed};
    });
    // Every key through the page's handler, then what the engine draws.
    await page.keyboard.press('3');
    assert.equal((await state()).mode, 2);
    assertMatches((await readback(page)).data, 'black-hole', 'after key 3');
    await page.keyboard.press('2');
    assertMatches((await readback(page)).data, 'galaxy', 'after key 2');
    for (const [key, want] of [['e', {quality: 2}], ['q', {quality: 0}], ['w', {quality: 1}],
                               ['+', {speed: 2}], ['-', {speed: 1}]]) {
      await page.keyboard.press(key);
      const s = await state();
      for (const k of Object.keys(want)) assert.equal(s[k], want[k], `after key '${key}': ${k}`);
    }
    // Same quality and a clock still frozen (speed keys while paused): the native galaxy.
    assertMatches((await readback(page)).data, 'galaxy', 'after the quality and speed keys');
    // A drag of 40 by -20 pixels orbits (right turns the scene right, up
    // tilts it toward the viewer), a wheel step up zooms in: the frames the
    // native library draws after the same camera steps. One move event: the
    // galaxy's half a million particles show the last bit of the camera, and
    // four steps sum to other bits than one.
    await page.mouse.move(160, 90);
    await page.mouse.down();
    await page.mouse.move(200, 70);
    await page.mouse.up();
    assertMatches((await readback(page)).data, 'galaxy-dragged', 'after the drag');
    await page.mouse.wheel({deltaY: -100});
    assertMatches((await readback(page)).data, 'galaxy-dragged-zoomed', 'after the wheel');
    // Space lets time run (the galaxy turns), and stops it again.
    await page.keyboard.press(' ');
    assert.equal((await state()).paused, false);
    const t0 = (await readback(page)).data;
    await new Promise((r) => setTimeout(r, 300));
    assert.ok(compare((await readback(page)).data, t0).share > 0.001, 'time did not run after space');
    await page.keyboard.press(' ');
    assert.equal((await state()).paused, true);
    const t1 = (await readback(page)).data;
    assert.equal(compare((await readback(page)).data, t1).max, 0, 'time still runs after a second space');
    assert.deepEqual(page.errors, []);
  } finally {
    await page.close();
  }
});

test('on a touch screen one finger orbits and two pinch', async () => {
  const page = await openPage('&mode=3');
  try {
    const cdp = await page.createCDPSession();
    await cdp.send('Emulation.setTouchEmulationEnabled', {enabled: true, maxTouchPoints: 2});
    const touch = (type, points) => cdp.send('Input.dispatchTouchEvent', {
      type, touchPoints: points.map(([x, y], id) => ({x, y, id})),
    });
    // One finger: -20 by 10 pixels.
    await touch('touchStart', [[160, 90]]);
    await touch('touchMove', [[140, 100]]);
    await touch('touchEnd', []);
    // Two fingers from 120 to 160 pixels apart, each moved in its own event.
    await touch('touchStart', [[100, 90], [220, 90]]);
    await touch('touchMove', [[80, 90], [220, 90]]);
    await touch('touchMove', [[80, 90], [240, 90]]);
    await touch('touchEnd', []);
    assertMatches((await readback(page)).data, 'asteroids-touched', 'after the touches');
    assert.deepEqual(page.errors, []);
  } finally {
    await page.close();
  }
});

test('the s key downloads, and screenshot() gives, the frame as a PNG', async () => {
  const page = await openPage('&mode=3');
  try {
    const cdp = await page.createCDPSession();
    await cdp.send('Browser.setDownloadBehavior', {behavior: 'allow', downloadPath: downloads});
    const img = await readback(page);
    const b64 = await page.evaluate(async () => {
      const blob = await window.galaxyPage.galaxy.screenshot();
      return [blob.type, window.toBase64(new Uint8Array(await blob.arrayBuffer()))];
    });
    assert.equal(b64[0], 'image/png');
    const png = decodePng(Buffer.from(b64[1], 'base64'));
    assert.deepEqual([png.width, png.height], [W, H]);
    assert.ok(Buffer.from(png.data).equals(img.data), 'the PNG differs from the readback');
    assertMatches(png.data, 'asteroid-field', 'screenshot');

    await page.keyboard.press('s');
    const file = join(downloads, 'galaxy_0001.png');
    for (let i = 0; i < 100 && !readdirSync(downloads).includes('galaxy_0001.png'); i++)
      await new Promise((r) => setTimeout(r, 100));
    assertMatches(decodePng(readFileSync(file)).data, 'asteroid-field', 'downloaded');
  } finally {
    await page.close();
  }
});

test('without cross-origin isolation the page renders on one thread and says why it is slower', async () => {
  const page = await openPage('', plainUrl);
  try {
    assert.equal(await page.evaluate(() => window.galaxyPage.threads), false);
    const text = await page.$eval('#notice', (e) => (getComputedStyle(e).display !== 'none' ? e.textContent : ''));
    assert.match(text, /cross-origin isolated/);
    assert.match(text, /slower/);
    assert.match(text, /Cross-Origin-Opener-Policy: same-origin/);
    assert.match(text, /Cross-Origin-Embedder-Policy: require-corp/);
    for (const c of cases.filter((c) => c.width === W && c.height === H)) {
      await page.evaluate(async (c) => {
        const g = window.galaxyPage.galaxy;
        await g.setMode((c.mode + 1) % 4);
        await g.setMode(c.mode);
        await g.setQuality(c.quality);
        if (c.camera) await g.setCamera(...c.camera);
        for (const a of c.adjust || []) await g.adjustCamera(...a);
      }, c);
      assertMatches((await readback(page)).data, c.name, 'readback without threads');
      await assertShows(page, c.name);
    }
    // Threads cannot be had here: asking for them fails with the reason.
    const refused = await page.evaluate(async () => {
      const {createGalaxyOffscreen} = await import('./halvenor-galaxy.mjs');
      return createGalaxyOffscreen(8, 8, {threads: true}).then(() => '', (e) => e.message);
    });
    assert.match(refused, /Cross-Origin-Embedder-Policy: require-corp/);
    assert.deepEqual(page.errors, []);
  } finally {
    await page.close();
  }
});
