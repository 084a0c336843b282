import { describe, expect, it } from 'vitest'
import JSZip from 'jszip'
import PizZip from 'pizzip'
import { generateArchive, packArchive, archiveName, overallPercent } from '../src/lib/archive.js'
import { exportToFolder, exportOutcome } from '../src/lib/exportFiles.js'
import { readTemplate } from '../src/lib/template.js'
import { base64ToBytes } from '../src/lib/bytes.js'
import { makeDocx } from './fixtures/docx.js'

const template = await readTemplate(makeDocx(['Name: {Name}', 'City: {City}']), 'Form.docx')
const records = (n) => Array.from({ length: n }, (_, i) => ({ Name: `Person ${i + 1}`, City: `City ${i + 1}`, _excelRowNumber: i + 2 }))
const docText = (bytes) => new PizZip(bytes).file('word/document.xml').asText()
const keyOf = async (p) => {
  try {
    await p
  } catch (e) {
    return e.key
  }
  return 'no error'
}

/** Compression method of every local file header of a ZIP (0 = stored). */
function compressionMethods(bytes) {
  const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength)
  const out = []
  for (let i = 0; i + 30 <= bytes.length; ) {
    if (view.getUint32(i, true) !== 0x04034b50) break
    out.push(view.getUint16(i + 8, true))
    const size = view.getUint32(i + 18, true)
    i += 30 + view.getUint16(i + 26, true) + view.getUint16(i + 28, true) + size
  }
  return out
}

describe('archive', () => {
  it('holds one stored document per record with the right names and contents', async () => {
    const progress = []
    const out = await generateArchive({
      template,
      records: records(3),
      options: { namingRule: 'custom', selectedFields: ['Name'] },
      onProgress: (p) => progress.push(p),
      date: new Date(2024, 0, 2, 3, 4, 5),
    })
    expect(out.name).toBe('Form_20240102-030405.zip')
    expect(out.failed).toEqual([])
    expect(compressionMethods(out.bytes)).toEqual([0, 0, 0])
    const zip = await JSZip.loadAsync(out.bytes)
    const names = Object.keys(zip.files).sort()
    expect(names).toEqual(['Person 1.docx', 'Person 2.docx', 'Person 3.docx'])
    const doc2 = await zip.file('Person 2.docx').async('uint8array')
    expect(docText(doc2)).toContain('Name: Person 2')
    expect(docText(doc2)).toContain('City: City 2')
    const gen = progress.filter((p) => p.phase === 'generating').map((p) => p.percent)
    const pack = progress.filter((p) => p.phase === 'packaging').map((p) => p.percent)
    expect(Math.min(...gen)).toBe(20)
    expect(Math.max(...gen)).toBe(95)
    expect(Math.min(...pack)).toBeGreaterThanOrEqual(95)
    expect(Math.max(...pack)).toBe(100)
    expect(progress.findIndex((p) => p.phase === 'packaging')).toBeGreaterThan(progress.findLastIndex((p) => p.phase === 'generating'))
  })
  it('never moves the progress bar backwards, from the first row to the packed archive', async () => {
    const progress = []
    await generateArchive({ template, records: records(250), options: {}, onProgress: (p) => progress.push(p) })
    const percents = progress.map((p) => p.percent)
    expect(percents.length).toBeGreaterThan(3)
    for (let i = 1; i < percents.length; i++) expect(percents[i], `step ${i} of ${JSON.stringify(progress)}`).toBeGreaterThanOrEqual(percents[i - 1])
    expect(progress.some((p) => p.phase === 'packaging' && p.current === 100 && p.percent > 95 && p.percent < 100)).toBe(true)
    expect(percents.at(-1)).toBe(100)
  })
  it('places every phase on the bar after the one before', () => {
    expect(overallPercent('generating', 0, 10)).toBe(20)
    expect(overallPercent('generating', 10, 10)).toBe(95)
    expect(overallPercent('packaging', 0, 10)).toBe(95)
    expect(overallPercent('packaging', 5, 10)).toBe(98)
    expect(overallPercent('packaging', 10, 10)).toBe(100)
  })
  it('skips rows that fail and lists them by position', async () => {
    const t = await readTemplate(makeDocx(['{#items}{x}{/items}']), 'Loop.docx')
    const recs = [{ items: '', _excelRowNumber: 2 }, { items: '', _excelRowNumber: 3 }]
    // A record whose data makes the engine throw: a getter that fails while rendering.
    Object.defineProperty(recs[1], 'items', { enumerable: true, get() { throw new Error('bad value') } })
    const out = await generateArchive({ template: t, records: recs, options: {} })
    expect(out.files).toEqual(['Loop_1.docx'])
    expect(out.failed.map((f) => [f.position, f.message])).toEqual([[2, 'generator.errGenerateFailed']])
  })
  it('yields to the page every 100 files while packing', async () => {
    const files = Array.from({ length: 250 }, (_, i) => ({ name: `f${i}.txt`, bytes: new Uint8Array([i % 256]) }))
    const counts = []
    const bytes = await packArchive(files, { onProgress: (p) => counts.push(p.current) })
    expect(counts.slice(0, 3)).toEqual([100, 200, 250])
    expect(Object.keys((await JSZip.loadAsync(bytes)).files)).toHaveLength(250)
  })
  it('stops packing after the time-out with errZipTimeout', async () => {
    const files = Array.from({ length: 300 }, (_, i) => ({ name: `f${i}.bin`, bytes: new Uint8Array(200) }))
    // A clock that moves on a minute each time it is read.
    let t = 0
    const now = () => (t += 60000)
    expect(await keyOf(packArchive(files, { timeoutMs: 150000, now }))).toBe('generator.errZipTimeout')
    t = 0
    expect(await keyOf(packArchive(files.slice(0, 50), { timeoutMs: 150000, now }))).toBe('no error')
  })
  it('names the archive after the template', () => {
    expect(archiveName('A/B', new Date(2024, 11, 31, 23, 59, 58))).toBe('A_B_20241231-235958.zip')
  })
  it('needs a template, records and, for the custom rule, fields', async () => {
    expect(await keyOf(generateArchive({ template: null, records: records(1) }))).toBe('generator.needTemplate')
    expect(await keyOf(generateArchive({ template, records: [] }))).toBe('generator.needSheet')
    expect(await keyOf(generateArchive({ template, records: records(1), options: { namingRule: 'custom', selectedFields: [] } }))).toBe('generator.selectFieldsPlaceholder')
  })
})

