// Reading the entry table of a ZIP package and writing packages from ready-made entries, so that a
// filled document can reuse the template's compressed parts as they are and compress only the
// parts that changed, with the browser's own deflate.

const LOCAL = 0x04034b50
const CENTRAL = 0x02014b50
const END = 0x06054b50
const UTF8_NAMES = 0x0800

// CRC-32 (the ZIP polynomial), eight table lookups per step of four bytes.
const TABLES = (() => {
  const t = new Uint32Array(4 * 256)
  for (let n = 0; n < 256; n++) {
    let c = n
    for (let k = 0; k < 8; k++) c = c & 1 ? 0xedb88320 ^ (c >>> 1) : c >>> 1
    t[n] = c
  }
  for (let n = 0; n < 256; n++) {
    for (let k = 1; k < 4; k++) t[k * 256 + n] = (t[(k - 1) * 256 + n] >>> 8) ^ t[t[(k - 1) * 256 + n] & 0xff]
  }
  return t
})()

/** CRC-32 of `bytes` as an unsigned number. */
export function crc32(bytes) {
  let c = 0xffffffff
  const n = bytes.length
  let i = 0
  for (const end = n - (n % 4); i < end; i += 4) {
    c ^= bytes[i] | (bytes[i + 1] << 8) | (bytes[i + 2] << 16) | (bytes[i + 3] << 24)
    c = TABLES[768 + (c & 0xff)] ^ TABLES[512 + ((c >>> 8) & 0xff)] ^ TABLES[256 + ((c >>> 16) & 0xff)] ^ TABLES[c >>> 24]
  }
  for (; i < n; i++) c = TABLES[(c ^ bytes[i]) & 0xff] ^ (c >>> 8)
  return (c ^ 0xffffffff) >>> 0
}

const utf8 = new TextEncoder()
const utf8Text = new TextDecoder()
const latin1Text = new TextDecoder('latin1')

/**
 * The entries of a ZIP package, from its central directory, with their compressed data.
 * Packages this cannot take as they are (ZIP64, encrypted or split) throw.
 * @returns {Map<string, {name, nameBytes, flags, method, time, date, crc, size, data}>}
 */
export function readZipEntries(bytes) {
  const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength)
  let end = -1
  for (let i = bytes.length - 22; i >= Math.max(0, bytes.length - 22 - 0xffff); i--) {
    if (view.getUint32(i, true) === END) {
      end = i
      break
    }
  }
  if (end < 0) throw new Error('no end of central directory')
  const count = view.getUint16(end + 10, true)
  if (view.getUint16(end + 4, true) !== 0 || count !== view.getUint16(end + 8, true)) throw new Error('split archive')
  let at = view.getUint32(end + 16, true)
  if (count === 0xffff || at === 0xffffffff) throw new Error('ZIP64 archive')
  const entries = new Map()
  for (let k = 0; k < count; k++) {
    if (view.getUint32(at, true) !== CENTRAL) throw new Error('bad central directory')
    const flags = view.getUint16(at + 8, true)
    const method = view.getUint16(at + 10, true)
    const compressedSize = view.getUint32(at + 20, true)
    const size = view.getUint32(at + 24, true)
    const nameLength = view.getUint16(at + 28, true)
    const local = view.getUint32(at + 42, true)
    if (flags & 1) throw new Error('encrypted entry')
    if (compressedSize === 0xffffffff || size === 0xffffffff || local === 0xffffffff) throw new Error('ZIP64 entry')
    if (method !== 0 && method !== 8) throw new Error('unsupported compression method ' + method)
    const nameBytes = bytes.slice(at + 46, at + 46 + nameLength)
    const name = (flags & UTF8_NAMES ? utf8Text : latin1Text).decode(nameBytes)
    if (view.getUint32(local, true) !== LOCAL) throw new Error('bad local header')
    const start = local + 30 + view.getUint16(local + 26, true) + view.getUint16(local + 28, true)
    if (start + compressedSize > bytes.length) throw new Error('entry past the end')
    entries.set(name, {
      name,
      nameBytes,
      flags: flags & UTF8_NAMES,
      method,
      time: view.getUint16(at + 12, true),
      date: view.getUint16(at + 14, true),
      crc: view.getUint32(at + 16, true),
      size,
      data: bytes.subarray(start, start + compressedSize),
    })
    at += 46 + nameLength + view.getUint16(at + 30, true) + view.getUint16(at + 32, true)
  }
  return entries
}

