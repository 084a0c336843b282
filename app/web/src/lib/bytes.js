// Small helpers for binary data.

const CHUNK = 32768

/** Base64 of a byte array, built 32768 bytes at a time so large files never overflow the call stack. */
export function bytesToBase64(bytes) {
  let binary = ''
  for (let i = 0; i < bytes.length; i += CHUNK) {
    binary += String.fromCharCode.apply(null, bytes.subarray(i, i + CHUNK))
  }
  return btoa(binary)
}

/** Bytes of a Base64 text; a data-URL prefix up to and including ";base64," is removed first. */
export function base64ToBytes(text) {
  const clean = String(text).replace(/^data:[^,]*;base64,/, '')
  const binary = atob(clean)
  const out = new Uint8Array(binary.length)
  for (let i = 0; i < binary.length; i++) out[i] = binary.charCodeAt(i)
  return out
}

/** Reads a File/Blob (or passes through byte arrays) as a Uint8Array. */
export async function readBytes(file) {
  if (file instanceof Uint8Array) return file
  if (file instanceof ArrayBuffer) return new Uint8Array(file)
  return new Uint8Array(await file.arrayBuffer())
}

/** True when `bytes` contains the UTF-16LE text `text` (used to look inside compound files). */
export function containsUtf16(bytes, text) {
  const needle = []
  for (const ch of text) needle.push(ch.charCodeAt(0) & 0xff, ch.charCodeAt(0) >> 8)
  outer: for (let i = 0; i + needle.length <= bytes.length; i++) {
    for (let j = 0; j < needle.length; j++) if (bytes[i + j] !== needle[j]) continue outer
    return true
  }
  return false
}

export function hasExtension(name, exts) {
  const lower = String(name || '').toLowerCase()
  return exts.some((e) => lower.endsWith(e))
}
