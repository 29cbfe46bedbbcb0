// The library's fourteen functions over the WebAssembly module, as plain
// synchronous JavaScript. It runs where the module's main thread is: inside
// the page's worker (halvenor-galaxy-worker.js), or in Node itself.
// A classic script: loaded by importScripts in the worker, by require in Node.
(function (root) {
  'use strict';

  const MODES = ['solar-system', 'galaxy', 'black-hole', 'asteroid-field'];

  // 0-3, or one of MODES. Anything else is a caller's mistake, not a state
  // the library should silently ignore.
  function modeIndex(mode) {
    if (Number.isInteger(mode) && mode >= 0 && mode < MODES.length) return mode;
    const i = MODES.indexOf(mode);
    if (i < 0) throw new RangeError(`unknown mode ${JSON.stringify(mode)}; one of ${MODES.join(', ')} or 0-3`);
    return i;
  }

  function finite(name, value) {
    if (typeof value !== 'number' || !Number.isFinite(value)) throw new TypeError(`${name} must be a finite number`);
    return value;
  }

  function size(name, value) {
    if (!Number.isInteger(value) || value < 1) throw new TypeError(`${name} must be a positive integer`);
    return value;
  }

  class GalaxyEngine {
    // M: the instantiated module. Nothing is created yet.
    constructor(M) {
      this.M = M;
      this.created = false;
      this.scratch = M._malloc(16); // the four readback outputs
    }

    // The module's memory as it is now, after any growth: the module with
    // threads exposes its memory; the one without keeps HEAPU8 current.
    memory() { return this.M.wasmMemory ? this.M.wasmMemory.buffer : this.M.HEAPU8.buffer; }
    heap() { return new Uint8Array(this.memory()); }
    error() { return this.M.UTF8ToString(this.M._galaxy_get_error()); }
    version() { return this.M.UTF8ToString(this.M._galaxy_version()); }
    // Whether this is the module with threads (only it has a thread pool).
    threads() { return !!this.M.PThread; }

    check(result, what) {
      if (result !== 0) throw new Error(`${what}: ${this.error()}`);
    }

    // Windowed: Module.galaxyCanvas must hold the canvas (see web_present.cpp).
    createWindowed(width, height) {
      this.check(this.M._galaxy_create(1, size('width', width), size('height', height)), 'create');
      this.created = true;
    }

    createOffscreen(width, height) {
      this.check(this.M._galaxy_create_offscreen(size('width', width), size('height', height)), 'create');
      this.created = true;
    }

    frame() { this.M._galaxy_frame(); }

    // For benchmarks: n frames back to back, each one's milliseconds.
    timeFrames(n) {
      size('n', n);
      const times = [];
      for (let i = 0; i < n; i++) {
        const t0 = performance.now();
        this.M._galaxy_frame();
        times.push(performance.now() - t0);
      }
      return times;
    }
    resize(width, height) { this.M._galaxy_resize(size('width', width), size('height', height)); }
    setMode(mode) { this.M._galaxy_set_mode(modeIndex(mode)); }
    setTimeScale(scale) { this.M._galaxy_set_time_scale(finite('scale', scale)); }
    setQuality(q) {
      if (q !== 0 && q !== 1 && q !== 2) throw new RangeError('quality must be 0, 1 or 2');
      this.M._galaxy_set_quality(q);
    }
    setCamera(yaw, pitch, distance) {
      this.M._galaxy_set_camera(finite('yaw', yaw), finite('pitch', pitch), finite('distance', distance));
    }
    adjustCamera(yawChange, pitchChange, zoomFactor) {
      this.M._galaxy_adjust_camera(finite('yawChange', yawChange), finite('pitchChange', pitchChange),
                                   finite('zoomFactor', zoomFactor));
    }

    // The last frame as {width, height, data}: RGBA rows top to bottom, in
    // memory of its own (ImageData cannot hold the module's shared memory).
    readback() {
      const p = this.scratch;
      if (this.M._galaxy_readback(p, p + 4, p + 8, p + 12) !== 0)
        throw new Error(`readback: ${this.created ? this.error() : 'no engine'}`);
      const words = new Int32Array(this.memory(), p, 4);
      const [pixels, width, height, stride] = words;
      const data = new Uint8ClampedArray(width * height * 4);
      data.set(this.heap().subarray(pixels, pixels + stride * height));
      return {width, height, data};
    }

    // The last frame as PNG bytes, written by the library's own PNG writer
    // into the module's memory file system.
    screenshot() {
      const path = '/tmp/halvenor-galaxy-screenshot.png';
      const p = this.M._malloc(path.length + 1);
      const heap = this.heap();
      for (let i = 0; i < path.length; i++) heap[p + i] = path.charCodeAt(i);
      heap[p + path.length] = 0;
      const r = this.M._galaxy_screenshot(p);
      this.M._free(p);
      if (r !== 0) throw new Error(`screenshot: ${this.created ? this.error() : 'no engine'}`);
      const bytes = this.M.FS.readFile(path);
      this.M.FS.unlink(path);
      return bytes;
    }

    destroy() {
      this.M._galaxy_destroy();
      this.created = false;
    }
  }

  const api = {GalaxyEngine, MODES, modeIndex};
  if (typeof module === 'object' && module.exports) module.exports = api;
  else root.HalvenorGalaxyEngine = api;
})(typeof self !== 'undefined' ? self : this);