function dosTime(date) {
  return {
    time: (date.getHours() << 11) | (date.getMinutes() << 5) | (date.getSeconds() >> 1),
    date: ((Math.max(1980, date.getFullYear()) - 1980) << 9) | ((date.getMonth() + 1) << 5) | date.getDate(),
  }
}

/** An entry holding `bytes` as they are (stored). */
export function storedEntry(name, bytes, when = new Date()) {
  const nameBytes = utf8.encode(name)
  return {
    name,
    nameBytes,
    flags: nameBytes.length === name.length ? 0 : UTF8_NAMES,
    method: 0,
    ...dosTime(when),
    crc: crc32(bytes),
    size: bytes.length,
    data: bytes,
  }
}

/** An entry for `bytes`, deflated when that makes it smaller. `deflate` returns raw deflate data. */
export async function makeEntry(name, bytes, deflate, when = new Date()) {
  const entry = storedEntry(name, bytes, when)
  const packed = await deflate(bytes)
  return packed.length < bytes.length ? { ...entry, method: 8, data: packed } : entry
}

/** Raw deflate with the browser's own compressor. */
export async function nativeDeflate(bytes) {
  // Written to the stream directly: a Blob would first be handed over to the browser process.
  const stream = new CompressionStream('deflate-raw')
  const writer = stream.writable.getWriter()
  writer.write(bytes)
  writer.close()
  const reader = stream.readable.getReader()
  const chunks = []
  let length = 0
  for (;;) {
    const { done, value } = await reader.read()
    if (done) break
    chunks.push(value)
    length += value.length
  }
  if (chunks.length === 1) return chunks[0]
  const out = new Uint8Array(length)
  let at = 0
  for (const c of chunks) {
    out.set(c, at)
    at += c.length
  }
  return out
}

export const hasNativeDeflate = () => {
  try {
    return typeof CompressionStream === 'function' && Boolean(new CompressionStream('deflate-raw'))
  } catch {
    return false
  }
}

/** Writes a ZIP package from entries as made by readZipEntries or makeEntry, in the given order. */
export function writeZip(entries) {
  if (entries.length > 0xffff) throw new Error('too many entries for one archive')
  let size = 22
  for (const e of entries) size += 30 + 46 + 2 * e.nameBytes.length + e.data.length
  const out = new Uint8Array(size)
  const view = new DataView(out.buffer)
  const offsets = []
  let at = 0
  const header = (e, central) => {
    view.setUint32(at, central ? CENTRAL : LOCAL, true)
    at += 4
    if (central) {
      view.setUint16(at, 20, true)
      at += 2
    }
    view.setUint16(at, 20, true)
    view.setUint16(at + 2, e.flags, true)
    view.setUint16(at + 4, e.method, true)
    view.setUint16(at + 6, e.time, true)
    view.setUint16(at + 8, e.date, true)
    view.setUint32(at + 10, e.crc, true)
    view.setUint32(at + 14, e.data.length, true)
    view.setUint32(at + 18, e.size, true)
    view.setUint16(at + 22, e.nameBytes.length, true)
    view.setUint16(at + 24, 0, true)
    at += 26
  }
  for (const e of entries) {
    offsets.push(at)
    header(e, false)
    out.set(e.nameBytes, at)
    at += e.nameBytes.length
    out.set(e.data, at)
    at += e.data.length
  }
  const directory = at
  entries.forEach((e, i) => {
    header(e, true)
    // comment length, disk number, internal and external attributes, local header offset
    view.setUint16(at, 0, true)
    view.setUint16(at + 2, 0, true)
    view.setUint16(at + 4, 0, true)
    view.setUint32(at + 6, 0, true)
    view.setUint32(at + 10, offsets[i], true)
    at += 14
    out.set(e.nameBytes, at)
    at += e.nameBytes.length
  })
  view.setUint32(at, END, true)
  view.setUint16(at + 4, 0, true)
  view.setUint16(at + 6, 0, true)
  view.setUint16(at + 8, entries.length, true)
  view.setUint16(at + 10, entries.length, true)
  view.setUint32(at + 12, at - directory, true)
  view.setUint32(at + 16, directory, true)
  view.setUint16(at + 20, 0, true)
  return out
}
