// Most of a template is fixed text: paragraphs no placeholder touches. The templating engine still
// lexes, parses and renders every one of them for every row. Folding stands each such paragraph in
// for a short empty marker paragraph before the template is compiled; after a row is filled, the
// markers are swapped back for the original paragraphs. Loops and conditions copy or drop a marker
// exactly as they would the paragraph, because to the engine it is still a paragraph.

const MARK = 'data-keep-paragraph'
const MARKER = /<w:p data-keep-paragraph="(\d+)"><\/w:p>/g
// A paragraph start or end tag (but not <w:pPr>, <w:pStyle>, <w:pgSz> and the like).
const PARAGRAPH_TAG = /<(\/?)w:p(?=[\s>/])[^>]*>/g

/**
 * Folds the outermost paragraphs that cannot take part in a placeholder: no "{" or "}" in them, no
 * placeholder left open before them, and no section break (the engine treats those in loops).
 * @param {string} xml a part of the package
 * @returns {{ text: string, kept: string[] } | null} null when there is nothing worth folding
 */
export function foldStaticParagraphs(xml) {
  if (!xml.includes('<w:p') || xml.includes(MARK)) return null
  const kept = []
  const out = []
  let depth = 0
  let start = -1
  let copied = 0
  // Braces opened and not yet closed in the text before the current paragraph.
  let open = 0
  let counted = 0
  const countBraces = (from, to) => {
    for (let i = from; i < to; i++) {
      const c = xml.charCodeAt(i)
      if (c === 123) open++
      else if (c === 125 && open > 0) open--
    }
  }
  PARAGRAPH_TAG.lastIndex = 0
  for (let m; (m = PARAGRAPH_TAG.exec(xml)); ) {
    const closing = m[1] === '/'
    const selfClosing = !closing && m[0].endsWith('/>')
    if (selfClosing) continue
    if (!closing) {
      if (depth === 0) start = m.index
      depth++
      continue
    }
    if (depth === 0) continue
    depth--
    if (depth > 0) continue
    const end = m.index + m[0].length
    countBraces(counted, start)
    counted = start
    const paragraph = xml.slice(start, end)
    if (open === 0 && !/[{}]/.test(paragraph) && !paragraph.includes('<w:sectPr')) {
      out.push(xml.slice(copied, start), `<w:p ${MARK}="${kept.length}"></w:p>`)
      kept.push(paragraph)
      copied = end
    }
  }
  if (!kept.length || depth !== 0) return null
  out.push(xml.slice(copied))
  return { text: out.join(''), kept }
}

const utf8 = new TextEncoder()
// One character per byte, so that positions in the text are positions in the bytes.
const bytewise = new TextDecoder('latin1')

/** The folded paragraphs as UTF-8, for unfoldStaticParagraphBytes. */
export const encodeKept = (kept) => kept.map((p) => utf8.encode(p))

/**
 * Like unfoldStaticParagraphs, on the UTF-8 bytes of a filled part: the paragraphs are copied in
 * as bytes, so the whole part never has to be decoded and encoded again.
 * @param {Uint8Array} bytes filled part
 * @param {Uint8Array[]} keptBytes from encodeKept
 */
export function unfoldStaticParagraphBytes(bytes, keptBytes) {
  const text = bytewise.decode(bytes)
  const pieces = []
  let length = 0
  let copied = 0
  let found = 0
  MARKER.lastIndex = 0
  for (let m; (m = MARKER.exec(text)); found++) {
    const paragraph = keptBytes[Number(m[1])]
    if (paragraph === undefined) throw new Error('unknown folded paragraph ' + m[1])
    pieces.push(bytes.subarray(copied, m.index), paragraph)
    length += m.index - copied + paragraph.length
    copied = m.index + m[0].length
  }
  pieces.push(bytes.subarray(copied))
  length += bytes.length - copied
  let marks = 0
  for (let i = text.indexOf(MARK); i !== -1; i = text.indexOf(MARK, i + 1)) marks++
  if (marks !== found) throw new Error('a folded paragraph was changed while filling')
  const out = new Uint8Array(length)
  let at = 0
  for (const p of pieces) {
    out.set(p, at)
    at += p.length
  }
  return out
}

/** Puts the folded paragraphs back in place of their markers (a loop may have copied a marker). */
export function unfoldStaticParagraphs(text, kept) {
  const result = text.replace(MARKER, (_, i) => {
    const paragraph = kept[Number(i)]
    if (paragraph === undefined) throw new Error('unknown folded paragraph ' + i)
    return paragraph
  })
  if (result.includes(MARK)) throw new Error('a folded paragraph was changed while filling')
  return result
}
