import { describe, expect, it } from 'vitest'
import { Worker } from 'node:worker_threads'
import JSZip from 'jszip'
import { readSheet } from '../src/lib/sheet.js'
import { parseSheetBytes } from '../src/lib/sheetCore.js'
import { readTemplate } from '../src/lib/template.js'
import { makeWorkbook } from './fixtures/xlsx.js'

/** A workbook whose names and relationship ids try to reach Object.prototype. */
async function craftedWorkbook() {
  const base = makeWorkbook([['__proto__', 'constructor', 'toString', 'Name'], ['{"polluted":1}', 'x', 'y', 'Ann']])
  const zip = await JSZip.loadAsync(base)
  const rels = await zip.file('xl/_rels/workbook.xml.rels').async('string')
  zip.file('xl/_rels/workbook.xml.rels', rels.replace('</Relationships>', '<Relationship Id="__proto__" Type="x" Target="polluted"/></Relationships>'))
  const wb = await zip.file('xl/workbook.xml').async('string')
  zip.file('xl/workbook.xml', wb.replace('<sheets>', '<definedNames><definedName name="__proto__">1</definedName></definedNames><sheets>'))
  return zip.generateAsync({ type: 'uint8array' })
}

function parseHardened(bytes) {
  return new Promise((resolve, reject) => {
    const copy = bytes.slice()
    const w = new Worker(new URL('./fixtures/hardenedParse.mjs', import.meta.url), { workerData: { bytes: copy.buffer }, transferList: [copy.buffer] })
    w.once('message', (m) => {
      w.terminate()
      resolve(m)
    })
    w.once('error', reject)
  })
}

describe('hostile spreadsheets', () => {
  it('keeps dangerous header names as plain own fields and leaves Object.prototype alone', async () => {
    const sheet = await readSheet(await craftedWorkbook(), 'crafted.xlsx', { parse: parseSheetBytes })
    const rec = sheet.records[0]
    expect(sheet.headers).toEqual(['__proto__', 'constructor', 'toString', 'Name'])
    expect(Object.getPrototypeOf(rec)).toBe(Object.prototype)
    expect(Object.getOwnPropertyDescriptor(rec, '__proto__').value).toBe('{"polluted":1}')
    expect(rec.constructor).toBe('x')
    expect({}.polluted).toBeUndefined()
    expect(Object.prototype.hasOwnProperty.call(Object.prototype, 'polluted')).toBe(false)
  })
  it('parses inside a hardened realm where the shared prototypes cannot be changed', async () => {
    const m = await parseHardened(await craftedWorkbook())
    expect(m.direct).toBe('TypeError')
    expect(m.polluted).toBeNull()
    expect(m.answer.ok).toBe(true)
    expect(m.answer.headers).toContain('Name')
    expect(m.answer.first.Name).toBe('Ann')
  })
  it('reports empty sheets and sheets without a header as such inside the hardened realm', async () => {
    const headerOnly = await parseHardened(makeWorkbook([['Name', 'City']]))
    expect(headerOnly.answer).toMatchObject({ ok: false, key: 'generator.errExcelEmpty' })
    expect(headerOnly.answer.detail || '').not.toMatch(/read only|read-only/i)
    expect((await parseHardened(makeWorkbook([]))).answer.key).toBe('generator.errExcelEmpty')
    expect((await parseHardened(makeWorkbook([['', ''], ['x', 'y']]))).answer.key).toBe('generator.errExcelNoHeader')
  })
  it('gives translated errors for random bytes and for a ZIP that is not a workbook', async () => {
    const noise = new Uint8Array(4096).map((_, i) => (i * 7919) % 251)
    let key
    try {
      await readSheet(noise, 'noise.xlsx', { parse: parseSheetBytes })
    } catch (e) {
      key = e.key
    }
    expect(key).toBe('generator.errExcelCorrupted')
    const zip = new JSZip()
    zip.file('hello.txt', 'hi')
    const r2 = await parseSheetBytes(await zip.generateAsync({ type: 'uint8array' }))
    expect(r2.ok).toBe(false)
    expect(r2.key).toMatch(/^generator\./)
  })
  it('refuses a template whose document part is garbage', async () => {
    const zip = new JSZip()
    zip.file('[Content_Types].xml', '<Types/>')
    zip.file('word/document.xml', '<w:document><w:body><w:p><w:r><w:t>{a}</w:t>')
    let key
    try {
      await readTemplate(await zip.generateAsync({ type: 'uint8array' }), 'broken.docx')
    } catch (e) {
      key = e.key
    }
    expect(key).toMatch(/^generator\.errWord(Corrupted|Protected)|^generator\.errTemplateSyntax/)
  })
})
