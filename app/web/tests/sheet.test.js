import { describe, expect, it } from 'vitest'
import { readSheet, sanitizeAnswer } from '../src/lib/sheet.js'
import { parseSheetBytes } from '../src/lib/sheetCore.js'
import { dedupeHeaders } from '../src/lib/records.js'
import { makeWorkbook, dispImgCell } from './fixtures/xlsx.js'

const read = (bytes, name = 'data.xlsx') => readSheet(bytes, name, { parse: parseSheetBytes })
const keyOf = async (p) => {
  try {
    await p
  } catch (e) {
    return e.key
  }
  return 'no error'
}

describe('headers', () => {
  it('gives repeated headers the suffixes _1, _2', async () => {
    const s = await read(makeWorkbook([['Name', 'Name', 'Name'], ['a', 'b', 'c']]))
    expect(s.headers).toEqual(['Name', 'Name_1', 'Name_2'])
    expect(s.records[0]).toMatchObject({ Name: 'a', Name_1: 'b', Name_2: 'c' })
  })
  it('avoids a generated name that is also a real header', () => {
    expect(dedupeHeaders(['A', 'A', 'A_1'])).toEqual(['A', 'A_2', 'A_1'])
  })
  it('skips empty header cells and takes the header from the used range', async () => {
    const s = await read(makeWorkbook([['Id', '', 'Town'], [1, 'ignored', 'Oslo']], { origin: 'C4' }))
    expect(s.headers).toEqual(['Id', 'Town'])
    expect(s.records).toHaveLength(1)
    expect(s.records[0]).toEqual({ Id: '1', Town: 'Oslo', _excelRowNumber: 5 })
  })
  it('uses the formatted text of cells', async () => {
    const s = await read(makeWorkbook([['Amount'], [{ t: 'n', v: 4.5, z: '0.00' }]]))
    expect(s.records[0].Amount).toBe('4.50')
  })
  it('reads the first worksheet only', async () => {
    const s = await read(makeWorkbook([['First'], ['x']], { extraSheets: [[['Second'], ['y']]] }))
    expect(s.headers).toEqual(['First'])
  })
  it('reads old .xls workbooks', async () => {
    const s = await read(makeWorkbook([['Name'], ['Old']], { bookType: 'biff8' }), 'legacy.xls')
    expect(s.records[0].Name).toBe('Old')
  })
})

describe('rows', () => {
  it('drops empty rows and keeps each record its own sheet row number', async () => {
    const s = await read(makeWorkbook([['A', 'B'], ['1', '2'], ['', ''], [null, null], ['3', '4']]))
    expect(s.records.map((r) => r._excelRowNumber)).toEqual([2, 5])
    expect(s.records.map((r) => r.A)).toEqual(['1', '3'])
  })
  it('gives "" for cells showing a picture through DISPIMG', async () => {
    const s = await read(makeWorkbook([['Name', 'Photo'], ['Ann', dispImgCell('ID_1')]]))
    expect(s.records[0]).toMatchObject({ Name: 'Ann', Photo: '' })
  })
  it('fills missing cells of a row with ""', async () => {
    const s = await read(makeWorkbook([['A', 'B', 'C'], ['x']]))
    expect(s.records[0]).toEqual({ A: 'x', B: '', C: '', _excelRowNumber: 2 })
  })
})

describe('errors', () => {
  it('refuses other file types and large files before reading', async () => {
    expect(await keyOf(read(new Uint8Array(4), 'data.csv'))).toBe('generator.errInvalidExcel')
    const big = { name: 'big.xlsx', size: 50 * 1024 * 1024 + 1, arrayBuffer: async () => new ArrayBuffer(0) }
    expect(await keyOf(readSheet(big, big.name, { parse: parseSheetBytes }))).toBe('generator.sizeError')
  })
  it('reports a sheet without data rows and one without headers', async () => {
    expect(await keyOf(read(makeWorkbook([['A', 'B']])))).toBe('generator.errExcelEmpty')
    expect(await keyOf(read(makeWorkbook([['', ''], ['x', 'y']], { origin: 'A1' })))).toBe('generator.errExcelNoHeader')
  })
  it('reports a sheet without any cell as empty', async () => {
    expect(await keyOf(read(makeWorkbook([])))).toBe('generator.errExcelEmpty')
    expect(await keyOf(read(makeWorkbook([['', ''], ['', '']])))).toBe('generator.errExcelEmpty')
  })
  it('reports a damaged workbook', async () => {
    const bytes = makeWorkbook([['A'], ['1']])
    expect(await keyOf(read(bytes.slice(0, 200)))).toBe('generator.errExcelCorrupted')
  })
})

describe('answers from the parser', () => {
  it('keeps only header columns as strings and plain picture entries', () => {
    const out = sanitizeAnswer({
      headers: ['A', 7],
      records: [{ A: 5, evil: 'x', _excelRowNumber: 3 }],
      images: [{ bytes: 'not bytes', row: 2, col: 'A' }, { bytes: new Uint8Array([1]), row: 2, col: 'B', mime: 'image/png' }],
    })
    expect(out.headers).toEqual(['A'])
    expect(out.records).toEqual([{ A: '5', _excelRowNumber: 3 }])
    expect(out.images.images).toHaveLength(1)
    expect(out.images.byRow[2].B.mime).toBe('image/png')
  })
  it('replaces lone surrogates in cell texts, which no document could hold', () => {
    const out = sanitizeAnswer({ headers: ['Name'], records: [{ Name: 'a\uD800b' }, { Name: '\uD83D\uDE00 \uDE00' }] })
    expect(out.records.map((r) => r.Name)).toEqual(['a\uFFFDb', '\uD83D\uDE00 \uFFFD'])
  })
})
