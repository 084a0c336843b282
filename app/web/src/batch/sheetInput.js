// Reading the sheet for the command line: the page's checks and parser, plus the formats the page
// does not offer (OpenDocument and comma-separated text), in a realm of its own.
import { AppError } from '../lib/errors.js'
import { bytesToBase64, base64ToBytes, containsUtf16, hasExtension } from '../lib/bytes.js'
import { SHEET_MAX_BYTES, checkSheetBytes, sanitizeAnswer } from '../lib/sheetChecks.js'
import { parseSheetBytes } from '../lib/sheetCore.js'

const WORKBOOKS = ['.xlsx', '.xls', '.ods']
const TEXT = '.csv'

const isCompoundFile = (bytes) => bytes[0] === 0xd0 && bytes[1] === 0xcf && bytes[2] === 0x11 && bytes[3] === 0xe0
const isZip = (bytes) => bytes[0] === 0x50 && bytes[1] === 0x4b

/** Name, size and leading bytes; throws the AppError the page would show for the same file. */
export function checkSheetInput(name, bytes) {
  if (!hasExtension(name, [...WORKBOOKS, TEXT])) throw new AppError('generator.errInvalidExcel')
  if (bytes.length > SHEET_MAX_BYTES) throw new AppError('generator.sizeError', { params: { max: '50 MB' } })
  // A password-protected workbook of any kind is an encrypted package inside a compound file.
  if (isCompoundFile(bytes) && containsUtf16(bytes.subarray(0, 64 * 1024), 'EncryptionInfo')) throw new AppError('generator.errExcelProtected')
  if (hasExtension(name, ['.xls'])) checkSheetBytes(name, bytes)
  else if (!hasExtension(name, [TEXT]) && !isZip(bytes)) throw new AppError('generator.errExcelCorrupted')
}

/** The text of a comma-separated file: UTF-8, a leading byte-order mark dropped. */
function csvText(bytes) {
  if (bytes.includes(0)) throw new AppError('generator.errExcelCorrupted', { detail: 'binary data in a text file' })
  try {
    return new TextDecoder('utf-8', { fatal: true }).decode(bytes).replace(/^\uFEFF/, '')
  } catch {
    throw new AppError('batch.errNotUtf8')
  }
}

/**
 * Parses a sheet into the page's plain answer, pictures as Base64 so that the answer crosses
 * realms as JSON text: { ok, data } or { ok: false, key, detail }.
 */
export async function parseSheetInput(name, bytes, sheet) {
  try {
    checkSheetInput(name, bytes)
    const opts = { sheet: sheet || undefined }
    if (hasExtension(name, [TEXT])) opts.text = csvText(bytes)
    const answer = await parseSheetBytes(bytes, opts)
    if (answer.ok) answer.data.images = answer.data.images.map((i) => ({ ...i, bytes: bytesToBase64(i.bytes) }))
    return JSON.stringify(answer)
  } catch (err) {
    if (err instanceof AppError) return JSON.stringify({ ok: false, key: err.key, detail: err.detail })
    return JSON.stringify({ ok: false, key: 'generator.errExcelCorrupted', detail: String(err?.message || err) })
  }
}

/** The sheet from the parsing realm's answer, checked and copied as the page does. */
export function acceptSheetAnswer(json) {
  const answer = JSON.parse(json)
  if (!answer?.ok) throw new AppError(String(answer?.key || 'generator.errExcelCorrupted'), { detail: answer?.detail })
  const data = answer.data
  data.images = (Array.isArray(data.images) ? data.images : []).map((i) => ({ ...i, bytes: base64ToBytes(String(i.bytes || '')) }))
  return sanitizeAnswer(data)
}
