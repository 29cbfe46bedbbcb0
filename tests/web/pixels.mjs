// Shared by the Node and browser tests: the comparison of a web frame with
// the native library's frame of the same state, and a small PNG decoder for
// the library's own screenshots and the browser's (8-bit RGBA or RGB, not
// interlaced); RGB comes out as RGBA with opaque alpha.
import {inflateSync} from 'node:zlib';

// The web module runs the same engine and executor code as the native
// library; what may differ is the C library (musl's sinf/cosf/expf against
// glibc's, each within an ulp of the true value) and the compiler's
// instruction choice. Such a difference moves a particle or an edge by a
// fraction of a pixel: a few pixels change, by little. A fault in the build
// (a program, the channel order, the presenter, a lost draw) changes far
// more than this allows.
export const TOLERANCE = {level: 2, share: 0.002};

// {differing: pixels whose channels differ by more than TOLERANCE.level,
//  share: their fraction, max: the largest channel difference}. channels: 3
// leaves alpha out (a canvas shows every frame opaque).
export function compare(web, native, channels = 4) {
  if (web.length !== native.length) throw new Error(`sizes differ: ${web.length} and ${native.length} bytes`);
  let differing = 0, max = 0;
  for (let i = 0; i < web.length; i += 4) {
    let d = 0;
    for (let k = 0; k < channels; k++) d = Math.max(d, Math.abs(web[i + k] - native[i + k]));
    if (d > TOLERANCE.level) differing++;
    if (d > max) max = d;
  }
  const share = differing / (web.length / 4);
  return {differing, share, max, ok: share <= TOLERANCE.share};
}

const PNG_SIGNATURE = Buffer.from([137, 80, 78, 71, 13, 10, 26, 10]);

export function decodePng(bytes) {
  const b = Buffer.from(bytes);
  if (!b.subarray(0, 8).equals(PNG_SIGNATURE)) throw new Error('not a PNG');
  let at = 8, width = 0, height = 0, bpp = 4;
  const idat = [];
  while (at < b.length) {
    const len = b.readUInt32BE(at), type = b.toString('latin1', at + 4, at + 8);
    const body = b.subarray(at + 8, at + 8 + len);
    if (type === 'IHDR') {
      width = body.readUInt32BE(0);
      height = body.readUInt32BE(4);
      if (body[8] !== 8 || (body[9] !== 6 && body[9] !== 2) || body[12] !== 0)
        throw new Error('not 8-bit RGBA or RGB without interlace');
      bpp = body[9] === 6 ? 4 : 3;
    } else if (type === 'IDAT') {
      idat.push(body);
    } else if (type === 'IEND') {
      break;
    }
    at += 12 + len;
  }
  const raw = inflateSync(Buffer.concat(idat));
  const stride = width * bpp, rows = new Uint8Array(stride * height);
  for (let y = 0; y < height; y++) {
    const filter = raw[y * (stride + 1)];
    const src = raw.subarray(y * (stride + 1) + 1, (y + 1) * (stride + 1));
    for (let x = 0; x < stride; x++) {
      const a = x >= bpp ? rows[y * stride + x - bpp] : 0;
      const up = y > 0 ? rows[(y - 1) * stride + x] : 0;
      const c = x >= bpp && y > 0 ? rows[(y - 1) * stride + x - bpp] : 0;
      let v = src[x];
      if (filter === 1) v += a;
      else if (filter === 2) v += up;
      else if (filter === 3) v += (a + up) >> 1;
      else if (filter === 4) {
        const p = a + up - c, pa = Math.abs(p - a), pb = Math.abs(p - up), pc = Math.abs(p - c);
        v += pa <= pb && pa <= pc ? a : pb <= pc ? up : c;
      } else if (filter !== 0) throw new Error(`PNG filter ${filter}`);
      rows[y * stride + x] = v & 255;
    }
  }
  if (bpp === 4) return {width, height, data: new Uint8ClampedArray(rows.buffer)};
  const data = new Uint8ClampedArray(width * height * 4);
  for (let i = 0, j = 0; i < rows.length; i += 3, j += 4) {
    data[j] = rows[i];
    data[j + 1] = rows[i + 1];
    data[j + 2] = rows[i + 2];
    data[j + 3] = 255;
  }
  return {width, height, data};
}
