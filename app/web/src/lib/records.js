// Plain-data helpers for records built from untrusted spreadsheets.

/** Sets an own data property, even for names such as "__proto__" or "constructor". */
export function setOwn(obj, key, value) {
  Object.defineProperty(obj, key, { value, enumerable: true, writable: true, configurable: true })
}

/**
 * Gives repeated headers the suffixes "_1", "_2", … in order of repetition.
 * A generated name that collides with a later real header is skipped over.
 */
export function dedupeHeaders(rawHeaders) {
  const taken = new Set(rawHeaders)
  const used = new Set()
  const counts = new Map()
  return rawHeaders.map((h) => {
    if (!used.has(h)) {
      used.add(h)
      return h
    }
    let n = counts.get(h) || 0
    let candidate
    do {
      n += 1
      candidate = `${h}_${n}`
    } while (used.has(candidate) || (taken.has(candidate) && candidate !== h))
    counts.set(h, n)
    used.add(candidate)
    return candidate
  })
}

/** True when every value of the record's header columns is "". */
export function isEmptyRecord(record, headers) {
  return headers.every((h) => record[h] === '')
}

/**
 * A cell's text with every lone UTF-16 surrogate (a workbook can spell one as "_xD800_") replaced
 * by U+FFFD: no UTF-8 text can hold one, and written as it is it makes the document unreadable.
 */
function wellFormed(text) {
  return typeof text.toWellFormed === 'function' ? text.toWellFormed() : text
}

/**
 * Copies records coming from the parser into fresh objects holding only the header columns
 * (as well-formed strings) and `_excelRowNumber`. Anything else the parser might have attached is dropped.
 */
export function copyRecords(records, headers) {
  const out = []
  for (const src of records) {
    const rec = {}
    for (const h of headers) {
      const v = Object.prototype.hasOwnProperty.call(src, h) ? src[h] : ''
      setOwn(rec, h, wellFormed(typeof v === 'string' ? v : String(v ?? '')))
    }
    const row = Number(src._excelRowNumber)
    rec._excelRowNumber = Number.isFinite(row) ? row : 0
    out.push(rec)
  }
  return out
}
