// Frame times of the web module in Node (the same WebAssembly, no browser):
// for each mode, 3 frames, then N frames timed one by one by timeFrames();
// prints one JSON object {mode: [ms, ...]}. THREADS 0 times the module
// without threads (the one a page without cross-origin isolation gets).
// With CLOCK=cpu the times are the process's CPU time per frame instead.
//   node node_frames_ms.mjs DIST WIDTH HEIGHT QUALITY N [THREADS]
import {join} from 'node:path';
import {pathToFileURL} from 'node:url';

const [dist, w, h, quality, n, threads = '1'] = process.argv.slice(2);
const {createGalaxyOffscreen} = await import(pathToFileURL(join(dist, 'halvenor-galaxy.mjs')).href);
const g = await createGalaxyOffscreen(Number(w), Number(h), {threads: threads !== '0'});
const out = {};
for (let mode = 0; mode < 4; mode++) {
  await g.setMode(mode);
  await g.setQuality(Number(quality));
  await g.timeFrames(3);
  if (process.env.CLOCK !== 'cpu') {
    out[mode] = await g.timeFrames(Number(n));
    continue;
  }
  out[mode] = [];
  for (let i = 0; i < Number(n); i++) {
    const start = process.cpuUsage();
    await g.frame();
    const used = process.cpuUsage(start);
    out[mode].push((used.user + used.system) / 1000);
  }
}
await g.destroy();
console.log(JSON.stringify(out));
