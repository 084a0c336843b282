import { describe, expect, it } from 'vitest'
import PizZip from 'pizzip'
import { buildRecordData, generateForRecord, pictureFor, renderDocument, sizeFor } from '../src/lib/generate.js'
import { readTemplate } from '../src/lib/template.js'
import { bytesToBase64 } from '../src/lib/bytes.js'
import { makeDocx, tinyPng } from './fixtures/docx.js'

const documentXml = (bytes) => new PizZip(bytes).file('word/document.xml').asText()
const media = (bytes) => Object.keys(new PizZip(bytes).files).filter((p) => p.startsWith('word/media/'))
const EMU = 9525

describe('record data', () => {
  const byRow = { 2: { B: { bytes: tinyPng(1) }, C: { bytes: tinyPng(2) } }, 3: { B: { bytes: tinyPng(3) } } }
  const opts = { imageColumns: ['B', 'C'], imageColumnTags: { B: 'photo' }, imageColumnSizes: { C: { width: 40, height: 30 } }, imageWidth: 80 }

  it('copies the record and adds _rowIndex without touching the original', () => {
    const rec = { Name: 'Ann', _excelRowNumber: 2 }
    const data = buildRecordData(rec, 1)
    expect(data).toEqual({ Name: 'Ann', _excelRowNumber: 2, _rowIndex: 1 })
    expect(rec).not.toHaveProperty('_rowIndex')
  })
  it('injects the pictures of the record row under the configured tags', () => {
    const data = buildRecordData({ Name: 'Ann', _excelRowNumber: 2 }, 1, opts, byRow)
    expect(data.photo).toBe('1')
    expect(data._image_photo).toBe(byRow[2].B.bytes)
    expect(data.image).toBe('1') // column C has no tag of its own
    expect(data._image_image).toBe(byRow[2].C.bytes)
    expect(data._imageWidth_image).toBe(40)
    expect(data._imageHeight_image).toBe(30)
    expect(data._image).toBe(byRow[2].C.bytes) // the "image" tag wins over the main column, being later
    expect(data._imageWidth).toBe(80)
    expect(data._imageHeight).toBe(150)
  })
  it('uses the main column for _image and skips columns without a picture', () => {
    const data = buildRecordData({ _excelRowNumber: 3 }, 2, opts, byRow)
    expect(data._image).toBe(byRow[3].B.bytes)
    expect(data).not.toHaveProperty('image')
  })
  it('falls back to position + 1 for records without a sheet row number', () => {
    const data = buildRecordData({ Name: 'x' }, 2, opts, byRow)
    expect(data._image_photo).toBe(byRow[3].B.bytes)
  })
  it('adds nothing when the row has no pictures', () => {
    const data = buildRecordData({ _excelRowNumber: 9 }, 8, opts, byRow)
    expect(Object.keys(data).filter((k) => k.startsWith('_image'))).toEqual([])
  })
  it('finds pictures and sizes through the fallbacks', () => {
    const png = tinyPng(5)
    expect(pictureFor({ _imageBytes: png }, 'x')).toBe(png)
    expect(Array.from(pictureFor({ image: 'data:image/png;base64,' + bytesToBase64(png) }, 'x'))).toEqual(Array.from(png))
    expect(pictureFor({}, 'x')).toBeNull()
    expect(sizeFor({ _imageWidth_x: 10, _imageHeight_x: 20 }, 'x')).toEqual([10, 20])
    expect(sizeFor({ _imageWidth: 60, _imageHeight: 70 }, 'x')).toEqual([60, 70])
    expect(sizeFor({}, 'x')).toEqual([150, 150])
  })
})

describe('rendering real documents', () => {
  it('fills values, turns line breaks into breaks and leaves unknown placeholders empty', async () => {
    const template = await readTemplate(makeDocx(['Dear {Name},', 'Address: {Address}', 'Code [{Unknown}]']), 'Letter.docx')
    const out = generateForRecord(template, { Name: 'Zoë & <Co>', Address: 'Line 1\nLine 2', _excelRowNumber: 2 }, 1, {}, null)
    expect(out[0]).toBe(0x50)
    const xml = documentXml(out)
    expect(xml).toContain('Dear Zoë &amp; &lt;Co&gt;,')
    expect(xml).toMatch(/Line 1<\/w:t><\/w:r><w:r><w:br\/><\/w:r><w:r><w:t[^>]*>Line 2/)
    expect(xml).toContain('Code []')
    expect(xml).not.toContain('{')
  })
  it('puts sheet pictures into the package at the configured size', async () => {
    const template = await readTemplate(makeDocx(['{Name}', '{%photo}', '{%image}']), 'Card.docx')
    const byRow = { 2: { B: { bytes: tinyPng(7) }, C: { bytes: tinyPng(9) } } }
    const opts = { imageColumns: ['B', 'C'], imageColumnTags: { B: 'photo', C: 'image' }, imageColumnSizes: { B: { width: 100, height: 50 } } }
    const out = generateForRecord(template, { Name: 'Ann', _excelRowNumber: 2 }, 1, opts, byRow)
    const zip = new PizZip(out)
    const files = media(out)
    expect(files).toHaveLength(2)
    const stored = files.map((f) => Array.from(zip.file(f).asUint8Array()).length).sort()
    expect(stored).toEqual([tinyPng(7).length, tinyPng(9).length].sort())
    const xml = documentXml(out)
    expect(xml).toContain(`cx="${100 * EMU}" cy="${50 * EMU}"`)
    expect(xml).toContain(`cx="${150 * EMU}" cy="${150 * EMU}"`)
    expect(xml).toContain('>Ann<')
  })
  it('leaves an image tag empty for a row without a picture', async () => {
    const template = await readTemplate(makeDocx(['{Name}', '{%photo}', '{%logo}']), 'Card.docx')
    const byRow = { 2: { B: { bytes: tinyPng(1) } } }
    const opts = { imageColumns: ['B'], imageColumnTags: { B: 'photo' } }
    const withPic = generateForRecord(template, { Name: 'A', _excelRowNumber: 2 }, 1, opts, byRow)
    // {%logo} has no value in this record, so it stays empty.
    expect(media(withPic)).toHaveLength(1)
    // With a value but no picture of its own it takes _image, the main column's picture.
    const fallback = generateForRecord(template, { Name: 'A', logo: 'yes', _excelRowNumber: 2 }, 1, opts, byRow)
    expect(media(fallback)).toHaveLength(2)
    const without = generateForRecord(template, { Name: 'B', logo: 'text', _excelRowNumber: 3 }, 2, opts, byRow)
    expect(media(without)).toHaveLength(0)
    expect(documentXml(without)).toContain('>B<')
  })
  it('reports rendering failures as errGenerateFailed with the engine message', () => {
    const bytes = makeDocx(['{#list}{x}'])
    let error
    try {
      renderDocument(bytes, { list: [] })
    } catch (e) {
      error = e
    }
    expect(error?.key).toMatch(/generator\.(errGenerateFailed|errTemplateSyntax)/)
    let error2
    try {
      generateForRecord({ bytes, imageTags: [] }, { list: [] }, 1, {}, null)
    } catch (e) {
      error2 = e
    }
    expect(error2?.key).toBe('generator.errGenerateFailed')
    expect(error2.detail).toMatch(/list|unclosed|Unclosed/i)
  })
})
