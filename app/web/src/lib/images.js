// Pictures placed in a workbook: floating pictures from drawings and in-cell pictures ("cellimages.xml").
import JSZip from 'jszip'
import { attr, childText, elements, parseRels, relsPathOf, resolvePath, startTags } from './xmlText.js'

const MIME_BY_EXT = {
  png: 'image/png',
  jpeg: 'image/jpeg',
  jpg: 'image/jpeg',
  gif: 'image/gif',
  bmp: 'image/bmp',
  tif: 'image/tiff',
  tiff: 'image/tiff',
}

export function mimeOf(path) {
  const ext = String(path).split('.').pop().toLowerCase()
  return MIME_BY_EXT[ext] || ''
}

/** 0 → "A", 25 → "Z", 26 → "AA". */
export function columnLetter(index0) {
  let n = index0 + 1
  let s = ''
  while (n > 0) {
    const rem = (n - 1) % 26
    s = String.fromCharCode(65 + rem) + s
    n = Math.floor((n - 1) / 26)
  }
  return s
}

async function text(zip, path) {
  const f = zip.file(path)
  return f ? f.async('string') : null
}

/**
 * Path of the worksheet the data comes from: the one named `sheetName`, or the first in workbook
 * order when no name is given.
 */
async function dataSheetPath(zip, sheetName) {
  const wb = await text(zip, 'xl/workbook.xml')
  const rels = await text(zip, 'xl/_rels/workbook.xml.rels')
  if (wb && rels) {
    const sheets = startTags(wb, 'sheet')
    const first = sheetName === undefined ? sheets[0] : sheets.find((s) => attr(s, 'name') === sheetName)
    const rid = first && attr(first, 'id')
    const rel = rid && parseRels(rels).get(rid)
    if (rel) return resolvePath('xl/workbook.xml', rel.target)
  }
  return 'xl/worksheets/sheet1.xml'
}

async function loadPicture(zip, ownerPart, rels, rid) {
  const rel = rels.get(rid)
  if (!rel || rel.mode === 'External') return null
  const path = resolvePath(ownerPart, rel.target)
  const mime = mimeOf(path)
  const file = zip.file(path)
  if (!mime || !file) return null
  return { path, mime, bytes: await file.async('uint8array') }
}

async function drawingImages(zip, sheetPath) {
  const out = []
  const sheetRels = await text(zip, relsPathOf(sheetPath))
  if (!sheetRels) return out
  for (const rel of parseRels(sheetRels).values()) {
    if (!/\/drawing$/.test(rel.type)) continue
    const drawingPath = resolvePath(sheetPath, rel.target)
    const drawing = await text(zip, drawingPath)
    const drawingRels = parseRels((await text(zip, relsPathOf(drawingPath))) || '')
    if (!drawing) continue
    const anchors = [...elements(drawing, 'twoCellAnchor'), ...elements(drawing, 'oneCellAnchor')]
    for (const anchor of anchors) {
      const from = elements(anchor, 'from')[0]
      const blip = startTags(anchor, 'blip')[0]
      if (!from || !blip) continue
      const col = Number(childText(from, 'col'))
      const row = Number(childText(from, 'row'))
      const rid = attr(blip, 'embed')
      if (!Number.isInteger(col) || !Number.isInteger(row) || !rid) continue
      const pic = await loadPicture(zip, drawingPath, drawingRels, rid)
      if (pic) out.push({ ...pic, sheet: sheetPath, row: row + 1, col: columnLetter(col), source: 'drawing' })
    }
  }
  return out
}

/** In-cell pictures: name → picture, placed by the DISPIMG cells that show them. */
async function cellImages(zip, dispImgCells) {
  const out = []
  const partPath = zip.file('xl/cellimages.xml') ? 'xl/cellimages.xml' : null
  if (!partPath || !dispImgCells?.length) return out
  const xml = await text(zip, partPath)
  const rels = parseRels((await text(zip, relsPathOf(partPath))) || '')
  const byName = new Map()
  for (const pic of elements(xml, 'pic')) {
    const nv = startTags(pic, 'cNvPr')[0]
    const blip = startTags(pic, 'blip')[0]
    const name = nv && attr(nv, 'name')
    const rid = blip && attr(blip, 'embed')
    if (name && rid && !byName.has(name)) byName.set(name, await loadPicture(zip, partPath, rels, rid))
  }
  for (const cell of dispImgCells) {
    const pic = byName.get(cell.id)
    if (pic) out.push({ ...pic, row: cell.row, col: cell.col, source: 'cell', id: cell.id })
  }
  return out
}

/** Groups pictures by 1-based row and column letter; the first picture of a cell wins. */
export function indexByRow(images) {
  const byRow = {}
  for (const img of images) {
    const row = (byRow[img.row] ||= {})
    if (!row[img.col]) row[img.col] = img
  }
  return byRow
}

/**
 * Reads all pictures of the data sheet (the first, or the one named `sheetName`). Never throws: a failure leaves the list empty.
 * @returns {{ images: object[], byRow: object, columns: string[] }}
 */
export async function readSheetImages(bytes, dispImgCells = [], sheetName = undefined) {
  const empty = { images: [], byRow: {}, columns: [] }
  if (!(bytes?.[0] === 0x50 && bytes?.[1] === 0x4b)) return empty
  try {
    const zip = await JSZip.loadAsync(bytes)
    const sheetPath = await dataSheetPath(zip, sheetName)
    const images = [...(await drawingImages(zip, sheetPath)), ...(await cellImages(zip, dispImgCells))]
    const columns = [...new Set(images.map((i) => i.col))].sort((a, b) => a.length - b.length || a.localeCompare(b))
    return { images, byRow: indexByRow(images), columns }
  } catch {
    return empty
  }
}
