// The viewer in a page: full-window scenes with the desktop viewer's keys
// (1-4 scene, q/w/e quality, +/- speed, space pause, s PNG download), drag
// to orbit, wheel to zoom, one finger orbits and two pinch on touch screens.
// ?mode=N, ?quality=N and ?time=0 (frozen) set the start; ?size=WxH fixes
// the render size instead of following the window.
import {createGalaxy, supported} from './halvenor-galaxy.mjs';

const NAMES = ['solar system', 'galaxy', 'black hole', 'asteroid field'];
const DRAG_RADIANS_PER_PIXEL = 0.005;
const params = new URLSearchParams(location.search);
const canvas = document.getElementById('scene');
const overlay = document.getElementById('overlay');
const message = document.getElementById('message');
const notice = document.getElementById('notice');

const state = {
  mode: Number(params.get('mode') || 0),
  quality: params.has('quality') ? Number(params.get('quality')) : 1,
  speed: 1,
  paused: params.get('time') === '0',
  frameMs: 0,
  shots: 0,
  firstFrameMs: 0,
};
window.galaxyPage = state; // read by the tests and the benchmark

function fail(text) {
  message.textContent = text;
  message.style.display = 'flex';
  overlay.style.display = 'none';
  state.error = text;
}

function show() {
  overlay.textContent = `${NAMES[state.mode]} | quality ${state.quality} | ` +
                        `${state.paused ? 'paused' : 'speed x' + state.speed} | ${state.frameMs.toFixed(1)} ms\n` +
                        '1-4 scene  q/w/e quality  +/- speed  space pause  s PNG  drag orbit  wheel zoom';
}

function renderSize() {
  const fixed = /^(\d+)x(\d+)$/.exec(params.get('size') || '');
  if (fixed) return [Number(fixed[1]), Number(fixed[2])];
  return [Math.max(1, canvas.clientWidth), Math.max(1, canvas.clientHeight)];
}

async function main() {
  const s = supported();
  if (!s.ok) return fail(`The scenes cannot run here: ${s.reason}.`);
  if (!s.threads) {
    // The scenes still run, on one thread: the page says why they are slow.
    notice.textContent = `Running without threads: ${s.reason}.`;
    notice.style.display = 'block';
    state.notice = notice.textContent;
  }
  const [w, h] = renderSize();
  let galaxy;
  try {
    galaxy = await createGalaxy(canvas, {width: w, height: h, timeScale: state.paused ? 0 : 1, start: false});
  } catch (e) {
    return fail(`The engine could not start: ${e.message}`);
  }
  state.galaxy = galaxy;
  state.threads = galaxy.threads;
  await galaxy.setMode(state.mode);
  await galaxy.setQuality(state.quality);
  galaxy.onstats = (st) => {
    state.frameMs = st.frameMs;
    state.frames = (state.frames || 0) + 1;
    show();
  };
  await galaxy.frame();
  state.firstFrameMs = performance.now();
  await galaxy.start();
  show();

  const timeScale = () => galaxy.setTimeScale(state.paused ? 0 : state.speed);

  window.addEventListener('keydown', async (e) => {
    if (e.ctrlKey || e.metaKey || e.altKey) return;
    const k = e.key;
    if (k >= '1' && k <= '4') {
      state.mode = Number(k) - 1;
      await galaxy.setMode(state.mode);
    } else if (k === 'q' || k === 'w' || k === 'e') {
      state.quality = 'qwe'.indexOf(k);
      await galaxy.setQuality(state.quality);
    } else if (k === '+' || k === '=') {
      state.speed = Math.min(100, state.speed <= 0 ? 0.25 : state.speed * 2);
      await timeScale();
    } else if (k === '-') {
      state.speed = state.speed <= 0.25 ? 0 : state.speed * 0.5;
      await timeScale();
    } else if (k === ' ') {
      state.paused = !state.paused;
      await timeScale();
    } else if (k === 's') {
      const blob = await galaxy.screenshot();
      const a = document.createElement('a');
      a.href = URL.createObjectURL(blob);
      a.download = `galaxy_${String(++state.shots).padStart(4, '0')}.png`;
      a.click();
      setTimeout(() => URL.revokeObjectURL(a.href), 10000);
    } else {
      return;
    }
    e.preventDefault();
    show();
  });

  // Pointers: one drags the orbit, two pinch the distance.
  const pointers = new Map();
  let pinch = 0;
  const spread = () => {
    const [a, b] = [...pointers.values()];
    return Math.hypot(a.x - b.x, a.y - b.y);
  };
  canvas.addEventListener('pointerdown', (e) => {
    canvas.setPointerCapture(e.pointerId);
    pointers.set(e.pointerId, {x: e.clientX, y: e.clientY});
    if (pointers.size === 2) pinch = spread();
  });
  canvas.addEventListener('pointermove', (e) => {
    const p = pointers.get(e.pointerId);
    if (!p) return;
    const dx = e.clientX - p.x, dy = e.clientY - p.y;
    p.x = e.clientX;
    p.y = e.clientY;
    if (pointers.size === 1) {
      // Drag right turns the scene right, drag up tilts it toward the viewer.
      galaxy.adjustCamera(-dx * DRAG_RADIANS_PER_PIXEL, dy * DRAG_RADIANS_PER_PIXEL, 1);
    } else if (pointers.size === 2) {
      const d = spread();
      if (pinch > 0 && d > 0) galaxy.adjustCamera(0, 0, pinch / d);
      pinch = d;
    }
  });
  const up = (e) => {
    pointers.delete(e.pointerId);
    pinch = pointers.size === 2 ? spread() : 0;
  };
  canvas.addEventListener('pointerup', up);
  canvas.addEventListener('pointercancel', up);
  canvas.addEventListener('wheel', (e) => {
    e.preventDefault();
    galaxy.adjustCamera(0, 0, e.deltaY < 0 ? 0.9 : 1.1);
  }, {passive: false});

  if (!params.has('size')) {
    let pending = 0;
    window.addEventListener('resize', () => {
      clearTimeout(pending);
      pending = setTimeout(() => galaxy.resize(...renderSize()), 100);
    });
  }
}

main();
