// Filling the template for one record, with pictures from the sheet.
import PizZip from 'pizzip'
import Docxtemplater from 'docxtemplater'
import ImageModule from 'docxtemplater-image-module-free'
import { AppError } from './errors.js'
import { base64ToBytes } from './bytes.js'
import { compileTemplate, compileZip, openZip } from './template.js'
import { setOwn } from './records.js'
import { encodeKept, foldStaticParagraphs, unfoldStaticParagraphBytes } from './staticParagraphs.js'
import { hasNativeDeflate, makeEntry, nativeDeflate, readZipEntries, writeZip } from './zipParts.js'

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

/** Image tags of the template that have no picture in this record render as empty text. */
function blankMissingPictures(data, imageTags) {
  for (const tag of imageTags) {
    if (!pictureFor(data, tag)) setOwn(data, tag, '')
  }
}

/** The image module, reading pictures and sizes from whatever record `current()` returns. */
function imageModule(current) {
  return new ImageModule({
    centered: false,
    fileType: 'docx',
    getImage: (_value, tag) => pictureFor(current(), tag),
    getSize: (_img, _value, tag) => sizeFor(current(), tag),
  })
}

const packageOptions = { type: 'uint8array', mimeType: DOCX_MIME, compression: 'DEFLATE' }

/**
 * Renders the template for prepared record data with an engine of its own.
 * @param {Uint8Array} templateBytes
 * @param {object} data from buildRecordData
 * @param {string[]} [imageTags] image tags of the template; those without a picture render empty
 * @returns {Uint8Array} the .docx package
 */
export function renderDocument(templateBytes, data, imageTags = []) {
  const modules = []
  if (hasPictures(data)) {
    blankMissingPictures(data, imageTags)
    modules.push(imageModule(() => data))
  }
  const doc = compileTemplate(templateBytes, modules)
  try {
    doc.render(data)
    return doc.getZip().generate(packageOptions)
  } catch (err) {
    throw new AppError('generator.errGenerateFailed', { detail: engineMessage(err), cause: err })
  }
}

const utf8 = new TextEncoder()

function sameBytes(a, b) {
  if (!a || !b || a.length !== b.length) return false
  for (let i = 0; i < a.length; i++) if (a[i] !== b[i]) return false
  return true
}

// Parts that hold running text: the body, headers, footers, notes and comments.
const TEXT_PART = /^word\/[^/]+\.xml$/

/**
 * A template compiled once and filled many times.
 *
 * Compiling (unzipping, decoding and lexing every XML part) costs more than filling, so a run over
 * many rows keeps one compiled engine and hands it a fresh package and fresh fill state for every
 * row. Fixed paragraphs are folded away before compiling (see staticParagraphs.js), so the engine
 * only walks the paragraphs that hold placeholders. Parts the engine does not touch keep the
 * template's compressed bytes, and so do filled parts whose text came out unchanged; only parts
 * that really changed are compressed again, with the browser's native deflate where there is one.
 *
 * The engine has no public way to fill one compiled template twice. `fill` resets the fields that
 * its render() reads and writes on the instance (zip, xmlDocuments, rendered, scopeManagers,
 * mapper, errors, and each compiled part's allErrors) and the image module's picture counter. The
 * tests compare every part of every row against a freshly compiled engine, so a change in those
 * internals shows up as a failing test rather than as wrong documents.
 */
class CompiledTemplate {
  constructor(bytes, withPictures, fold) {
    // Its entries are shared by every filled package and stay compressed (nothing reads them).
    this.original = openZip(bytes)
    // The same entries with their compressed bytes, for writing packages without recompressing them.
    this.entries = hasNativeDeflate() ? readEntriesIfPlain(bytes) : null
    this.current = null
    this.pictures = withPictures ? imageModule(() => this.current) : null
    const zip = openZip(bytes)
    const texts = new Map()
    this.folded = new Map()
    if (fold) {
      for (const name of Object.keys(zip.files)) {
        if (!TEXT_PART.test(name) || zip.files[name].dir) continue
        const text = zip.files[name].asText()
        texts.set(name, text)
        const folded = foldStaticParagraphs(text)
        if (!folded) continue
        this.folded.set(name, encodeKept(folded.kept))
        zip.file(name, folded.text)
      }
    }
    this.doc = compileZip(zip, this.pictures ? [this.pictures] : [])
    this.xmlNames = Object.keys(this.doc.xmlDocuments)
    this.written = new Set([...Object.keys(this.doc.compiled), ...this.xmlNames])
    // The original text of the parts the engine keeps as XML documents, parsed anew for every row.
    this.pristine = new Map()
    // The original bytes of every part the engine writes back, to notice parts that come out unchanged.
    this.pristineBytes = new Map()
    for (const name of this.written) {
      if (!zip.files[name]) continue
      const text = texts.has(name) ? texts.get(name) : zip.files[name].asText()
      if (this.xmlNames.includes(name)) this.pristine.set(name, text)
      this.pristineBytes.set(name, utf8.encode(text))
    }
    // Parts without a single placeholder (settings, document properties, a fixed footer) would come
    // out as they went in; the engine need not fill them at all, and they keep the template's bytes.
    // (With none left at all the engine would think it was never compiled, so then all stay.)
    const tagless = Object.keys(this.doc.compiled).filter((name) => !this.doc.compiled[name].postparsed.some((p) => p.type === 'placeholder'))
    if (tagless.length < Object.keys(this.doc.compiled).length) for (const name of tagless) delete this.doc.compiled[name]
  }