function fakeHost(answers = {}) {
  const calls = []
  return {
    calls,
    async saveDocxFile(name, data) {
      calls.push({ name, data })
      if (answers[name] !== undefined) return answers[name]
      return JSON.stringify({ success: true, message: 'lic.saveSuccess', path: `/out/${name}` })
    },
  }
}

describe('export file by file', () => {
  it('hands each document to the host as Base64 with its name, in order', async () => {
    const host = fakeHost()
    const progress = []
    const out = await exportToFolder({ template, records: records(3), options: {}, host, saveDir: '/out', onProgress: (p) => progress.push(p) })
    expect(host.calls.map((c) => c.name)).toEqual(['Form_1.docx', 'Form_2.docx', 'Form_3.docx'])
    expect(docText(base64ToBytes(host.calls[2].data))).toContain('Name: Person 3')
    expect(out.saved).toEqual([
      { name: 'Form_1.docx', path: '/out/Form_1.docx' },
      { name: 'Form_2.docx', path: '/out/Form_2.docx' },
      { name: 'Form_3.docx', path: '/out/Form_3.docx' },
    ])
    expect(progress.map((p) => [p.percent, p.current, p.total])).toEqual([[33, 1, 3], [67, 2, 3], [100, 3, 3]])
    expect(exportOutcome(out).key).toBe('generator.streamComplete')
  })
  it('counts failing answers as failed rows with the host message', async () => {
    const host = fakeHost({ 'Form_2.docx': JSON.stringify({ success: false, message: 'lic.fileWriteFailed' }), 'Form_3.docx': 'not json' })
    const out = await exportToFolder({ template, records: records(3), options: {}, host, saveDir: '/out' })
    expect(out.saved.map((s) => s.name)).toEqual(['Form_1.docx'])
    expect(out.failed.map((f) => [f.position, f.message])).toEqual([[2, 'lic.fileWriteFailed'], [3, 'not json']])
    expect(exportOutcome(out).key).toBe('generator.streamPartial')
  })
  it('reports no files saved when every answer fails, and errUnknown for a thrown call', async () => {
    const host = { saveDocxFile: async () => { throw new Error('bridge gone') } }
    const out = await exportToFolder({ template, records: records(2), options: {}, host, saveDir: '/out' })
    expect(out.failed.map((f) => f.message)).toEqual(['generator.errUnknown', 'generator.errUnknown'])
    expect(exportOutcome(out).key).toBe('generator.streamNoFilesSaved')
  })
  it('stops when cancelled', async () => {
    const host = fakeHost()
    let n = 0
    const out = await exportToFolder({ template, records: records(5), options: {}, host, saveDir: '/out', isCancelled: () => n++ >= 2 })
    expect(host.calls).toHaveLength(2)
    expect(out.cancelled).toBe(true)
    expect(exportOutcome(out).kind).toBe('partial')
  })
  it('needs a save folder', async () => {
    expect(await keyOf(exportToFolder({ template, records: records(1), options: {}, host: fakeHost(), saveDir: '' }))).toBe('generator.needSaveDir')
  })
})
