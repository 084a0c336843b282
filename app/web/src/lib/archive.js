// Generation as one archive: all documents in memory, then one ZIP of stored entries.
import JSZip from 'jszip'
import { AppError, toAppError } from './errors.js'
import { generateForRecord } from './generate.js'
import { buildFileName, createNameDeduper, formatDatePart, sanitizePart } from './naming.js'
import { imageOptionsOf, validateJob } from './jobOptions.js'
import { yieldToPage } from './yieldToPage.js'

export const ZIP_TIMEOUT_MS = 600000
const YIELD_EVERY = 100
const GEN_FROM = 20
const GEN_TO = 95
const PACK_FROM = 30

/** The archive's own name: template name and a time stamp. */
export function archiveName(templateName, date = new Date()) {
  return `${sanitizePart(templateName) || 'document'}_${formatDatePart('YYYYMMDD-HHMMSS', date)}.zip`
}

/** Packs named documents into one ZIP without compression. Rejects with errZipTimeout after `timeoutMs`. */
export async function packArchive(files, { onProgress = () => {}, timeoutMs = ZIP_TIMEOUT_MS, isCancelled = () => false } = {}) {
  let timer
  const timeout = new Promise((_, reject) => {
    timer = setTimeout(() => reject(new AppError('generator.errZipTimeout')), timeoutMs)
  })
  const work = (async () => {
    const zip = new JSZip()
    const total = files.length
    for (let i = 0; i < total; i++) {
      zip.file(files[i].name, files[i].bytes, { binary: true, compression: 'STORE' })
      if ((i + 1) % YIELD_EVERY === 0) {
        if (isCancelled()) throw new AppError('generator.cancelled')
        onProgress({ phase: 'packaging', percent: PACK_FROM, current: i + 1, total })
        await yieldToPage()
      }
    }
    onProgress({ phase: 'packaging', percent: PACK_FROM, current: total, total })
    return zip.generateAsync({ type: 'uint8array', compression: 'STORE', streamFiles: false }, (meta) => {
      onProgress({
        phase: 'packaging',
        percent: Math.min(100, Math.round(PACK_FROM + (meta.percent * (100 - PACK_FROM)) / 100)),
        current: total,
        total,
      })
    })
  })()
  try {
    return await Promise.race([work, timeout])
  } finally {
    clearTimeout(timer)
  }
}

/**
 * @param {object} job { template, records, options, byRow, onProgress, isCancelled, date, timeoutMs }
 * @returns {{ name, bytes, files: string[], failed: {position, message, detail}[], total }}
 */
export async function generateArchive(job) {
  const { template, records, options = {}, byRow } = job
  validateJob({ template, records, options })
  const onProgress = job.onProgress || (() => {})
  const isCancelled = job.isCancelled || (() => false)
  const date = job.date || new Date()
  const imageOpts = imageOptionsOf(options)
  const unique = createNameDeduper()
  const total = records.length
  const files = []
  const failed = []
  let lastYield = Date.now()

  onProgress({ phase: 'generating', percent: GEN_FROM, current: 0, total })
  for (let i = 0; i < total; i++) {
    if (isCancelled()) throw new AppError('generator.cancelled')
    const position = i + 1
    try {
      const bytes = generateForRecord(template, records[i], position, imageOpts, byRow)
      const name = unique(buildFileName({ ...records[i], _rowIndex: position }, options, { templateName: template.templateName, date }))
      files.push({ name, bytes })
    } catch (err) {
      const e = toAppError(err, 'generator.errGenerateFailed')
      failed.push({ position, message: e.key, detail: e.detail })
    }
    // Report and let the page breathe often enough to stay responsive, without paying for it on every row.
    if (Date.now() - lastYield > 50 || position === total) {
      onProgress({ phase: 'generating', percent: Math.round(GEN_FROM + ((GEN_TO - GEN_FROM) * position) / total), current: position, total })
      await yieldToPage()
      lastYield = Date.now()
    }
  }
  if (!files.length) {
    const first = failed[0]
    throw new AppError('generator.errNothingGenerated', { detail: first ? first.detail : '' })
  }
  const bytes = await packArchive(files, { onProgress, timeoutMs: job.timeoutMs, isCancelled })
  return { name: archiveName(template.templateName, date), bytes, files: files.map((f) => f.name), failed, total }
}
