// Generation as one archive: all documents in memory, then one ZIP of stored entries.
import { AppError, toAppError } from './errors.js'
import { createDocumentRenderer } from './generate.js'
import { buildFileName, createNameDeduper, formatDatePart, sanitizePart } from './naming.js'
import { imageOptionsOf, validateJob } from './jobOptions.js'
import { yieldToPage } from './yieldToPage.js'
import { storedEntry, writeZip } from './zipParts.js'

export const ZIP_TIMEOUT_MS = 600000
const YIELD_EVERY = 100
// Rows per message to a worker: small enough for steady progress, large enough to cost nothing.
// A worker's first batch is the smallest, as it also has to start up and compile the template.
const BATCH = 8
const FIRST_BATCH = 2
const MAX_WORKERS = 4

/**
 * Where each phase of a run sits on the one progress bar. Packing has a slice of its own after
 * generating, so the bar only ever moves forward.
 */
export const PHASES = { generating: [20, 95], packaging: [95, 100] }

/** The bar's percentage for `done` of `total` steps of a phase. */
export function overallPercent(phase, done, total) {
  const [from, to] = PHASES[phase]
  return Math.round(from + ((to - from) * (total ? Math.min(done, total) : 0)) / (total || 1))
}

/** The archive's own name: template name and a time stamp. */
export function archiveName(templateName, date = new Date()) {
  return `${sanitizePart(templateName) || 'document'}_${formatDatePart('YYYYMMDD-HHMMSS', date)}.zip`
}

/**
 * Packs named documents into one ZIP without compression: documents are compressed packages
 * already, so deflating them again would cost time and save next to nothing.
 * Fails with errZipTimeout once packing has taken longer than `timeoutMs` (checked whenever it
 * lets the page breathe, and at the end). `now` reads the clock.
 */
export async function packArchive(files, { onProgress = () => {}, timeoutMs = ZIP_TIMEOUT_MS, isCancelled = () => false, now = Date.now } = {}) {
  const started = now()
  const checkTime = () => {
    if (now() - started > timeoutMs) throw new AppError('generator.errZipTimeout')
  }
  const total = files.length
  const when = new Date()
  const entries = []
  for (let i = 0; i < total; i++) {
    entries.push(storedEntry(files[i].name, files[i].bytes, when))
    if ((i + 1) % YIELD_EVERY === 0) {
      if (isCancelled()) throw new AppError('generator.cancelled')
      onProgress({ phase: 'packaging', percent: overallPercent('packaging', i + 1, total), current: i + 1, total })
      await yieldToPage()
      checkTime()
    }
  }
  const bytes = writeZip(entries)
  checkTime()
  onProgress({ phase: 'packaging', percent: overallPercent('packaging', total, total), current: total, total })
  return bytes
}

/** Fills rows on the page's own thread; `report(done)` after each row that took a while. */
async function generateHere({ template, records, imageOpts, byRow, isCancelled, report }) {
  const renderer = createDocumentRenderer(template)
  const results = new Array(records.length)
  let lastYield = Date.now()
  for (let i = 0; i < records.length; i++) {
    if (isCancelled()) throw new AppError('generator.cancelled')
    const position = i + 1
    try {
      results[i] = { position, bytes: await renderer.generate(records[i], position, imageOpts, byRow) }
    } catch (err) {
      const e = toAppError(err, 'generator.errGenerateFailed')
      results[i] = { position, error: { key: e.key, detail: e.detail } }
    }
    // Report and let the page breathe often enough to stay responsive, without paying for it on every row.
    if (Date.now() - lastYield > 50 || position === records.length) {
      report(position)
      await yieldToPage()
      lastYield = Date.now()
    }
  }
  return results
}

/** How many workers to fill rows in: one per core, within reason; none where workers do not exist. */
export function workerCount(scope = globalThis) {
  if (typeof scope.Worker !== 'function') return 0
  const cores = Number(scope.navigator?.hardwareConcurrency) || 2
  return Math.max(1, Math.min(MAX_WORKERS, cores))
}

