// The engine's thread in a page: the module's main thread lives here, so the
// page's own thread never waits for the CPU executor's workers. A windowed
// engine draws into the OffscreenCanvas the page transferred, one frame per
// animation frame. Messages: {id, op, args} in, {id, result} or {id, error}
// out; {stats} now and then while the loop runs. The first message, init,
// says which module to load: with threads, or the one without.
'use strict';
importScripts('halvenor-galaxy-engine.js');

let engine = null;
let canvas = null;
let running = false;
let frameMs = 0;
let lastStats = 0;

const nextFrame = self.requestAnimationFrame
  ? (fn) => self.requestAnimationFrame(fn)
  : (fn) => setTimeout(fn, 16);

function tick() {
  if (!running || !engine) return;
  const t0 = performance.now();
  engine.frame();
  const t1 = performance.now();
  frameMs = frameMs ? frameMs * 0.9 + (t1 - t0) * 0.1 : t1 - t0;
  if (t1 - lastStats > 250) {
    lastStats = t1;
    self.postMessage({stats: {frameMs, lastFrameMs: t1 - t0}});
  }
  nextFrame(tick);
}

async function init({width, height, canvas: c, timeScale, threads}) {
  if (engine) throw new Error('init: the engine exists already');
  const core = new URL(threads ? 'halvenor-galaxy-core.js' : 'halvenor-galaxy-core-single.js', self.location.href).href;
  importScripts(core);
  const M = await createHalvenorModule({mainScriptUrlOrBlob: core});
  engine = new HalvenorGalaxyEngine.GalaxyEngine(M);
  if (c) {
    canvas = c;
    canvas.width = width;
    canvas.height = height;
    M.galaxyCanvas = canvas;
    engine.createWindowed(width, height);
  } else {
    engine.createOffscreen(width, height);
  }
  if (timeScale !== undefined) engine.setTimeScale(timeScale);
  return {version: engine.version(), threads: engine.threads()};
}

const ops = {
  init,
  start() {
    if (!canvas) throw new Error('start: an offscreen engine has no canvas to draw into; call frame()');
    if (!running) {
      running = true;
      nextFrame(tick);
    }
  },
  stop() { running = false; },
  resize(width, height) {
    if (canvas) {
      canvas.width = width;
      canvas.height = height;
    }
    engine.resize(width, height);
  },
  readback() {
    const r = engine.readback();
    return {value: r, transfer: [r.data.buffer]};
  },
  screenshot() {
    const bytes = engine.screenshot();
    return {value: bytes, transfer: [bytes.buffer]};
  },
  destroy() {
    running = false;
    engine.destroy();
  },
};

self.onmessage = async (e) => {
  const {id, op, args} = e.data;
  try {
    let result;
    if (ops[op]) result = await ops[op](...args);
    else if (engine && typeof engine[op] === 'function' && op !== 'constructor') result = engine[op](...args);
    else throw new Error(engine ? `unknown operation ${op}` : 'the engine is not created');
    if (result && result.transfer) self.postMessage({id, result: result.value}, result.transfer);
    else self.postMessage({id, result});
  } catch (err) {
    self.postMessage({id, error: {name: err.name, message: err.message}});
  }
};
