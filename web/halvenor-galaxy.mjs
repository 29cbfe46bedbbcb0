// halvenor-galaxy for JavaScript: the four scenes rendered by the library's
// CPU executor in WebAssembly.
//
//   import {createGalaxy} from './halvenor-galaxy.mjs';
//   const galaxy = await createGalaxy(document.querySelector('canvas'));
//   await galaxy.setMode('black-hole');
//
// In a page the engine runs in a worker of its own (every method returns a
// promise). Its threads need shared memory, which a browser gives only to a
// cross-origin isolated page (Cross-Origin-Opener-Policy: same-origin,
// Cross-Origin-Embedder-Policy: require-corp); elsewhere the module without
// threads runs instead, slower. In Node, createGalaxyOffscreen runs the
// engine in-process.
// Failures reject with an Error carrying the library's error text.

export const MODES = Object.freeze(['solar-system', 'galaxy', 'black-hole', 'asteroid-field']);

const IN_NODE = typeof process === 'object' && !!(process.versions && process.versions.node) &&
                typeof window === 'undefined' && typeof importScripts === 'undefined';

const NO_THREADS = 'the page is not cross-origin isolated, so WebAssembly threads are unavailable and the scenes ' +
                   'render on one thread, several times slower: its server must send ' +
                   'Cross-Origin-Opener-Policy: same-origin and Cross-Origin-Embedder-Policy: require-corp';

// Whether the engine can run here (ok) and with threads: these need shared
// memory, which a page has only when cross-origin isolated; without it the
// module without threads runs, and reason says why it is slower.
export function supported() {
  if (typeof WebAssembly !== 'object') return {ok: false, threads: false, reason: 'this browser has no WebAssembly'};
  if (typeof SharedArrayBuffer === 'undefined' || (typeof crossOriginIsolated !== 'undefined' && !crossOriginIsolated))
    return {ok: true, threads: false, reason: NO_THREADS};
  return {ok: true, threads: true, reason: ''};
}

// The build to load: threads where the environment has them, unless the
// caller asks for the build without; asking for threads where there are
// none is an error rather than a silent fallback.
function chooseThreads(options, s) {
  if (options.threads === undefined) return s.threads;
  if (typeof options.threads !== 'boolean') throw new TypeError('threads must be true or false');
  if (options.threads && !s.threads) throw new Error(s.reason);
  return options.threads;
}

function coreName(threads) { return threads ? 'halvenor-galaxy-core' : 'halvenor-galaxy-core-single'; }

function rebuildError(e) {
  const err = e.name === 'RangeError' ? new RangeError(e.message) : e.name === 'TypeError' ? new TypeError(e.message)
                                                                                          : new Error(e.message);
  return err;
}

// The page's side of the worker: one request at a time in order, each
// answered by id.
class WorkerLink {
  constructor(worker) {
    this.worker = worker;
    this.next = 1;
    this.waiting = new Map();
    this.onstats = null;
    worker.onmessage = (e) => {
      const m = e.data;
      if (m.stats) {
        if (this.onstats) this.onstats(m.stats);
        return;
      }
      const w = this.waiting.get(m.id);
      if (!w) return;
      this.waiting.delete(m.id);
      if (m.error) w.reject(rebuildError(m.error));
      else w.resolve(m.result);
    };
    worker.onerror = (e) => {
      const err = new Error(`the engine's worker failed: ${e.message || 'unknown error'}`);
      for (const w of this.waiting.values()) w.reject(err);
      this.waiting.clear();
    };
  }

  call(op, args = [], transfer = []) {
    return new Promise((resolve, reject) => {
      const id = this.next++;
      this.waiting.set(id, {resolve, reject});
      this.worker.postMessage({id, op, args}, transfer);
    });
  }

  close() { this.worker.terminate(); }
}

// The same operations in-process (Node): synchronous underneath.
class LocalLink {
  constructor(engine) {
    this.engine = engine;
    this.onstats = null;
  }

  call(op, args = []) {
    try {
      return Promise.resolve(this.engine[op](...args));
    } catch (e) {
      return Promise.reject(e);
    }
  }

  close() { if (this.engine.M.PThread) this.engine.M.PThread.terminateAllThreads(); }
}

class Galaxy {
  constructor(link, version, threads, canvas) {
    this.link = link;
    this.version = version; // the library's version text
    this.threads = threads; // false: the module without threads runs
    this.canvas = canvas || null;
    this.onstats = null; // ({frameMs, lastFrameMs}) while a canvas is animated
    link.onstats = (s) => { if (this.onstats) this.onstats(s); };
  }

