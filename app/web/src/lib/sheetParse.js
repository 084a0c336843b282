// Turns spreadsheet bytes into headers and records. Runs inside the sheet worker (and in tests).
import * as XLSX from 'xlsx'
import { AppError } from './errors.js'
import { dedupeHeaders, isEmptyRecord, setOwn } from './records.js'

const DISPIMG_ID = /DISPIMG\(\s*"([^"]+)"/i

function cellText(cell) {
  if (!cell) return ''
  if (cell.w !== undefined && cell.w !== null && cell.w !== '') return String(cell.w)
  if (cell.v === undefined || cell.v === null) return ''
  if (cell.v instanceof Date) return cell.v.toISOString()
  return String(cell.v)
}

function openWorkbook(bytes, text) {
  const options = { cellFormula: true, cellText: true, cellHTML: false, cellStyles: false }
  try {
    // Comma-separated text arrives decoded (the reader would take bytes as Latin-1); the reader
    // picks comma or semicolon from the first lines. Date-like texts stay text, as typed.
    if (text !== undefined) return XLSX.read(text, { ...options, type: 'string', raw: true })
    return XLSX.read(bytes, { ...options, type: 'array' })
  } catch (err) {
    const msg = String(err?.message || err)
    if (/password|encrypt/i.test(msg)) throw new AppError('generator.errExcelProtected', { detail: msg })
    throw new AppError('generator.errExcelCorrupted', { detail: msg })
  }
}

/**
 * @param {Uint8Array} bytes workbook bytes
 * @param {object} [opts] `sheet`: the name of the worksheet to read (default: the first);
 *   `text`: the decoded content of a comma-separated file, read instead of `bytes`
 * @returns {{ sheetName, headers, records, dispImgCells }} plain data only
 *   dispImgCells: [{ id, row, col }] cells showing an embedded cell picture (row 1-based, col letter)
 */
export function parseWorkbook(bytes, { sheet, text } = {}) {
  const wb = openWorkbook(bytes, text)
  const sheetName = sheet === undefined ? wb.SheetNames?.[0] : sheet
  if (sheet !== undefined && !(wb.SheetNames || []).includes(sheet)) {
    throw new AppError('batch.errSheetNotFound', { params: { sheet, sheets: (wb.SheetNames || []).join(', ') } })
  }
  const ws = sheetName !== undefined ? wb.Sheets[sheetName] : undefined
  // A sheet without a single cell has neither a header nor data: it is empty.
  if (!ws || !ws['!ref']) throw new AppError('generator.errExcelEmpty')

  const range = XLSX.utils.decode_range(ws['!ref'])
  const headerRow = range.s.r
  const rawHeaders = []
  const columns = []
  for (let c = range.s.c; c <= range.e.c; c++) {
    const text = cellText(ws[XLSX.utils.encode_cell({ r: headerRow, c })]).trim()
    if (text === '') continue
    rawHeaders.push(text)
    columns.push(c)
  }
  if (!rawHeaders.length) {
    // Data below an empty first row lacks its header; a sheet with no text at all is just empty.
    const anyText = Object.keys(ws).some((addr) => addr[0] !== '!' && cellText(ws[addr]).trim() !== '')
    throw new AppError(anyText ? 'generator.errExcelNoHeader' : 'generator.errExcelEmpty')
  }
  const headers = dedupeHeaders(rawHeaders)

  const records = []
  const dispImgCells = []
  for (let r = headerRow + 1; r <= range.e.r; r++) {
    const rec = {}
    for (let i = 0; i < headers.length; i++) {
      const cell = ws[XLSX.utils.encode_cell({ r, c: columns[i] })]
      let text = cellText(cell)
      if (cell && typeof cell.f === 'string' && cell.f.toUpperCase().includes('DISPIMG')) {
        const m = DISPIMG_ID.exec(cell.f)
        if (m) dispImgCells.push({ id: m[1], row: r + 1, col: XLSX.utils.encode_col(columns[i]) })
        text = ''
      }
      setOwn(rec, headers[i], text)
    }
    if (isEmptyRecord(rec, headers)) continue
    rec._excelRowNumber = r + 1
    records.push(rec)
  }
  // Picture cells outside header columns are still worth knowing for image mapping.
  for (const addr of Object.keys(ws)) {
    if (addr[0] === '!') continue
    const cell = ws[addr]
    if (!cell || typeof cell.f !== 'string') continue
    const m = DISPIMG_ID.exec(cell.f)
    if (!m) continue
    const { r, c } = XLSX.utils.decode_cell(addr)
    const col = XLSX.utils.encode_col(c)
    if (!dispImgCells.some((d) => d.row === r + 1 && d.col === col)) dispImgCells.push({ id: m[1], row: r + 1, col })
  }
  if (!records.length) throw new AppError('generator.errExcelEmpty')
  return { sheetName: String(sheetName), headers, records, dispImgCells }
}
