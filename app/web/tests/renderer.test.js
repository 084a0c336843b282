// The renderer used for whole runs compiles a template once, folds fixed paragraphs away and copies
// unchanged parts; every document it makes must equal the one a freshly compiled engine makes.
import { afterEach, describe, expect, it, vi } from 'vitest'
import PizZip from 'pizzip'
import { createDocumentRenderer, generateForRecord } from '../src/lib/generate.js'
import { readTemplate } from '../src/lib/template.js'
import { makeDocx, tinyPng } from './fixtures/docx.js'
import { makeRichDocx, RICH_FIELDS } from './fixtures/richDocx.js'

/** Every file of a package: XML as text, anything else as Base64. Folder entries are left out. */
function parts(bytes) {
  const zip = new PizZip(bytes)
  const out = {}
  for (const name of Object.keys(zip.files).sort()) {
    const f = zip.files[name]
    if (f.dir) continue
    out[name] = /\.(xml|rels)$/.test(name) ? f.asText() : Buffer.from(f.asUint8Array()).toString('base64')
  }
  return out
}

const keyOf = async (p) => {
  try {
    await p
  } catch (e) {
    return e.key
  }
  return 'no error'
}

/** Fills every record both ways and compares the packages part by part. */
async function expectSameAsFresh(templateBytes, records, imageOpts = {}, byRow = null) {
  const template = await readTemplate(templateBytes, 'T.docx')
  const renderer = createDocumentRenderer(template)
  const outputs = []
  for (const [i, record] of records.entries()) {
    const reused = await renderer.generate(record, i + 1, imageOpts, byRow)
    const fresh = generateForRecord(template, record, i + 1, imageOpts, byRow)
    expect(parts(reused), `row ${i + 1}`).toEqual(parts(fresh))
    outputs.push(reused)
  }
  // The shared engine did the work; no row quietly went the slow way.
  expect(renderer.counts).toEqual({ shared: records.length, single: 0 })
  return outputs
}

const bodyText = (bytes) => new PizZip(bytes).file('word/document.xml').asText()
const p = (text, { preserve = true } = {}) => `<w:p><w:r><w:t${preserve ? ' xml:space="preserve"' : ''}>${text}</w:t></w:r></w:p>`

afterEach(() => vi.unstubAllGlobals())

