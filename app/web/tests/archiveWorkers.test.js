// Archive runs spread over workers: results keep row order, a failing worker hands the job back to
// the page, and cancelling stops the workers. A stand-in Worker runs the batches in-process.
import { afterEach, describe, expect, it, vi } from 'vitest'
import JSZip from 'jszip'
import PizZip from 'pizzip'
import { generateArchive } from '../src/lib/archive.js'
import { createDocumentRenderer } from '../src/lib/generate.js'
import { readTemplate } from '../src/lib/template.js'
import { makeDocx } from './fixtures/docx.js'

const template = await readTemplate(makeDocx(['Name: {Name}', 'Team: {Team}']), 'Roster.docx')
const docText = (bytes) => new PizZip(bytes).file('word/document.xml').asText()

/** Answers each batch after a delay that varies by batch, so answers arrive out of order. */
class FakeWorker {
  static made = []
  static crashAt = 0
  constructor(url, options) {
    this.url = String(url)
    this.options = options
    this.batches = 0
    this.terminated = false
    FakeWorker.made.push(this)
  }
  postMessage(message) {
    if (message.template) {
      this.job = { renderer: createDocumentRenderer(message.template), imageOpts: message.imageOpts, byRow: message.byRow }
      return
    }
    this.batches++
    const first = message.rows[0].position
    setTimeout(async () => {
      if (this.terminated) return
      if (FakeWorker.crashAt && message.rows.some((r) => r.position === FakeWorker.crashAt)) {
        this.onerror?.({ preventDefault() {}, message: 'worker crashed' })
        return
      }
      const results = []
      for (const { record, position } of message.rows) {
        try {
          results.push({ position, bytes: await this.job.renderer.generate(record, position, this.job.imageOpts, this.job.byRow) })
        } catch (e) {
          results.push({ position, error: { key: e.key, detail: e.detail } })
        }
      }
      if (!this.terminated) this.onmessage?.({ data: { results } })
    }, (first * 7) % 5)
  }
  terminate() {
    this.terminated = true
  }
}

afterEach(() => {
  vi.unstubAllGlobals()
  FakeWorker.made = []
  FakeWorker.crashAt = 0
})

const team = (n) => Array.from({ length: n }, (_, i) => ({ Name: `P${i + 1}`, Team: i % 2 ? 'Red' : 'Blue', _excelRowNumber: i + 2 }))

describe('archives made in workers', () => {
  it('keep row order and name repeated names in row order, whatever order batches come back in', async () => {
    vi.stubGlobal('Worker', FakeWorker)
    const progress = []
    const out = await generateArchive({
      template,
      records: team(30),
      options: { namingRule: 'custom', selectedFields: ['Team'] },
      workers: 2,
      onProgress: (p) => progress.push(p),
    })
    expect(FakeWorker.made).toHaveLength(2)
    expect(FakeWorker.made.every((w) => w.options?.type === 'module' && /generate\.worker/.test(w.url))).toBe(true)
    expect(FakeWorker.made.every((w) => w.batches > 1 && w.terminated)).toBe(true)
    expect(out.files.slice(0, 4)).toEqual(['Blue.docx', 'Red.docx', 'Blue (2).docx', 'Red (2).docx'])
    const zip = await JSZip.loadAsync(out.bytes)
    expect(docText(await zip.file('Blue (2).docx').async('uint8array'))).toContain('Name: P3')
    expect(docText(await zip.file('Red (15).docx').async('uint8array'))).toContain('Name: P30')
    const percents = progress.map((p) => p.percent)
    for (let i = 1; i < percents.length; i++) expect(percents[i]).toBeGreaterThanOrEqual(percents[i - 1])
  })
  it('hand the job back to the page when a worker fails', async () => {
    vi.stubGlobal('Worker', FakeWorker)
    FakeWorker.crashAt = 11
    const out = await generateArchive({ template, records: team(20), options: {}, workers: 2 })
    expect(out.files).toHaveLength(20)
    expect(out.failed).toEqual([])
    expect(FakeWorker.made.every((w) => w.terminated)).toBe(true)
    const zip = await JSZip.loadAsync(out.bytes)
    expect(docText(await zip.file('Roster_11.docx').async('uint8array'))).toContain('Name: P11')
  })
  it('list rows the engine refuses, by position', async () => {
    vi.stubGlobal('Worker', FakeWorker)
    const records = team(6)
    const item = {}
    Object.defineProperty(item, 'x', { enumerable: true, get: () => { throw new Error('bad value') } })
    records[3] = { ...records[3], Team: [item] }
    const t = await readTemplate(makeDocx(['{Name}', '{#Team}{x}{/Team}']), 'Loop.docx')
    const out = await generateArchive({ template: t, records, options: {}, workers: 2 })
    expect(out.failed.map((f) => [f.position, f.message])).toEqual([[4, 'generator.errGenerateFailed']])
    expect(out.files).toHaveLength(5)
  })
  it('stop the workers when cancelled', async () => {
    vi.stubGlobal('Worker', FakeWorker)
    let answers = 0
    const run = generateArchive({
      template,
      records: team(60),
      options: {},
      workers: 2,
      onProgress: (p) => p.current > 0 && answers++,
      isCancelled: () => answers >= 2,
    })
    await expect(run).rejects.toMatchObject({ key: 'generator.cancelled' })
    expect(FakeWorker.made.every((w) => w.terminated)).toBe(true)
  })
})
