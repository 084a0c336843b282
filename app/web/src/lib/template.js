// Reading Word templates: checks, placeholder list, and the engine options shared with generation.
import PizZip from 'pizzip'
import Docxtemplater from 'docxtemplater'
import { AppError } from './errors.js'
import { containsUtf16, hasExtension, readBytes } from './bytes.js'
import { stripExtension } from './naming.js'

export const TEMPLATE_MAX_BYTES = 10 * 1024 * 1024
export const PLACEHOLDER_PATTERN = /\{([^}]+)\}/g

/** Options the templating engine is always created with. */
export function engineOptions(modules = []) {
  return {
    delimiters: { start: '{', end: '}' },
    linebreaks: true,
    paragraphLoop: true,
    nullGetter: () => '',
    errorLogging: false,
    modules,
  }
}

/** Checks name and size before anything is read. Throws AppError. */
export function checkTemplateFile(name, size) {
  if (!hasExtension(name, ['.docx', '.doc'])) throw new AppError('generator.errInvalidWord')
  if (size > TEMPLATE_MAX_BYTES) throw new AppError('generator.sizeError', { params: { max: '10 MB' } })
}

/** Checks the leading bytes: old Word files, encrypted packages and anything that is not a ZIP. */
export function checkTemplateBytes(bytes) {
  if (bytes.length >= 2 && bytes[0] === 0xd0 && bytes[1] === 0xcf) {
    // An encrypted modern document is also a compound file; it holds an EncryptionInfo stream.
    if (containsUtf16(bytes, 'EncryptionInfo')) throw new AppError('generator.errWordProtected')
    throw new AppError('generator.errOldDocFormat')
  }
  if (bytes.length < 2 || bytes[0] !== 0x50 || bytes[1] !== 0x4b) throw new AppError('generator.errInvalidWordFormat')
}

/** Opens template bytes as a ZIP package; throws the matching AppError. */
export function openZip(bytes) {
  try {
    return new PizZip(bytes)
  } catch (err) {
    const msg = String(err?.message || err)
    if (/encrypt/i.test(msg)) throw new AppError('generator.errWordProtected', { detail: msg })
    throw new AppError('generator.errWordCorrupted', { detail: msg })
  }
}

function describeEngineError(err) {
  const errors = err?.properties?.errors
  if (Array.isArray(errors) && errors.length) {
    return errors
      .map((e) => e?.properties?.explanation || e?.message)
      .filter(Boolean)
      .join('; ')
  }
  return String(err?.properties?.explanation || err?.message || err)
}

/** Opens bytes as a template; throws the matching AppError. */
export function compileTemplate(bytes, modules = []) {
  return compileZip(openZip(bytes), modules)
}

/** Compiles an opened package as a template; throws the matching AppError. */
export function compileZip(zip, modules = []) {
  if (!zip.file('word/document.xml')) throw new AppError('generator.errWordCorrupted', { detail: 'word/document.xml missing' })
  try {
    return new Docxtemplater(zip, engineOptions(modules))
  } catch (err) {
    const detail = describeEngineError(err)
    if (err?.properties?.errors || err?.properties?.id) throw new AppError('generator.errTemplateSyntax', { detail })
    throw new AppError('generator.errWordCorrupted', { detail })
  }
}

/** Distinct placeholder texts in order of first appearance. */
export function extractPlaceholders(text) {
  const seen = new Set()
  const out = []
  for (const m of String(text).matchAll(PLACEHOLDER_PATTERN)) {
    const name = m[1].trim()
    if (name && !seen.has(name)) {
      seen.add(name)
      out.push(name)
    }
  }
  return out
}

/** Text of the body followed by headers and footers, as the engine sees it. */
function documentText(doc) {
  const parts = [doc.getFullText()]
  const zip = doc.getZip()
  const extra = Object.keys(zip.files)
    .filter((p) => /^word\/(header|footer)\d*\.xml$/.test(p))
    .sort()
  for (const p of extra) {
    try {
      parts.push(doc.getFullText(p))
    } catch {
      // A header the engine cannot read holds no placeholders we could fill anyway.
    }
  }
  return parts.join('\n')
}

/** "%photo" is an image tag, "#list" and "/list" loop markers: the field behind them is the bare name. */
export function placeholderField(placeholder) {
  return placeholder.replace(/^[%#^/]/, '').trim()
}

export const isImagePlaceholder = (p) => p.startsWith('%')

/**
 * Placeholders without a matching header (missing) and headers no placeholder uses (extra).
 * Image tags and loop-closing markers are not data fields and are left out of `missing`.
 */
export function compareFields(placeholders, headers) {
  const headerSet = new Set(headers)
  const used = new Set()
  const missing = []
  for (const p of placeholders) {
    if (isImagePlaceholder(p) || p.startsWith('/')) continue
    const field = placeholderField(p)
    used.add(field)
    if (!headerSet.has(field) && !missing.includes(field)) missing.push(field)
  }
  const extra = headers.filter((h) => !used.has(h))
  return { missing, extra }
}

/**
 * Reads a template file (File, Blob or bytes with a name).
 * @returns {{ name, templateName, size, bytes, placeholders, imageTags }}
 */
export async function readTemplate(file, name = file?.name) {
  const size = file?.size ?? file?.length ?? file?.byteLength ?? 0
  checkTemplateFile(name, size)
  const bytes = await readBytes(file)
  checkTemplateBytes(bytes)
  const doc = compileTemplate(bytes)
  let text
  try {
    text = documentText(doc)
  } catch (err) {
    throw new AppError('generator.errWordCorrupted', { detail: String(err?.message || err) })
  }
  const placeholders = extractPlaceholders(text)
  return {
    name,
    templateName: stripExtension(name),
    size: bytes.length,
    bytes,
    placeholders,
    imageTags: placeholders.filter(isImagePlaceholder).map(placeholderField),
  }
}