describe('filling many rows from one compiled template', () => {
  it('fills the realistic template like a fresh engine, row after row', async () => {
    const records = [
      { Name: 'Ann Lee', City: 'Oslo', Course: 'Safety', Date: '2024-05-01', Score: '91', Ref: 'R-1', _excelRowNumber: 2 },
      { Name: 'Zoë & <Co>', City: 'Line 1\nLine 2', Course: '', Date: '2024-05-02', Score: '0', Ref: 'R-2', _excelRowNumber: 3 },
      { Name: '陈 "quoted"', City: 'Xi:an', _excelRowNumber: 5 },
    ]
    const [first, second, third] = await expectSameAsFresh(makeRichDocx(), records)
    expect(bodyText(first)).toContain('>Ann Lee<')
    expect(bodyText(first)).toContain('>R-1<')
    expect(new PizZip(first).file('word/header1.xml').asText()).toContain('>R-1<')
    expect(bodyText(second)).toContain('Zoë &amp; &lt;Co&gt;')
    expect(bodyText(second)).toMatch(/Line 1<\/w:t><\/w:r><w:r>.*?<w:br\/><\/w:r>/)
    expect(bodyText(third)).toContain('>陈 &quot;quoted&quot;<')
    for (const doc of [first, second, third]) expect(bodyText(doc)).not.toMatch(/[{}]|data-keep/)
    expect(RICH_FIELDS).toHaveLength(6)
  })

  it('keeps the fixed parts of the template byte for byte and stays a valid package', async () => {
    const bytes = makeRichDocx()
    const template = await readTemplate(bytes, 'T.docx')
    const out = await createDocumentRenderer(template).generate({ Name: 'A', _excelRowNumber: 2 }, 1, {}, null)
    const before = parts(bytes)
    const after = parts(out)
    expect(Object.keys(after)).toEqual(Object.keys(before))
    for (const name of ['word/styles.xml', 'word/settings.xml', 'word/theme/theme1.xml', 'word/footer1.xml', 'docProps/app.xml']) {
      expect(after[name], name).toBe(before[name])
    }
    // The body: every fixed paragraph is back; what differs is where the placeholders were.
    const paragraphs = (xml) => xml.match(/<w:p [^>]*>.*?<\/w:p>/g)
    const kept = paragraphs(before['word/document.xml']).filter((para) => !/[{}]/.test(para))
    const body = after['word/document.xml']
    expect(kept.length).toBeGreaterThan(50)
    for (const para of kept) expect(body).toContain(para)
  })

  it('repeats and drops fixed paragraphs inside loops and conditions', async () => {
    const template = makeDocx(['Intro text', '{#items}', 'Item {name}', 'Fixed line inside the loop', '{/items}', '{#show}Shown {label}{/show}', 'Closing text'])
    const [two, none] = await expectSameAsFresh(template, [
      { items: [{ name: 'a' }, { name: 'b' }], show: true, label: 'yes' },
      { items: [], show: '', label: 'no' },
    ])
    expect(bodyText(two).match(/Fixed line inside the loop/g)).toHaveLength(2)
    expect(bodyText(none)).not.toContain('Fixed line inside the loop')
    expect(bodyText(none)).toContain('Closing text')
  })

  it('handles table rows, text boxes, section breaks and text without space markers', async () => {
    const cell = (inner) => `<w:tc><w:tcPr><w:tcW w:w="2000" w:type="dxa"/></w:tcPr>${inner}</w:tc>`
    const table =
      '<w:tbl><w:tblPr><w:tblW w:w="4000" w:type="dxa"/></w:tblPr><w:tblGrid><w:gridCol w:w="2000"/><w:gridCol w:w="2000"/></w:tblGrid>' +
      `<w:tr>${cell(p('Head'))}${cell(p('Fixed head'))}</w:tr>` +
      `<w:tr>${cell(p('{#rows}{x}'))}${cell(p('fixed cell') + p('{/rows}'))}</w:tr>` +
      '</w:tbl>'
    const textBox = (inner) =>
      `<w:p><w:r><w:pict><v:shape xmlns:v="urn:schemas-microsoft-com:vml"><v:textbox><w:txbxContent>${inner}</w:txbxContent></v:textbox></v:shape></w:pict></w:r></w:p>`
    const sectionBreak = '<w:p><w:pPr><w:sectPr><w:pgSz w:w="11906" w:h="16838"/></w:sectPr></w:pPr><w:r><w:t>Section one ends</w:t></w:r></w:p>'
    const body = [
      p('  leading and trailing spaces  ', { preserve: false }),
      table,
      p('After the table'),
      textBox(p('Fixed text in a box')),
      textBox(p('Box for {who}')),
      '{#parts}',
      sectionBreak,
      '{/parts}',
      p('{#parts}') + sectionBreak + p('{/parts}'),
      '<w:p/>',
      p('Last'),
    ].join('')
    await expectSameAsFresh(makeDocx([], { body }), [
      { rows: [{ x: 1 }, { x: 2 }, { x: 3 }], who: 'me', parts: [{}, {}] },
      { rows: [], who: '', parts: [] },
    ])
  })

  it('treats a placeholder cut across paragraphs like the engine does', async () => {
    // The engine reads one tag across the three paragraphs. The middle one has no braces, but it
    // sits inside an open placeholder and must not be folded away.
    const template = makeDocx(['Start', '{Na', 'middle', 'me}', 'End'])
    expect((await readTemplate(template, 'T.docx')).placeholders).toEqual(['Namiddleme'])
    const [doc] = await expectSameAsFresh(template, [{ Name: 'x', Namiddleme: 'joined' }])
    expect(bodyText(doc)).toContain('>joined<')
    expect(bodyText(doc)).not.toContain('middle')
  })

  it('fills headers, and templates without any placeholder', async () => {
    await expectSameAsFresh(makeDocx(['Body {A}', 'Fixed'], { headerXml: p('Header fixed') + p('Header {B}') }), [{ A: '1', B: '2' }, { A: '3', B: '' }])
    const [plain] = await expectSameAsFresh(makeDocx(['Nothing to fill', 'at all']), [{ A: '1' }, { A: '2' }])
    expect(bodyText(plain)).toContain('Nothing to fill')
  })

  it('puts each row its own pictures, and none into rows without', async () => {
    const template = makeDocx(['Name {Name}', 'Fixed text', '{%photo}', 'More fixed text'])
    const byRow = { 2: { B: { bytes: tinyPng(3) } }, 4: { B: { bytes: tinyPng(8) } } }
    const opts = { imageColumns: ['B'], imageColumnTags: { B: 'photo' }, imageColumnSizes: { B: { width: 40, height: 20 } } }
    const outputs = await expectSameAsFresh(
      template,
      [
        { Name: 'with', _excelRowNumber: 2 },
        { Name: 'without', _excelRowNumber: 3 },
        { Name: 'other', _excelRowNumber: 4 },
      ],
      opts,
      byRow
    )
    const media = (bytes) => Object.keys(new PizZip(bytes).files).filter((n) => n.startsWith('word/media/'))
    expect(outputs.map((o) => media(o).length)).toEqual([1, 0, 1])
    const stored = (bytes) => new PizZip(bytes).file(media(bytes)[0]).asUint8Array()
    expect(Array.from(stored(outputs[0]))).toEqual(Array.from(tinyPng(3)))
    expect(Array.from(stored(outputs[2]))).toEqual(Array.from(tinyPng(8)))
  })

  it('reports a failing row and goes on with the shared engine for the next rows', async () => {
    const template = await readTemplate(makeDocx(['{#items}{x}{/items}', 'Fixed']), 'Loop.docx')
    const renderer = createDocumentRenderer(template)
    // The engine itself fails on this row: reading the loop item's value throws.
    const item = {}
    Object.defineProperty(item, 'x', { enumerable: true, get: () => { throw new Error('bad value') } })
    const bad = { items: [item], _excelRowNumber: 3 }
    const good = (x) => ({ items: [{ x }], _excelRowNumber: 2 })
    const first = await renderer.generate(good('one'), 1, {}, null)
    expect(await keyOf(renderer.generate(bad, 2, {}, null))).toBe('generator.errGenerateFailed')
    const third = await renderer.generate(good('three'), 3, {}, null)
    expect(bodyText(first)).toContain('>one<')
    expect(parts(third)).toEqual(parts(generateForRecord(template, good('three'), 3, {}, null)))
    expect(renderer.counts).toEqual({ shared: 2, single: 1 })
  })

  it('writes packages with the ZIP library where the browser has no native deflate', async () => {
    vi.stubGlobal('CompressionStream', undefined)
    const [doc] = await expectSameAsFresh(makeRichDocx(), [{ Name: 'No native', Ref: 'R-9' }])
    expect(bodyText(doc)).toContain('>No native<')
  })
})
