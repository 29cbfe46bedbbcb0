// The web module in Node, offscreen: the same frames as the native library,
// the JavaScript interface's errors, and screenshots through the library's
// PNG writer. WEB_DIST: build-web/dist; WEB_NATIVE: the frames
// native_frames.py wrote.
import test from 'node:test';
import assert from 'node:assert/strict';
import {readFileSync} from 'node:fs';
import {join} from 'node:path';
import {pathToFileURL} from 'node:url';
import {compare, decodePng, TOLERANCE} from './pixels.mjs';

const dist = process.env.WEB_DIST, nativeDir = process.env.WEB_NATIVE;
const {createGalaxyOffscreen, MODES} = await import(pathToFileURL(join(dist, 'halvenor-galaxy.mjs')).href);
const cases = JSON.parse(readFileSync(new URL('./cases.json', import.meta.url))).cases;

async function render(c, options = {}) {
  const g = await createGalaxyOffscreen(c.width, c.height, {timeScale: 0, ...options});
  await g.setMode(MODES[c.mode]);
  await g.setQuality(c.quality);
  if (c.camera) await g.setCamera(...c.camera);
  for (const a of c.adjust || []) await g.adjustCamera(...a);
  await g.frame();
  return g;
}

test('every scene matches the native frame of the same state', async () => {
  for (const c of cases) {
    const g = await render(c);
    try {
      const img = await g.readback();
      assert.equal(img.width, c.width);
      assert.equal(img.height, c.height);
      const native = readFileSync(join(nativeDir, `${c.name}.rgba`));
      const r = compare(img.data, native);
      assert.ok(r.ok, `${c.name}: ${r.differing} pixels differ by more than ${TOLERANCE.level} (largest ${r.max})`);
      // Not a blank frame matching a blank frame.
      const lit = img.data.filter((v, i) => i % 4 !== 3 && v > 40).length;
      assert.ok(lit > 100, `${c.name}: only ${lit} bright channels`);
    } finally {
      await g.destroy();
    }
  }
});

// The module a page without shared memory loads: the same code on one
// thread, so the same bytes as the module with threads.
test('the module without threads renders the same frames', async () => {
  for (const c of cases) {
    const g = await render(c, {threads: false}), t = await render(c);
    try {
      assert.equal(g.threads, false);
      assert.equal(t.threads, true);
      const a = await g.readback(), b = await t.readback();
      assert.ok(Buffer.from(a.data).equals(Buffer.from(b.data)), `${c.name}: the two modules' frames differ`);
    } finally {
      await g.destroy();
      await t.destroy();
    }
  }
  await assert.rejects(createGalaxyOffscreen(8, 8, {threads: 'no'}), TypeError);
});

test('a screenshot is a PNG of the frame readback returns', async () => {
  const g = await render(cases[2]);
  try {
    const blob = await g.screenshot();
    assert.equal(blob.type, 'image/png');
    const png = decodePng(new Uint8Array(await blob.arrayBuffer()));
    const img = await g.readback();
    assert.deepEqual([png.width, png.height], [img.width, img.height]);
    assert.ok(Buffer.from(png.data).equals(Buffer.from(img.data)), 'PNG pixels differ from the readback');
  } finally {
    await g.destroy();
  }
});

test('bad arguments and failures reject with an Error', async () => {
  // The library's own error text comes through: a size it refuses.
  await assert.rejects(createGalaxyOffscreen(100000, 100000), (e) => e instanceof Error && /create: ./.test(e.message));
  await assert.rejects(createGalaxyOffscreen(0, 10), TypeError);
  const g = await createGalaxyOffscreen(64, 64);
  try {
    for (const [op, args, kind] of [
      ['setMode', ['nebula'], RangeError],
      ['setMode', [4], RangeError],
      ['setQuality', [3], RangeError],
      ['setCamera', [0, NaN, 10], TypeError],
      ['resize', [-1, 10], TypeError],
    ])
      await assert.rejects(g[op](...args), kind, `${op}(${args})`);
    await g.frame();
    assert.equal((await g.readback()).width, 64);
    const times = await g.timeFrames(2);
    assert.ok(times.length === 2 && times.every((t) => t >= 0), `timeFrames: ${times}`);
    assert.equal(await g.error(), 'no error');
    assert.equal(g.version, '1.0.0');
  } finally {
    await g.destroy();
  }
});
