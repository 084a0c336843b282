// Export file by file: each document is generated and handed to the host right away.
import { bytesToBase64 } from './bytes.js'
import { createDocumentRenderer } from './generate.js'
import { buildFileName, createNameDeduper } from './naming.js'
import { imageOptionsOf, validateJob } from './jobOptions.js'
import { parseHostAnswer } from './bridge.js'
import { toAppError } from './errors.js'
import { yieldToPage } from './yieldToPage.js'

/** complete, partial or none, with the message key the page shows for it. */
export function exportOutcome(result) {
  if (result.saved.length && !result.failed.length && !result.cancelled) return { kind: 'complete', key: 'generator.streamComplete' }
  if (result.saved.length) return { kind: 'partial', key: 'generator.streamPartial' }
  return { kind: 'none', key: 'generator.streamNoFilesSaved' }
}

/**
 * @param {object} job { template, records, options, byRow, saveDir, host, onProgress, isCancelled, date }
 * @returns {{ saved: {name, path}[], failed: {position, record, message, detail}[], cancelled, total }}
 */
export async function exportToFolder(job) {
  const { template, records, options = {}, byRow, host, saveDir } = job
  validateJob({ template, records, options, needFolder: true, saveDir })
  const onProgress = job.onProgress || (() => {})
  const isCancelled = job.isCancelled || (() => false)
  const date = job.date || new Date()
  const imageOpts = imageOptionsOf(options)
  const unique = createNameDeduper()
  const renderer = createDocumentRenderer(template)
  const total = records.length
  const result = { saved: [], failed: [], cancelled: false, total }

  for (let i = 0; i < total; i++) {
    if (isCancelled()) {
      result.cancelled = true
      break
    }
    const position = i + 1
    const record = records[i]
    onProgress({ phase: 'exporting', percent: Math.round((position / total) * 100), current: position, total })
    try {
      const name = unique(buildFileName({ ...record, _rowIndex: position }, options, { templateName: template.templateName, date }))
      const bytes = await renderer.generate(record, position, imageOpts, byRow)
      const answer = parseHostAnswer(await host.saveDocxFile(name, bytesToBase64(bytes)))
      if (answer.success) result.saved.push({ name, path: answer.path || '' })
      else result.failed.push({ position, record, message: answer.message || 'generator.errUnknown', detail: answer.detail || '' })
    } catch (err) {
      const e = toAppError(err, 'generator.errUnknown')
      result.failed.push({ position, record, message: e.key, detail: e.detail })
    }
    await yieldToPage()
  }
  return result
}
