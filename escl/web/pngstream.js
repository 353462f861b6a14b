// A PNG read as it arrives: the chunks are parsed, the image data inflated by the browser's
// DecompressionStream, and each row un-filtered and handed out as RGBA as soon as it is whole.
// Only what the scanner sends is read: non-interlaced 1- or 8-bit grey and 8-bit RGB.

const SIGNATURE = [137, 80, 78, 71, 13, 10, 26, 10];

export class PngStream {
  // onHeader({width, height, rowBytes}) once; onRows(y, imageData) for each batch of whole rows.
  constructor({ onHeader, onRows }) {
    this.onHeader = onHeader;
    this.onRows = onRows;
    this.pending = new Uint8Array(0); // bytes not yet parsed into chunks
    this.chunks = []; // every byte received, for saving
    this.ended = false;
    this.rowsDone = 0;
  }

  // The next bytes of the file.
  async push(bytes) {
    this.chunks.push(bytes);
    const joined = new Uint8Array(this.pending.length + bytes.length);
    joined.set(this.pending);
    joined.set(bytes, this.pending.length);
    let at = 0;
    if (!this.signatureSeen) {
      if (joined.length < 8) {
        this.pending = joined;
        return;
      }
      if (SIGNATURE.some((b, i) => joined[i] !== b)) throw new Error('not a PNG');
      this.signatureSeen = true;
      at = 8;
    }
    const view = new DataView(joined.buffer);
    while (joined.length - at >= 12) {
      const length = view.getUint32(at);
      if (length > 0x7fffffff) throw new Error('bad PNG chunk');
      if (joined.length - at < 12 + length) break;
      const type = String.fromCharCode(...joined.subarray(at + 4, at + 8));
      await this.chunk(type, joined.subarray(at + 8, at + 8 + length));
      at += 12 + length;
    }
    this.pending = joined.slice(at);
  }

  // After the last byte: resolves once every row has been handed out.
  async finish() {
    if (!this.ended) throw new Error('the PNG is cut short');
    await this.inflating;
    if (this.rowsDone !== this.height) throw new Error('the PNG has too few rows');
  }

  // The file as received.
  blob() {
    return new Blob(this.chunks, { type: 'image/png' });
  }

  async chunk(type, data) {
    if (type === 'IHDR') {
      const view = new DataView(data.buffer, data.byteOffset, data.length);
      this.width = view.getUint32(0);
      this.height = view.getUint32(4);
      const depth = data[8];
      const colour = data[9];
      if (data[12] !== 0) throw new Error('interlaced PNG');
      if (colour === 0 && (depth === 1 || depth === 8)) this.channels = 1;
      else if (colour === 2 && depth === 8) this.channels = 3;
      else throw new Error('PNG of an unexpected kind');
      this.depth = depth;
      this.rowBytes = Math.ceil((this.width * this.channels * depth) / 8);
      this.step = Math.max(1, (this.channels * depth) / 8); // bytes to the left neighbour
      this.previous = new Uint8Array(this.rowBytes);
      this.row = new Uint8Array(this.rowBytes + 1);
      this.rowFill = 0;
      const inflater = new DecompressionStream('deflate');
      this.writer = inflater.writable.getWriter();
      this.inflating = this.inflate(inflater.readable.getReader());
      this.inflating.catch(() => {}); // reported by push or finish
      this.header = true;
      this.onHeader({ width: this.width, height: this.height, rowBytes: this.rowBytes });
    } else if (type === 'IDAT') {
      if (!this.header) throw new Error('PNG data before its header');
      try {
        await this.writer.write(data.slice());
      } catch (e) {
        throw this.error || e;
      }
    } else if (type === 'IEND') {
      this.ended = true;
      await this.writer.close();
    }
  }

  async inflate(reader) {
    try {
      await this.inflateRows(reader);
    } catch (e) {
      this.error = e;
      reader.cancel(e).catch(() => {}); // so that writing fails too
      throw e;
    }
  }

  async inflateRows(reader) {
    for (;;) {
      const { value, done } = await reader.read();
      if (done) return;
      const out = [];
      let first = this.rowsDone;
      for (let i = 0; i < value.length; ) {
        const n = Math.min(value.length - i, this.row.length - this.rowFill);
        this.row.set(value.subarray(i, i + n), this.rowFill);
        this.rowFill += n;
        i += n;
        if (this.rowFill === this.row.length) {
          if (this.rowsDone + out.length >= this.height) throw new Error('the PNG has too many rows');
          out.push(this.unfilter());
          this.rowFill = 0;
        }
      }
      if (out.length) {
        this.rowsDone += out.length;
        this.onRows(first, this.toImage(out));
      }
    }
  }

  // The current row without its filter; it becomes the previous row.
  unfilter() {
    const filter = this.row[0];
    const cur = this.row.subarray(1);
    const prev = this.previous;
    const s = this.step;
    for (let i = 0; i < cur.length; i++) {
      const a = i >= s ? cur[i - s] : 0;
      const b = prev[i];
      const c = i >= s ? prev[i - s] : 0;
      switch (filter) {
        case 0: break;
        case 1: cur[i] = (cur[i] + a) & 255; break;
        case 2: cur[i] = (cur[i] + b) & 255; break;
        case 3: cur[i] = (cur[i] + ((a + b) >> 1)) & 255; break;
        case 4: {
          const p = a + b - c;
          const pa = Math.abs(p - a), pb = Math.abs(p - b), pc = Math.abs(p - c);
          cur[i] = (cur[i] + (pa <= pb && pa <= pc ? a : pb <= pc ? b : c)) & 255;
          break;
        }
        default: throw new Error('bad PNG row filter');
      }
    }
    this.previous = cur.slice();
    return this.previous;
  }

  toImage(rows) {
    const image = new ImageData(this.width, rows.length);
    const px = image.data;
    let o = 0;
    for (const r of rows) {
      for (let x = 0; x < this.width; x++, o += 4) {
        if (this.channels === 3) {
          px[o] = r[3 * x];
          px[o + 1] = r[3 * x + 1];
          px[o + 2] = r[3 * x + 2];
        } else {
          const g = this.depth === 1 ? ((r[x >> 3] >> (7 - (x & 7))) & 1) * 255 : r[x];
          px[o] = px[o + 1] = px[o + 2] = g;
        }
        px[o + 3] = 255;
      }
    }
    return image;
  }
}
