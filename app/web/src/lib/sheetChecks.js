// Checks on a spreadsheet before and after parsing, shared by the page and the command line.
import { AppError } from './errors.js'
import { hasExtension } from './bytes.js'
import { copyRecords } from './records.js'
import { indexByRow } from './images.js'

export const SHEET_MAX_BYTES = 50 * 1024 * 1024
const COLUMN = /^[A-Z]{1,3}$/

export function checkSheetFile(name, size) {
  if (!hasExtension(name, ['.xlsx', '.xls'])) throw new AppError('generator.errInvalidExcel')
  if (size > SHEET_MAX_BYTES) throw new AppError('generator.sizeError', { params: { max: '50 MB' } })
}

const startsWith = (bytes, sig) => sig.every((b, i) => bytes[i] === b)

/**
 * Checks the leading bytes: a workbook is a ZIP package (.xlsx) or, for .xls, a compound file,
 * an older binary sheet, or a spreadsheet saved as HTML/XML text. Anything else would be read as
 * plain text by the parser and turned into nonsense rows.
 */
export function checkSheetBytes(name, bytes) {
  const zip = startsWith(bytes, [0x50, 0x4b])
  if (zip) return
  if (!String(name).toLowerCase().endsWith('.xls')) throw new AppError('generator.errExcelCorrupted')
  const cfb = startsWith(bytes, [0xd0, 0xcf, 0x11, 0xe0])
  const biff = bytes[0] === 0x09 && [0x00, 0x02, 0x04, 0x08].includes(bytes[1])
  const head = new TextDecoder().decode(bytes.subarray(0, 512)).replace(/^\uFEFF/, '').trimStart().toLowerCase()
  const markup = head.startsWith('<')
  if (!cfb && !biff && !markup) throw new AppError('generator.errExcelCorrupted')
}

/** Keeps only what we expect from the parser's answer, with the types we expect. */
export function sanitizeAnswer(data) {
  const headers = Array.isArray(data?.headers) ? data.headers.filter((h) => typeof h === 'string') : []
  if (!headers.length) throw new AppError('generator.errExcelNoHeader')
  const records = copyRecords(Array.isArray(data.records) ? data.records : [], headers)
  if (!records.length) throw new AppError('generator.errExcelEmpty')
  const images = []
  for (const i of Array.isArray(data.images) ? data.images : []) {
    if (!(i?.bytes instanceof Uint8Array) || !Number.isInteger(i.row) || !COLUMN.test(String(i.col))) continue
    images.push({
      bytes: i.bytes,
      mime: String(i.mime || ''),
      row: i.row,
      col: String(i.col),
      path: String(i.path || ''),
      source: i.source === 'cell' ? 'cell' : 'drawing',
    })
  }
  const columns = [...new Set(images.map((i) => i.col))].sort((a, b) => a.length - b.length || a.localeCompare(b))
  return {
    sheetName: String(data.sheetName ?? ''),
    headers,
    records,
    images: { images, byRow: indexByRow(images), columns },
  }
}

