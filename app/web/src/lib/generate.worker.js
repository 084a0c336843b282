// Fills rows of one template away from the page, so that several cores share a long run.
// Messages in: { template, imageOpts, byRow } once, then { rows: [{ record, position }] } batches.
// Messages out, one per batch: { results: [{ position, bytes } | { position, error: { key, detail } }] }.
import { createDocumentRenderer } from './generate.js'
import { toAppError } from './errors.js'

let job = null

self.onmessage = async (event) => {
  const message = event.data
  if (message.template) {
    job = { renderer: createDocumentRenderer(message.template), imageOpts: message.imageOpts, byRow: message.byRow }
    return
  }
  const results = []
  for (const { record, position } of message.rows) {
    try {
      results.push({ position, bytes: await job.renderer.generate(record, position, job.imageOpts, job.byRow) })
    } catch (err) {
      const e = toAppError(err, 'generator.errGenerateFailed')
      results.push({ position, error: { key: e.key, detail: e.detail } })
    }
  }
  // Each package is handed over, not copied; one that shares its buffer is copied first.
  for (const r of results) {
    if (r.bytes && (r.bytes.byteOffset !== 0 || r.bytes.byteLength !== r.bytes.buffer.byteLength)) r.bytes = r.bytes.slice()
  }
  self.postMessage({ results }, results.filter((r) => r.bytes).map((r) => r.bytes.buffer))
}
