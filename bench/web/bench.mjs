// Frame times of the page in headless chromium beside the native CPU
// executor's, in the same run: every mode at QUALITY, WIDTH x HEIGHT, ROUNDS
// rounds alternating native, browser and the same module in Node (which
// tells the browser's own cost from WebAssembly's), medians of every frame;
// the module without threads in Node (what a page without cross-origin
// isolation runs); and the time from navigation to the page's first frame.
//   node bench.mjs   (env: WEB_URL, WEB_DRIVER, NATIVE_LIB; scripts/bench-web.sh sets them)
import {execFileSync} from 'node:child_process';
import {createRequire} from 'node:module';
import {mkdtempSync, rmSync, readFileSync} from 'node:fs';
import {gzipSync} from 'node:zlib';
import {tmpdir, loadavg, cpus} from 'node:os';
import {join} from 'node:path';
import {fileURLToPath} from 'node:url';

const WIDTH = 1280, HEIGHT = 720, QUALITY = 1;
const FRAMES = Number(process.env.FRAMES || 10), ROUNDS = Number(process.env.ROUNDS || 3);
const NAMES = ['solar system', 'galaxy', 'black hole', 'asteroid field'];
const LIMIT = [2, 2.5, 2, 2]; // the browser's frame time may be this many times the native one
const puppeteer = createRequire(join(process.env.WEB_DRIVER, 'x'))('puppeteer-core');
const here = fileURLToPath(new URL('.', import.meta.url));

const median = (xs) => {
  const s = [...xs].sort((a, b) => a - b);
  return s.length % 2 ? s[(s.length - 1) / 2] : (s[s.length / 2 - 1] + s[s.length / 2]) / 2;
};

const profile = mkdtempSync(join(tmpdir(), 'galaxy-bench-'));
const browser = await puppeteer.launch({
  executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
  headless: true,
  userDataDir: profile,
  args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
         '--disable-component-update', '--disable-sync'],
});

const native = [[], [], [], []], generic = [[], [], [], []], web = [[], [], [], []], node = [[], [], [], []];
const single = [[], [], [], []];
const firstFrame = [];
for (let round = 0; round < ROUNDS; round++) {
  const n = JSON.parse(execFileSync('python3', [join(here, 'native_frames_ms.py'), process.env.NATIVE_LIB,
                                                String(WIDTH), String(HEIGHT), String(QUALITY), String(FRAMES)]));
  for (let m = 0; m < 4; m++) native[m].push(...n[m]);
  // The native executor without its AVX2 build: 128-bit vectors like WebAssembly's.
  const ng = JSON.parse(execFileSync('python3', [join(here, 'native_frames_ms.py'), process.env.NATIVE_LIB, String(WIDTH),
                                                 String(HEIGHT), String(QUALITY), String(FRAMES)],
                                     {env: {...process.env, HALVENOR_SW_SIMD: 'generic'}}));
  for (let m = 0; m < 4; m++) generic[m].push(...ng[m]);
  const nd = JSON.parse(execFileSync(process.execPath, [join(here, 'node_frames_ms.mjs'), process.env.WEB_DIST,
                                                        String(WIDTH), String(HEIGHT), String(QUALITY), String(FRAMES)]));
  for (let m = 0; m < 4; m++) node[m].push(...nd[m]);
  const ns = JSON.parse(execFileSync(process.execPath, [join(here, 'node_frames_ms.mjs'), process.env.WEB_DIST, String(WIDTH),
                                                        String(HEIGHT), String(QUALITY), String(FRAMES), '0']));
  for (let m = 0; m < 4; m++) single[m].push(...ns[m]);

  const page = await browser.newPage();
  await page.setViewport({width: WIDTH, height: HEIGHT});
  await page.goto(`${process.env.WEB_URL}?size=${WIDTH}x${HEIGHT}&quality=${QUALITY}`);
  await page.waitForFunction(() => window.galaxyPage.firstFrameMs > 0 || window.galaxyPage.error, {timeout: 60000});
  const r = await page.evaluate(async (frames, quality) => {
    const s = window.galaxyPage;
    if (s.error) throw new Error(s.error);
    await s.galaxy.stop();
    const times = [];
    for (let m = 0; m < 4; m++) {
      await s.galaxy.setMode(m);
      await s.galaxy.setQuality(quality);
      await s.galaxy.timeFrames(3);
      times.push(await s.galaxy.timeFrames(frames));
    }
    return {times, firstFrameMs: s.firstFrameMs};
  }, FRAMES, QUALITY);
  for (let m = 0; m < 4; m++) web[m].push(...r.times[m]);
  firstFrame.push(r.firstFrameMs);
  await page.close();
}
await browser.close();
rmSync(profile, {recursive: true, force: true});

console.log(`${new Date().toISOString()}  ${cpus().length} cores (${cpus()[0].model})  load average ${loadavg().map((l) => l.toFixed(2)).join(' ')}`);
console.log(`${WIDTH}x${HEIGHT}, quality ${QUALITY}, ${ROUNDS} rounds of ${FRAMES} frames, medians`);
console.log('| mode | native CPU executor | chromium | ratio | at most | the module in Node | native, generic build | without threads, Node |');
console.log('|---|---:|---:|---:|---:|---:|---:|---:|');
for (let m = 0; m < 4; m++) {
  const a = median(native[m]), b = median(web[m]), c = median(node[m]), d = median(generic[m]), e = median(single[m]);
  console.log(`| ${NAMES[m]} | ${a.toFixed(1)} ms | ${b.toFixed(1)} ms | ${(b / a).toFixed(2)} | ${LIMIT[m]} | ` +
              `${c.toFixed(1)} ms | ${d.toFixed(1)} ms | ${e.toFixed(1)} ms |`);
}
console.log(`page load to first frame: ${median(firstFrame).toFixed(0)} ms (median of ${ROUNDS}; at most 1500)`);
for (const [name, what] of [['halvenor-galaxy-core', 'module'], ['halvenor-galaxy-core-single', 'without threads']]) {
  const bytes = readFileSync(join(process.env.WEB_DIST, `${name}.wasm`));
  console.log(`${what}: ${(bytes.length / 1024).toFixed(0)} KiB of WebAssembly, ` +
              `${(gzipSync(bytes, {level: 9}).length / 1024).toFixed(0)} KiB gzipped`);
}