  /** Fills the template with prepared record data; resolves to the .docx package. */
  async fill(data) {
    const zip = new PizZip()
    const original = this.original.files
    for (const name of Object.keys(original)) zip.files[name] = original[name]
    const xmlDocuments = {}
    for (const name of this.xmlNames) xmlDocuments[name] = Docxtemplater.DocUtils.str2xml(this.pristine.get(name))

    const doc = this.doc
    doc.zip = zip
    doc.xmlDocuments = xmlDocuments
    doc.rendered = false
    doc.scopeManagers = {}
    doc.mapper = undefined
    doc.errors = []
    for (const part of Object.values(doc.compiled)) part.allErrors = []
    doc.setModules({ zip, xmlDocuments })
    for (const module of doc.modules) module.xmlDocuments = xmlDocuments
    if (this.pictures) this.pictures.imageNumber = 1

    this.current = data
    try {
      doc.render(data)
    } finally {
      this.current = null
    }

    // The parts as they are to be stored: unchanged ones as the template's entries, others as bytes.
    const parts = new Map()
    for (const name of Object.keys(zip.files)) {
      const entry = zip.files[name]
      if (entry.dir) continue
      if (entry === original[name]) {
        parts.set(name, entry)
        continue
      }
      // Pictures the image module added are bytes and stay as they are.
      if (entry.options.binary && !this.written.has(name)) {
        parts.set(name, entry.asUint8Array())
        continue
      }
      let bytes = entry.options.binary ? entry.asUint8Array() : utf8.encode(entry.asText())
      if (this.folded.has(name)) bytes = unfoldStaticParagraphBytes(bytes, this.folded.get(name))
      parts.set(name, original[name] && sameBytes(bytes, this.pristineBytes.get(name)) ? original[name] : bytes)
    }
    return this.entries ? this.writePackage(parts) : this.generatePackage(parts)
  }

  /** The template's order first, then added parts; compressed entries of the template are copied. */
  async writePackage(parts) {
    const out = []
    const when = new Date()
    const names = [...this.entries.keys()].filter((n) => parts.has(n))
    for (const name of parts.keys()) if (!this.entries.has(name)) names.push(name)
    for (const name of names) {
      const part = parts.get(name)
      const kept = part === this.original.files[name]
      if (kept && this.entries.has(name)) out.push(this.entries.get(name))
      else out.push(await makeEntry(name, kept ? part.asUint8Array() : part, nativeDeflate, when))
    }
    return writeZip(out)
  }

  /** Without a native compressor: the ZIP library's writer, which compresses in script. */
  generatePackage(parts) {
    const zip = new PizZip()
    for (const [name, part] of parts) {
      if (part === this.original.files[name]) zip.files[name] = part
      else zip.file(name, part, { binary: true })
    }
    return zip.generate(packageOptions)
  }
}

/** The template's entries for copying, or null for a package only the ZIP library can take apart. */
function readEntriesIfPlain(bytes) {
  try {
    return readZipEntries(bytes)
  } catch {
    return null
  }
}

/** Compiles with fixed paragraphs folded away, or as it is should folding ever trip the engine. */
function compileForRows(bytes, withPictures) {
  try {
    return new CompiledTemplate(bytes, withPictures, true)
  } catch {
    return new CompiledTemplate(bytes, withPictures, false)
  }
}

/**
 * Fills one template for many records, compiling it once (and once more with the image module
 * when rows bring pictures).
 * @param {object} template from readTemplate
 * @returns {{ generate(record, rowIndex, imageOpts, byRow): Promise<Uint8Array>, counts: {shared, single} }}
 */
export function createDocumentRenderer(template) {
  const imageTags = template.imageTags || []
  const engines = new Map()
  const unreliable = new Set()
  // Rows filled by a shared compiled engine and rows that needed an engine of their own.
  const counts = { shared: 0, single: 0 }
  return {
    counts,
    async generate(record, rowIndex, imageOpts, byRow) {
      let data
      try {
        data = buildRecordData(record, rowIndex, imageOpts, byRow)
      } catch (err) {
        throw new AppError('generator.errGenerateFailed', { detail: String(err?.message || err), cause: err })
      }
      const withPictures = hasPictures(data)
      if (withPictures) blankMissingPictures(data, imageTags)
      if (unreliable.has(withPictures)) {
        counts.single++
        return generateOnce(template, data)
      }
      try {
        if (!engines.has(withPictures)) engines.set(withPictures, compileForRows(template.bytes, withPictures))
        const bytes = await engines.get(withPictures).fill(data)
        counts.shared++
        return bytes
      } catch {
        counts.single++
        // A fill that failed half-way may have left state behind, so that engine is dropped. An
        // engine of its own settles this row and words the error if the row itself is at fault;
        // if instead the row comes out fine, the shared engine was to blame and is not used again.
        engines.delete(withPictures)
        const bytes = generateOnce(template, data)
        unreliable.add(withPictures)
        return bytes
      }
    },
  }
}

function generateOnce(template, data) {
  try {
    return renderDocument(template.bytes, data, template.imageTags || [])
  } catch (err) {
    if (err instanceof AppError && err.key === 'generator.errGenerateFailed') throw err
    throw new AppError('generator.errGenerateFailed', { detail: err?.detail || err?.message || String(err), cause: err })
  }
}

/** One record to one document; failures carry "generator.errGenerateFailed" with the engine's message. */
export function generateForRecord(template, record, rowIndex, imageOpts, byRow) {
  return generateOnce(template, buildRecordData(record, rowIndex, imageOpts, byRow))
}
