// Types for halvenor-galaxy.mjs.

export type GalaxyMode = 'solar-system' | 'galaxy' | 'black-hole' | 'asteroid-field' | 0 | 1 | 2 | 3;
export declare const MODES: readonly ['solar-system', 'galaxy', 'black-hole', 'asteroid-field'];

/** A frame's pixels: an ImageData in a page; the same shape in Node. */
export interface GalaxyPixels {
  readonly width: number;
  readonly height: number;
  /** RGBA, rows top to bottom, width * 4 bytes each. */
  readonly data: Uint8ClampedArray;
}

export interface GalaxyStats {
  /** Smoothed time of one frame's rendering, in milliseconds. */
  frameMs: number;
  lastFrameMs: number;
}

export interface GalaxyOptions {
  /** Render size; a canvas's own width and height by default. */
  width?: number;
  height?: number;
  /** Simulated seconds per wall second from the first frame on (0 freezes time). */
  timeScale?: number;
  /** createGalaxy only: false leaves the canvas still until start(). */
  start?: boolean;
  /** false loads the module without threads; true fails where threads are unavailable; by default threads where available. */
  threads?: boolean;
}

export interface Galaxy {
  /** The library's version text. */
  readonly version: string;
  /** Whether the module with threads runs (false: one thread, slower). */
  readonly threads: boolean;
  readonly canvas: HTMLCanvasElement | null;
  /** Called a few times a second while a canvas is animated. */
  onstats: ((stats: GalaxyStats) => void) | null;

  setMode(mode: GalaxyMode): Promise<void>;
  /** 0, 1 or 2: how many stars, particles and rocks. */
  setQuality(quality: 0 | 1 | 2): Promise<void>;
  /** Clamped to 0..100; 0 freezes time. */
  setTimeScale(scale: number): Promise<void>;
  /** Radians, radians, world units; aimed at the origin. */
  setCamera(yaw: number, pitch: number, distance: number): Promise<void>;
  adjustCamera(yawChange: number, pitchChange: number, zoomFactor: number): Promise<void>;
  resize(width: number, height: number): Promise<void>;
  /** Advances time and renders one frame. */
  frame(): Promise<void>;
  /** Animate the canvas, one frame per animation frame (createGalaxy starts it). */
  start(): Promise<void>;
  stop(): Promise<void>;
  /** Renders n frames back to back; each one's milliseconds, timed by the engine's thread. */
  timeFrames(n: number): Promise<number[]>;
  /** The library's last error text, or "no error". */
  error(): Promise<string>;
  readback(): Promise<ImageData | GalaxyPixels>;
  /** The last frame as a PNG written by the library. */
  screenshot(): Promise<Blob>;
  /** Releases the engine and its worker; the object is finished. */
  destroy(): Promise<void>;
}

/** Whether this page can run the engine (ok) and with threads; reason says why not, or why slower. */
export declare function supported(): { ok: boolean; threads: boolean; reason: string };

/** An engine presenting into canvas (a page only; the canvas must have no context yet). */
export declare function createGalaxy(canvas: HTMLCanvasElement, options?: GalaxyOptions): Promise<Galaxy>;

/** An engine without a canvas (a page or Node). */
export declare function createGalaxyOffscreen(width: number, height: number,
                                              options?: Omit<GalaxyOptions, 'width' | 'height' | 'start'>): Promise<Galaxy>;
