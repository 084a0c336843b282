import { describe, expect, it } from 'vitest'
import { columnLetter, mimeOf, readSheetImages } from '../src/lib/images.js'
import { parseWorkbook } from '../src/lib/sheetParse.js'
import { makeWorkbook, addPictures, dispImgCell } from './fixtures/xlsx.js'
import { tinyPng } from './fixtures/docx.js'

describe('helpers', () => {
  it('turns column numbers into letters', () => {
    expect([0, 1, 25, 26, 27, 701, 702].map(columnLetter)).toEqual(['A', 'B', 'Z', 'AA', 'AB', 'ZZ', 'AAA'])
  })
  it('knows the MIME types of picture extensions', () => {
    expect(mimeOf('x/a.PNG')).toBe('image/png')
    expect(mimeOf('a.jpg')).toBe('image/jpeg')
    expect(mimeOf('a.jpeg')).toBe('image/jpeg')
    expect(mimeOf('a.gif')).toBe('image/gif')
    expect(mimeOf('a.bmp')).toBe('image/bmp')
    expect(mimeOf('a.tif')).toBe('image/tiff')
    expect(mimeOf('a.tiff')).toBe('image/tiff')
    expect(mimeOf('a.emf')).toBe('')
  })
})

describe('pictures on the sheet', () => {
  it('maps two-cell and one-cell anchors to 1-based rows and column letters', async () => {
    const base = makeWorkbook([['Name', 'Photo', 'Logo'], ['Ann'], ['Bob']])
    const bytes = await addPictures(base, [
      { row0: 1, col0: 1, bytes: tinyPng(1), ext: 'png' },
      { row0: 2, col0: 2, bytes: tinyPng(2), ext: 'jpeg', anchor: 'one' },
    ])
    const { images, byRow, columns } = await readSheetImages(bytes)
    expect(images).toHaveLength(2)
    expect(columns).toEqual(['B', 'C'])
    expect(byRow[2].B.mime).toBe('image/png')
    expect(Array.from(byRow[2].B.bytes)).toEqual(Array.from(tinyPng(1)))
    expect(byRow[3].C.mime).toBe('image/jpeg')
    expect(Array.from(byRow[3].C.bytes)).toEqual(Array.from(tinyPng(2)))
  })
  it('reads in-cell pictures through their DISPIMG cells', async () => {
    const base = makeWorkbook([['Name', 'Photo'], ['Ann', dispImgCell('ID_A')], ['Bob', dispImgCell('ID_B')]])
    const bytes = await addPictures(base, [], [
      { id: 'ID_A', bytes: tinyPng(3) },
      { id: 'ID_B', bytes: tinyPng(4), ext: 'gif' },
    ])
    const parsed = parseWorkbook(bytes)
    expect(parsed.dispImgCells).toEqual(expect.arrayContaining([{ id: 'ID_A', row: 2, col: 'B' }, { id: 'ID_B', row: 3, col: 'B' }]))
    const { byRow } = await readSheetImages(bytes, parsed.dispImgCells)
    expect(Array.from(byRow[2].B.bytes)).toEqual(Array.from(tinyPng(3)))
    expect(byRow[3].B.mime).toBe('image/gif')
  })
  it('leaves the pictures empty when the package cannot be read', async () => {
    const bytes = new Uint8Array([0x50, 0x4b, 1, 2, 3, 4])
    expect(await readSheetImages(bytes)).toEqual({ images: [], byRow: {}, columns: [] })
    expect(await readSheetImages(makeWorkbook([['A'], ['1']], { bookType: 'biff8' }))).toEqual({ images: [], byRow: {}, columns: [] })
  })
})
