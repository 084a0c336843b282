// Reading spreadsheets: checks, parsing in a throw-away worker, and copying out plain data only.
import { AppError } from './errors.js'
import { readBytes } from './bytes.js'
import { checkSheetBytes, checkSheetFile, sanitizeAnswer } from './sheetChecks.js'

export { SHEET_MAX_BYTES, checkSheetBytes, checkSheetFile, sanitizeAnswer } from './sheetChecks.js'

const WORKER_TIMEOUT_MS = 120000

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
