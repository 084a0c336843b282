// File names of generated documents.

export const DATE_FORMATS = ['none', 'YYYYMMDD', 'YYYY-MM-DD', 'YYYYMMDD-HHMM', 'YYYYMMDD-HHMMSS']

const ILLEGAL = /[<>:"/\\|?*]/g
// Control characters are never valid in file names either.
const CONTROL = /[\u0000-\u001f\u007f]/g
const FIELD_MAX = 20

const pad2 = (n) => String(n).padStart(2, '0')

/** The date part of a name, from local time. `none` (or empty) gives "". Unknown formats fall back to YYYYMMDD. */
export function formatDatePart(format, date = new Date()) {
  if (!format || format === 'none') return ''
  const y = String(date.getFullYear())
  const mo = pad2(date.getMonth() + 1)
  const d = pad2(date.getDate())
  const h = pad2(date.getHours())
  const mi = pad2(date.getMinutes())
  const s = pad2(date.getSeconds())
  switch (format) {
    case 'YYYY-MM-DD':
      return `${y}-${mo}-${d}`
    case 'YYYYMMDD-HHMM':
      return `${y}${mo}${d}-${h}${mi}`
    case 'YYYYMMDD-HHMMSS':
      return `${y}${mo}${d}-${h}${mi}${s}`
    default:
      return `${y}${mo}${d}`
  }
}

/** Replaces characters that file systems refuse with "_". */
export function sanitizePart(value) {
  return String(value ?? '').replace(ILLEGAL, '_').replace(CONTROL, '_').trim()
}

/** A field value as a name part: sanitised and cut to 20 characters (whole code points). */
export function fieldPart(value) {
  return Array.from(sanitizePart(value)).slice(0, FIELD_MAX).join('').trim()
}

/** Template file name without its extension. */
export function stripExtension(name) {
  const base = String(name ?? '').replace(/^.*[\\/]/, '')
  const dot = base.lastIndexOf('.')
  return dot > 0 ? base.slice(0, dot) : base
}

/**
 * Builds the file name of one document.
 * @param {object} record the row, with `_rowIndex`
 * @param {object} opts naming options
 * @param {object} ctx { templateName, date }
 */
export function buildFileName(record, opts = {}, ctx = {}) {
  const position = record?._rowIndex ?? 0
  const templateName = sanitizePart(ctx.templateName) || 'document'
  const datePart = formatDatePart(opts.dateFormat, ctx.date || new Date())
  const rule = opts.namingRule || 'rowIndex'

  if (rule === 'rowIndex') {
    return [templateName, datePart, String(position)].filter(Boolean).join('_') + '.docx'
  }
  if (rule === 'custom') {
    const parts = []
    const prefix = sanitizePart(opts.customNamePrefix)
    if (prefix) parts.push(prefix)
    for (const field of opts.selectedFields || []) {
      const v = fieldPart(record?.[field])
      if (v) parts.push(v)
    }
    if (datePart) parts.push(datePart)
    if (opts.includeRowNumber) parts.push(String(position))
    const suffix = sanitizePart(opts.customNameSuffix)
    if (suffix) parts.push(suffix)
    const joined = parts.filter(Boolean).join('_')
    return (joined || `row${position}`) + '.docx'
  }
  return `${templateName}_${position}.docx`
}

/**
 * Keeps names unique inside one run: the second "a.docx" becomes "a (2).docx",
 * so no document silently replaces another.
 */
export function createNameDeduper() {
  const seen = new Map()
  return (name) => {
    const key = name.toLowerCase()
    if (!seen.has(key)) {
      seen.set(key, 1)
      return name
    }
    const dot = name.lastIndexOf('.')
    const stem = dot > 0 ? name.slice(0, dot) : name
    const ext = dot > 0 ? name.slice(dot) : ''
    let n = seen.get(key)
    let candidate
    do {
      n += 1
      candidate = `${stem} (${n})${ext}`
    } while (seen.has(candidate.toLowerCase()))
    seen.set(key, n)
    seen.set(candidate.toLowerCase(), 1)
    return candidate
  }
}
