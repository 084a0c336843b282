// Preview of one record: the filled document shown as HTML.
import { renderAsync } from 'docx-preview'
import mammoth from 'mammoth'
import { AppError, toAppError } from './errors.js'
import { DOCX_MIME, generateForRecord } from './generate.js'
import { imageOptionsOf } from './jobOptions.js'

const SAFE_HREF = /^(https?:|mailto:|#)/i

/** Removes links that could run script from converted HTML. */
export function cleanHtml(html) {
  return String(html).replace(/\shref="([^"]*)"/gi, (m, href) => (SAFE_HREF.test(href.trim()) ? m : ''))
}

/**
 * Renders record `position` (1-based) of `records` into `container`.
 * docx-preview keeps pages, fonts and layout; mammoth is the fallback for documents it cannot lay out.
 */
export async function renderPreview({ template, records, position, options, byRow, container }) {
  let bytes
  try {
    bytes = generateForRecord(template, records[position - 1], position, imageOptionsOf(options), byRow)
  } catch (err) {
    const e = toAppError(err)
    throw new AppError('generator.errPreviewFailed', { detail: e.detail || e.key })
  }
  container.innerHTML = ''
  try {
    await renderAsync(new Blob([bytes], { type: DOCX_MIME }), container, undefined, {
      className: 'docx',
      inWrapper: true,
      breakPages: true,
      ignoreLastRenderedPageBreak: true,
      experimental: false,
      useBase64URL: true,
    })
    return { engine: 'docx-preview' }
  } catch (first) {
    try {
      const out = await mammoth.convertToHtml({ arrayBuffer: bytes.buffer.slice(bytes.byteOffset, bytes.byteOffset + bytes.byteLength) })
      container.innerHTML = `<div class="mammoth-page">${cleanHtml(out.value)}</div>`
      return { engine: 'mammoth' }
    } catch (second) {
      throw new AppError('generator.errPreviewFailed', { detail: String(first?.message || second?.message || first) })
    }
  }
}
