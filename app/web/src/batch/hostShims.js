// What the generator modules take from a browser and a bare script engine lacks: text encoding,
// Base64, timers and a raw deflate stream. Each is installed only when missing and rests on the
// functions the command line's host publishes as `papyrantHost` (text and deflate in native code,
// where they are fast). Timers do not wait: the host runs the queued callbacks in order whenever
// the job queue is empty, which is all the libraries use them for (yielding between steps).

const scope = globalThis
const host = scope.papyrantHost

const timers = new Map()
let nextTimer = 1

/**
 * Runs the timer callbacks queued so far, in order; returns how many ran. (Callbacks queued by
 * promise reactions appear only once the job queue has run, after the host's call returns; so
 * the host knows nothing is left only when a call ran none.)
 */
export function runTimers() {
  const due = [...timers.entries()]
  let ran = 0
  for (const [id, run] of due) {
    if (!timers.delete(id)) continue
    ran++
    run()
  }
  return ran
}

function schedule(fn, args) {
  const id = nextTimer++
  timers.set(id, () => (typeof fn === 'function' ? fn(...args) : undefined))
  return id
}

if (typeof scope.setTimeout !== 'function') {
  scope.setTimeout = (fn, _delay, ...args) => schedule(fn, args)
  scope.clearTimeout = (id) => timers.delete(id)
}
if (typeof scope.setImmediate !== 'function') {
  scope.setImmediate = (fn, ...args) => schedule(fn, args)
  scope.clearImmediate = (id) => timers.delete(id)
}

const BASE64 = 'ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/'

if (typeof scope.btoa !== 'function') {
  scope.btoa = (binary) => {
    const s = String(binary)
    let out = ''
    for (let i = 0; i < s.length; i += 3) {
      const a = s.charCodeAt(i)
      const b = s.charCodeAt(i + 1)
      const c = s.charCodeAt(i + 2)
      if (a > 255 || b > 255 || c > 255) throw new Error('btoa: character out of range')
      const n = (a << 16) | ((b || 0) << 8) | (c || 0)
      out += BASE64[n >> 18] + BASE64[(n >> 12) & 63] + (i + 1 < s.length ? BASE64[(n >> 6) & 63] : '=') + (i + 2 < s.length ? BASE64[n & 63] : '=')
    }
    return out
  }
}
if (typeof scope.atob !== 'function') {
  scope.atob = (text) => {
    const s = String(text).replace(/[\t\n\f\r ]/g, '').replace(/={1,2}$/, '')
    if (s.length % 4 === 1 || /[^A-Za-z0-9+/]/.test(s)) throw new Error('atob: not Base64')
    let out = ''
    let bits = 0
    let value = 0
    for (const ch of s) {
      value = (value << 6) | BASE64.indexOf(ch)
      bits += 6
      if (bits >= 8) {
        bits -= 8
        out += String.fromCharCode((value >> bits) & 255)
      }
    }
    return out
  }
}

/**
 * Text as the host can take it: the engine's conversion to UTF-8 stops at a lone surrogate (the
 * rest of a document part would be lost), so each becomes U+FFFD first, as TextEncoder does.
 */
export function wellFormed(text) {
  return String(text).toWellFormed()
}

if (host && typeof scope.TextEncoder !== 'function') {
  scope.TextEncoder = class TextEncoder {
    get encoding() {
      return 'utf-8'
    }
    encode(text = '') {
      return host.utf8Encode(wellFormed(text))
    }
  }
}

// Browsers read "latin1" as windows-1252; the host does the same.
const SINGLE_BYTE = ['latin1', 'iso-8859-1', 'windows-1252', 'ascii', 'us-ascii', 'l1', 'cp1252']
const UTF8 = ['utf-8', 'utf8', 'unicode-1-1-utf-8']

if (host && typeof scope.TextDecoder !== 'function') {
  scope.TextDecoder = class TextDecoder {
    constructor(label = 'utf-8', { fatal = false } = {}) {
      const name = String(label).trim().toLowerCase()
      if (!SINGLE_BYTE.includes(name) && !UTF8.includes(name)) throw new RangeError(`unsupported encoding ${label}`)
      this.singleByte = SINGLE_BYTE.includes(name)
      this.fatal = Boolean(fatal)
    }
    get encoding() {
      return this.singleByte ? 'windows-1252' : 'utf-8'
    }
    decode(input) {
      if (input === undefined) return ''
      const bytes = input instanceof Uint8Array ? input : ArrayBuffer.isView(input) ? new Uint8Array(input.buffer, input.byteOffset, input.byteLength) : new Uint8Array(input)
      if (this.singleByte) return host.windows1252Decode(bytes)
      const text = host.utf8Decode(bytes, this.fatal)
      if (text === null) throw new TypeError('The encoded data was not valid utf-8')
      return text
    }
  }
}

if (host && typeof scope.CompressionStream !== 'function') {
  // Only what nativeDeflate uses: one writer that writes and closes, one reader read to the end.
  scope.CompressionStream = class CompressionStream {
    constructor(format) {
      if (format !== 'deflate-raw') throw new TypeError(`unsupported format ${format}`)
      const chunks = []
      let output = null
      this.writable = {
        getWriter: () => ({
          write: (chunk) => {
            chunks.push(chunk instanceof Uint8Array ? chunk : new Uint8Array(chunk))
            return Promise.resolve()
          },
          close: () => {
            output = host.deflateRaw(chunks.length === 1 ? chunks[0] : joinBytes(chunks))
            return Promise.resolve()
          },
        }),
      }
      this.readable = {
        getReader: () => ({
          read: () => {
            const value = output
            output = null
            return Promise.resolve(value ? { done: false, value } : { done: true, value: undefined })
          },
        }),
      }
    }
  }
}

function joinBytes(chunks) {
  const out = new Uint8Array(chunks.reduce((n, c) => n + c.length, 0))
  let at = 0
  for (const c of chunks) {
    out.set(c, at)
    at += c.length
  }
  return out
}
