// One run of the command line: the template and the sheet's rows through the page's generator,
// each document handed to the host as soon as it is made, and a summary of what happened.
import { AppError, toAppError } from '../lib/errors.js'
import { compareFields, readTemplate } from '../lib/template.js'
import { createDocumentRenderer } from '../lib/generate.js'
import { buildFileName, createNameDeduper } from '../lib/naming.js'
import { imageOptionsOf, validateJob } from '../lib/jobOptions.js'
import { acceptSheetAnswer } from './sheetInput.js'
import { messageFor } from './messages.js'
import { wellFormed } from './hostShims.js'

// Exit statuses: every row written; some rows failed or the run was stopped, but documents were
// written; nothing written (a bad input, no row done, an archive given up).
export const EXIT = { ok: 0, rowsFailed: 1, failed: 2 }
const ARCHIVE_MAX_ENTRIES = 0xffff

function problem(key, { detail = '', params = {}, ...where } = {}) {
  return { ...where, key, message: messageFor(key, params), detail: String(detail || '') }
}

const fromError = (err, fallbackKey, where = {}) => {
  const e = toAppError(err, fallbackKey)
  return problem(e.key, { detail: e.detail, params: e.params, ...where })
}

function newSummary(request) {
  return {
    ok: false,
    exitCode: EXIT.failed,
    template: request.templatePath,
    sheet: request.sheetPath,
    sheetName: '',
    output: request.output,
    outputKind: request.outputKind,
    rows: 0,
    written: [],
    warnings: [],
    errors: [],
    error: null,
    stopped: false,
    cancelled: false,
  }
}

/** Fields that name files must be columns of the sheet, or every name would lose that part. */
function checkNameFields(options, headers) {
  const unknown = (options.selectedFields || []).filter((f) => !headers.includes(f))
  if (unknown.length) throw new AppError('batch.errUnknownField', { detail: unknown.join(', ') })
}

async function openInputs(request) {
  if (request.templateReadError) throw new AppError('batch.errReadFailed', { detail: `${request.templatePath}: ${request.templateReadError}` })
  const template = await readTemplate(request.templateBytes, request.templateName)
  if (request.sheetReadError) throw new AppError('batch.errReadFailed', { detail: `${request.sheetPath}: ${request.sheetReadError}` })
  const sheet = acceptSheetAnswer(request.sheetAnswer)
  return { template, sheet }
}

/**
 * Generates every row. `request`: { templatePath, templateName, templateBytes, sheetPath, sheetAnswer
 * (JSON from parseSheetInput), options (the page's generation options), output, outputKind
 * ("folder" or "archive"), failFast, templateReadError, sheetReadError }. Never throws: what went
 * wrong is in the summary.
 */
export async function generateAll(request, host) {
  const summary = newSummary(request)
  const options = request.options || {}
  const date = new Date()
  let inputs
  try {
    inputs = await openInputs(request)
    validateJob({ template: inputs.template, records: inputs.sheet.records, options })
    checkNameFields(options, inputs.sheet.headers)
    if (request.outputKind === 'archive' && inputs.sheet.records.length > ARCHIVE_MAX_ENTRIES) throw new AppError('batch.errTooManyFiles')
    // The output is made only once there is something to put into it.
    const outputError = host.openOutput()
    if (outputError) throw new AppError('batch.errOutputFailed', { detail: outputError })
  } catch (err) {
    summary.error = fromError(err, 'generator.errUnknown')
    host.finishOutput(false)
    return summary
  }
  const { template, sheet } = inputs
  summary.sheetName = sheet.sheetName
  summary.rows = sheet.records.length
  const { missing } = compareFields(template.placeholders, sheet.headers)
  if (missing.length) {
    summary.warnings.push({ ...problem('generator.warnPlaceholderMissing', { params: { count: missing.length, fields: missing.join(', ') } }), fields: missing })
  }

  const renderer = createDocumentRenderer(template)
  const imageOpts = imageOptionsOf(options)
  const byRow = sheet.images.byRow
  const unique = createNameDeduper()
  const total = sheet.records.length
  for (let i = 0; i < total; i++) {
    if (host.cancelled()) {
      summary.cancelled = true
      break
    }
    const record = sheet.records[i]
    const position = i + 1
    const where = { row: position, sheetRow: record._excelRowNumber }
    let failure = null
    try {
      const bytes = await renderer.generate(record, position, imageOpts, byRow)
      // Names are given to documents that were made, in row order, as in the page's archive.
      const name = wellFormed(unique(buildFileName({ ...record, _rowIndex: position }, options, { templateName: template.templateName, date })))
      const writeError = host.writeDocument(name, bytes)
      if (writeError) failure = problem('lic.fileWriteError', { detail: writeError, ...where, name })
      else summary.written.push({ row: position, name })
    } catch (err) {
      failure = fromError(err, 'generator.errGenerateFailed', where)
    }
    host.progress(position, total)
    if (failure) {
      summary.errors.push(failure)
      if (request.failFast) {
        summary.stopped = position < total
        break
      }
    }
  }
  if (summary.cancelled) summary.error = problem('batch.cancelled')
  else if (!summary.written.length) summary.error = problem('generator.errNothingGenerated', { detail: summary.errors[0]?.detail || '' })

  // An archive is kept only when it is the whole run's; files in a folder are complete one by one.
  const keep = summary.written.length > 0 && (request.outputKind !== 'archive' || (!summary.cancelled && !summary.stopped))
  const finishError = host.finishOutput(keep)
  if (finishError) {
    summary.error = problem('batch.errOutputFailed', { detail: finishError })
    summary.written = []
  } else if (request.outputKind === 'archive' && !keep) {
    summary.written = []
  }
  summary.ok = !summary.error && !summary.errors.length
  summary.exitCode = summary.ok ? EXIT.ok : summary.written.length ? EXIT.rowsFailed : EXIT.failed
  return summary
}