  setMode(mode) { return this.link.call('setMode', [mode]); }
  setQuality(quality) { return this.link.call('setQuality', [quality]); }
  setTimeScale(scale) { return this.link.call('setTimeScale', [scale]); }
  setCamera(yaw, pitch, distance) { return this.link.call('setCamera', [yaw, pitch, distance]); }
  adjustCamera(yawChange, pitchChange, zoomFactor) {
    return this.link.call('adjustCamera', [yawChange, pitchChange, zoomFactor]);
  }
  resize(width, height) { return this.link.call('resize', [width, height]); }
  frame() { return this.link.call('frame'); }
  // Animation of a canvas engine: one frame per animation frame in the worker.
  start() { return this.link.call('start'); }
  stop() { return this.link.call('stop'); }
  error() { return this.link.call('error'); }
  // For benchmarks: n frames back to back, each one's milliseconds as the
  // engine's thread measured it (no messages in between).
  timeFrames(n) { return this.link.call('timeFrames', [n]); }

  // The last frame: an ImageData in a page, {width, height, data} in Node.
  async readback() {
    const r = await this.link.call('readback');
    return typeof ImageData === 'function' ? new ImageData(r.data, r.width, r.height) : r;
  }

  // The last frame as a PNG Blob, written by the library's PNG writer.
  async screenshot() {
    const bytes = await this.link.call('screenshot');
    return new Blob([bytes], {type: 'image/png'});
  }

  async destroy() {
    try {
      await this.link.call('destroy');
    } finally {
      this.link.close();
    }
  }
}

async function inWorker(init, transfer, canvas) {
  const worker = new Worker(new URL('./halvenor-galaxy-worker.js', import.meta.url));
  const link = new WorkerLink(worker);
  try {
    const {version, threads} = await link.call('init', [init], transfer);
    return new Galaxy(link, version, threads, canvas);
  } catch (e) {
    link.close();
    throw e;
  }
}

async function inProcess(width, height, options, threads) {
  const {createRequire} = await import('node:module');
  const {readFile} = await import('node:fs/promises');
  const require = createRequire(import.meta.url);
  const createModule = require(`./${coreName(threads)}.js`);
  const {GalaxyEngine} = require('./halvenor-galaxy-engine.js');
  // Given the bytes, the module skips fetch(), which Node has but cannot
  // point at a file.
  const wasmBinary = await readFile(new URL(`./${coreName(threads)}.wasm`, import.meta.url));
  const M = await createModule({wasmBinary});
  const engine = new GalaxyEngine(M);
  const link = new LocalLink(engine);
  try {
    engine.createOffscreen(width, height);
    if (options.timeScale !== undefined) engine.setTimeScale(options.timeScale);
  } catch (e) {
    link.close();
    throw e;
  }
  return new Galaxy(link, engine.version(), engine.threads());
}

function checkSize(width, height) {
  if (!Number.isInteger(width) || width < 1 || !Number.isInteger(height) || height < 1)
    throw new TypeError('width and height must be positive integers');
}

// An engine drawing into canvas (an HTMLCanvasElement not yet given a
// context), animated from the start unless options.start is false.
// options.timeScale applies before the first frame (0: time frozen).
export async function createGalaxy(canvas, options = {}) {
  if (IN_NODE) throw new Error('createGalaxy needs a page; use createGalaxyOffscreen in Node');
  const s = supported();
  if (!s.ok) throw new Error(s.reason);
  const threads = chooseThreads(options, s);
  const width = options.width || canvas.width, height = options.height || canvas.height;
  checkSize(width, height);
  const offscreen = canvas.transferControlToOffscreen();
  const galaxy = await inWorker({width, height, canvas: offscreen, timeScale: options.timeScale, threads},
                                [offscreen], canvas);
  if (options.start !== false) await galaxy.start();
  return galaxy;
}

// An engine without a canvas: frame() renders, readback() and screenshot()
// read the result.
export async function createGalaxyOffscreen(width, height, options = {}) {
  checkSize(width, height);
  const s = IN_NODE ? {ok: true, threads: true, reason: ''} : supported();
  if (!s.ok) throw new Error(s.reason);
  const threads = chooseThreads(options, s);
  if (IN_NODE) return inProcess(width, height, options, threads);
  return inWorker({width, height, timeScale: options.timeScale, threads}, []);
}
