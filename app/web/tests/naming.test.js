import { describe, expect, it } from 'vitest'
import { buildFileName, createNameDeduper, fieldPart, formatDatePart, stripExtension } from '../src/lib/naming.js'

const date = new Date(2024, 2, 7, 9, 5, 3) // 7 March 2024, 09:05:03 local time
const ctx = { templateName: 'Contract', date }

describe('date parts', () => {
  it('pads months, days, hours, minutes and seconds to two digits', () => {
    expect(formatDatePart('YYYYMMDD', date)).toBe('20240307')
    expect(formatDatePart('YYYY-MM-DD', date)).toBe('2024-03-07')
    expect(formatDatePart('YYYYMMDD-HHMM', date)).toBe('20240307-0905')
    expect(formatDatePart('YYYYMMDD-HHMMSS', date)).toBe('20240307-090503')
  })
  it('gives nothing for "none" and YYYYMMDD for unknown formats', () => {
    expect(formatDatePart('none', date)).toBe('')
    expect(formatDatePart('', date)).toBe('')
    expect(formatDatePart('weird', date)).toBe('20240307')
  })
})

describe('rowIndex rule', () => {
  it('joins template name, date and position', () => {
    expect(buildFileName({ _rowIndex: 3 }, { namingRule: 'rowIndex' }, ctx)).toBe('Contract_3.docx')
    expect(buildFileName({ _rowIndex: 12 }, { namingRule: 'rowIndex', dateFormat: 'YYYY-MM-DD' }, ctx)).toBe('Contract_2024-03-07_12.docx')
  })
  it('uses "document" without a template name', () => {
    expect(buildFileName({ _rowIndex: 1 }, { namingRule: 'rowIndex' }, { date })).toBe('document_1.docx')
  })
})

describe('custom rule', () => {
  const opts = { namingRule: 'custom', selectedFields: ['Name', 'City'] }
  it('replaces forbidden characters with "_"', () => {
    expect(buildFileName({ Name: 'a/b:c', City: 'x<y>z"|?*\\', _rowIndex: 1 }, opts, ctx)).toBe('a_b_c_x_y_z_____.docx')
  })
  it('cuts each value to 20 characters and drops empty values', () => {
    const long = 'abcdefghijklmnopqrstuvwxyz'
    expect(buildFileName({ Name: long, City: '', _rowIndex: 2 }, opts, ctx)).toBe('abcdefghijklmnopqrst.docx')
    expect(fieldPart('汉字'.repeat(15))).toHaveLength(20)
  })
  it('adds prefix, date, position and suffix in that order', () => {
    const o = { ...opts, customNamePrefix: 'P', dateFormat: 'YYYYMMDD', includeRowNumber: true, customNameSuffix: 'final' }
    expect(buildFileName({ Name: 'Ann', City: 'Rome', _rowIndex: 4 }, o, ctx)).toBe('P_Ann_Rome_20240307_4_final.docx')
  })
  it('names the fifth document row5 when every part is empty', () => {
    expect(buildFileName({ Name: '', City: '  ', _rowIndex: 5 }, opts, ctx)).toBe('row5.docx')
  })
  it('keeps a prefix from breaking out of the folder', () => {
    expect(buildFileName({ Name: 'x', _rowIndex: 1 }, { ...opts, customNamePrefix: '../up' }, ctx)).toBe('.._up_x.docx')
  })
})

describe('other rules and helpers', () => {
  it('falls back to template name and position for an unknown rule', () => {
    expect(buildFileName({ _rowIndex: 7 }, { namingRule: 'other', dateFormat: 'YYYYMMDD' }, ctx)).toBe('Contract_7.docx')
  })
  it('strips the extension of a template name', () => {
    expect(stripExtension('My.Report.docx')).toBe('My.Report')
    expect(stripExtension('C:\\x\\a.doc')).toBe('a')
  })
  it('keeps names unique within a run', () => {
    const unique = createNameDeduper()
    expect(unique('a.docx')).toBe('a.docx')
    expect(unique('A.docx')).toBe('A (2).docx')
    expect(unique('a.docx')).toBe('a (3).docx')
    expect(unique('b.docx')).toBe('b.docx')
  })
})