/**
 * Fills rows in module workers, a batch at a time. Resolves to the results by row, or to null when
 * the workers could not do the job (they cannot be started or one fails), so the caller fills the
 * rows itself.
 */
function generateInWorkers({ template, records, imageOpts, byRow, isCancelled, report, count }) {
  return new Promise((resolve, reject) => {
    const results = new Array(records.length)
    const workers = []
    let next = 0
    let done = 0
    let finished = false
    const finish = (outcome, value) => {
      if (finished) return
      finished = true
      for (const w of workers) w.terminate()
      outcome(value)
    }
    const send = (worker, size = BATCH) => {
      if (next >= records.length) return
      const rows = []
      for (; rows.length < size && next < records.length; next++) rows.push({ record: records[next], position: next + 1 })
      worker.postMessage({ rows })
    }
    try {
      const job = { template: { bytes: template.bytes, imageTags: template.imageTags || [], templateName: template.templateName }, imageOpts, byRow: byRow || null }
      for (let i = 0; i < count; i++) {
        const worker = new Worker(new URL('./generate.worker.js', import.meta.url), { type: 'module' })
        workers.push(worker)
        worker.onmessage = (event) => {
          if (finished) return
          for (const r of event.data.results) results[r.position - 1] = r
          done += event.data.results.length
          if (isCancelled()) return finish(reject, new AppError('generator.cancelled'))
          report(done)
          if (done >= records.length) return finish(resolve, results)
          send(worker)
        }
        worker.onerror = (event) => {
          event.preventDefault?.()
          finish(resolve, null)
        }
        worker.onmessageerror = () => finish(resolve, null)
        worker.postMessage(job)
      }
      // Two batches per worker in flight, so none waits for the page between batches.
      for (const w of workers) send(w, FIRST_BATCH)
      for (const w of workers) send(w)
    } catch {
      finish(resolve, null)
    }
  })
}

/**
 * @param {object} job { template, records, options, byRow, onProgress, isCancelled, date, timeoutMs, workers }
 *   `workers`: how many workers to fill rows in (default: one per core; 0 fills on the page's thread)
 * @returns {{ name, bytes, files: string[], failed: {position, message, detail}[], total }}
 */
export async function generateArchive(job) {
  const { template, records, options = {}, byRow } = job
  validateJob({ template, records, options })
  const onProgress = job.onProgress || (() => {})
  const isCancelled = job.isCancelled || (() => false)
  const date = job.date || new Date()
  const imageOpts = imageOptionsOf(options)
  const total = records.length
  const report = (done) => onProgress({ phase: 'generating', percent: overallPercent('generating', done, total), current: done, total })

  onProgress({ phase: 'generating', percent: overallPercent('generating', 0, total), current: 0, total })
  const input = { template, records, imageOpts, byRow, isCancelled, report }
  const count = job.workers ?? workerCount()
  let results = count > 0 && total > 1 ? await generateInWorkers({ ...input, count: Math.min(count, Math.ceil(total / FIRST_BATCH)) }) : null
  if (!results) results = await generateHere(input)

  // Names are given in row order, so that a repeated name gets its " (2)" on the later row.
  const unique = createNameDeduper()
  const files = []
  const failed = []
  for (const r of results) {
    if (r.bytes) {
      const name = unique(buildFileName({ ...records[r.position - 1], _rowIndex: r.position }, options, { templateName: template.templateName, date }))
      files.push({ name, bytes: r.bytes })
    } else {
      failed.push({ position: r.position, message: r.error.key, detail: r.error.detail })
    }
  }
  if (!files.length) {
    const first = failed[0]
    throw new AppError('generator.errNothingGenerated', { detail: first ? first.detail : '' })
  }
  const bytes = await packArchive(files, { onProgress, timeoutMs: job.timeoutMs, isCancelled })
  return { name: archiveName(template.templateName, date), bytes, files: files.map((f) => f.name), failed, total }
}
