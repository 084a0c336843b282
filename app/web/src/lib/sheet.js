// Reading spreadsheets: checks, parsing in a throw-away worker, and copying out plain data only.
import { AppError } from './errors.js'
import { hasExtension, readBytes } from './bytes.js'
import { copyRecords } from './records.js'
import { indexByRow } from './images.js'

export const SHEET_MAX_BYTES = 50 * 1024 * 1024
const WORKER_TIMEOUT_MS = 120000
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

/** Parses in a dedicated module worker that is terminated afterwards. */
export function parseInWorker(bytes, timeoutMs = WORKER_TIMEOUT_MS) {
  return new Promise((resolve) => {
    let worker
    try {
      worker = new Worker(new URL('./sheet.worker.js', import.meta.url), { type: 'module' })
    } catch (err) {
      resolve({ ok: false, key: 'generator.errExcelCorrupted', detail: String(err?.message || err) })
      return
    }
    const done = (answer) => {
      clearTimeout(timer)
      worker.terminate()
      resolve(answer)
    }
    const timer = setTimeout(() => done({ ok: false, key: 'generator.errExcelCorrupted', detail: 'timeout' }), timeoutMs)
    worker.onmessage = (e) => done(e.data)
    worker.onerror = (e) => {
      e.preventDefault?.()
      done({ ok: false, key: 'generator.errExcelCorrupted', detail: String(e.message || 'worker error') })
    }
    worker.onmessageerror = () => done({ ok: false, key: 'generator.errExcelCorrupted', detail: 'unreadable answer' })
    const copy = bytes.slice()
    worker.postMessage({ bytes: copy.buffer }, [copy.buffer])
  })
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

/**
 * Reads a spreadsheet (File, Blob or bytes).
 * @param {object} [opts] `parse(bytes)` replaces the worker (tests run the same code in-process)
 */
export async function readSheet(file, name = file?.name, { parse = parseInWorker } = {}) {
  const size = file?.size ?? file?.length ?? file?.byteLength ?? 0
  checkSheetFile(name, size)
  const bytes = await readBytes(file)
  checkSheetBytes(name, bytes)
  const answer = await parse(bytes)
  if (!answer?.ok) throw new AppError(String(answer?.key || 'generator.errExcelCorrupted'), { detail: answer?.detail })
  return { name, size: bytes.length, ...sanitizeAnswer(answer.data) }
}
