// Everything the sheet worker does, usable without a worker (tests, or for comparison).
import { parseWorkbook } from './sheetParse.js'
import { readSheetImages } from './images.js'
import { AppError } from './errors.js'

/**
 * Parses bytes into a plain, transferable answer: { ok, data } or { ok: false, key, detail }.
 * `opts` as for parseWorkbook (the page passes none: the first worksheet of a workbook).
 */
export async function parseSheetBytes(bytes, opts = {}) {
  try {
    const parsed = parseWorkbook(bytes, opts)
    const { images } = await readSheetImages(bytes, parsed.dispImgCells, opts.sheet)
    return {
      ok: true,
      data: {
        sheetName: parsed.sheetName,
        headers: parsed.headers,
        records: parsed.records,
        images: images.map((i) => ({ bytes: i.bytes, mime: i.mime, row: i.row, col: i.col, path: i.path, source: i.source })),
      },
    }
  } catch (err) {
    if (err instanceof AppError) return { ok: false, key: err.key, detail: err.detail }
    return { ok: false, key: 'generator.errExcelCorrupted', detail: String(err?.message || err) }
  }
}
