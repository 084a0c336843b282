// Filling the template for one record, with pictures from the sheet.
import ImageModule from 'docxtemplater-image-module-free'
import { AppError } from './errors.js'
import { base64ToBytes } from './bytes.js'
import { compileTemplate } from './template.js'
import { setOwn } from './records.js'

export const DOCX_MIME = 'application/vnd.openxmlformats-officedocument.wordprocessingml.document'
export const DEFAULT_IMAGE_SIZE = 150

const positive = (n) => {
  const v = Number(n)
  return Number.isFinite(v) && v > 0 ? v : 0
}

/** The images of a record's sheet row: by its sheet row number, or position + 1 for records without one. */
export function rowImagesFor(record, byRow) {
  if (!byRow) return undefined
  const row = record._excelRowNumber ? record._excelRowNumber : record._rowIndex + 1
  return byRow[row]
}

/**
 * Copies a record, adds `_rowIndex` and injects the configured pictures.
 * @param {object} record
 * @param {number} rowIndex 1-based position among the records
 * @param {object} imageOpts { imageColumns, imageColumnTags, imageColumnSizes, imageWidth, imageHeight }
 * @param {object} byRow sheet pictures by row and column letter
 */
export function buildRecordData(record, rowIndex, imageOpts = {}, byRow = null) {
  const data = {}
  for (const key of Object.keys(record)) setOwn(data, key, record[key])
  data._rowIndex = rowIndex
  const columns = imageOpts.imageColumns || []
  const rowImages = columns.length ? rowImagesFor(data, byRow) : undefined
  if (!rowImages) return data

  const tags = imageOpts.imageColumnTags || {}
  const sizes = imageOpts.imageColumnSizes || {}
  const mainColumn = columns[0]
  let injected = false
  for (const col of columns) {
    const bytes = rowImages[col]?.bytes
    if (!bytes || !bytes.length) continue
    const tag = String(tags[col] || '').trim() || 'image'
    setOwn(data, tag, '1')
    setOwn(data, `_image_${tag}`, bytes)
    const size = sizes[col]
    if (size && positive(size.width) && positive(size.height)) {
      setOwn(data, `_imageWidth_${tag}`, positive(size.width))
      setOwn(data, `_imageHeight_${tag}`, positive(size.height))
    }
    if (col === mainColumn || tag === 'image') data._image = bytes
    injected = true
  }
  if (injected) {
    data._imageWidth = positive(imageOpts.imageWidth) || DEFAULT_IMAGE_SIZE
    data._imageHeight = positive(imageOpts.imageHeight) || DEFAULT_IMAGE_SIZE
  }
  return data
}

function asBytes(v) {
  if (v instanceof Uint8Array) return v.length ? v : null
  if (v instanceof ArrayBuffer) return new Uint8Array(v)
  if (typeof v === 'string' && v.length > 16) {
    try {
      return base64ToBytes(v)
    } catch {
      return null
    }
  }
  return null
}

/** The picture for an image tag: the tag's own, else `_image`, `_imageBytes` or `image`. */
export function pictureFor(data, tag) {
  const own = Object.prototype.hasOwnProperty.call(data, `_image_${tag}`) ? data[`_image_${tag}`] : undefined
  return asBytes(own) || asBytes(data._image) || asBytes(data._imageBytes) || asBytes(data.image)
}

/** Picture size in pixels: the tag's own, else the global size, else 150 × 150. */
export function sizeFor(data, tag) {
  const w = positive(data[`_imageWidth_${tag}`]) || positive(data._imageWidth) || DEFAULT_IMAGE_SIZE
  const h = positive(data[`_imageHeight_${tag}`]) || positive(data._imageHeight) || DEFAULT_IMAGE_SIZE
  return [w, h]
}

function hasPictures(data) {
  return Boolean(data._image || data._imageBytes || Object.keys(data).some((k) => k.startsWith('_image_')))
}

function engineMessage(err) {
  const errors = err?.properties?.errors
  if (Array.isArray(errors) && errors.length) {
    return errors.map((e) => e?.properties?.explanation || e?.message).join('; ')
  }
  return String(err?.properties?.explanation || err?.message || err)
}

/**
 * Renders the template for prepared record data.
 * @param {Uint8Array} templateBytes
 * @param {object} data from buildRecordData
 * @param {string[]} [imageTags] image tags of the template; those without a picture render empty
 * @returns {Uint8Array} the .docx package
 */
export function renderDocument(templateBytes, data, imageTags = []) {
  const modules = []
  if (hasPictures(data)) {
    for (const tag of imageTags) {
      if (!pictureFor(data, tag)) setOwn(data, tag, '')
    }
    modules.push(
      new ImageModule({
        centered: false,
        fileType: 'docx',
        getImage: (_value, tag) => pictureFor(data, tag),
        getSize: (_img, _value, tag) => sizeFor(data, tag),
      })
    )
  }
  const doc = compileTemplate(templateBytes, modules)
  try {
    doc.render(data)
    return doc.getZip().generate({ type: 'uint8array', mimeType: DOCX_MIME, compression: 'DEFLATE' })
  } catch (err) {
    throw new AppError('generator.errGenerateFailed', { detail: engineMessage(err), cause: err })
  }
}

/** One record to one document; failures carry "generator.errGenerateFailed" with the engine's message. */
export function generateForRecord(template, record, rowIndex, imageOpts, byRow) {
  const data = buildRecordData(record, rowIndex, imageOpts, byRow)
  try {
    return renderDocument(template.bytes, data, template.imageTags || [])
  } catch (err) {
    if (err instanceof AppError && err.key === 'generator.errGenerateFailed') throw err
    throw new AppError('generator.errGenerateFailed', { detail: err?.detail || err?.message || String(err), cause: err })
  }
}
