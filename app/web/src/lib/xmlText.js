// Minimal, prefix-tolerant reading of the few OOXML parts we need. Works where no DOMParser exists (workers).

const ENTITIES = { amp: '&', lt: '<', gt: '>', quot: '"', apos: "'" }

export function decodeEntities(s) {
  return String(s).replace(/&(#x[0-9a-f]+|#\d+|amp|lt|gt|quot|apos);/gi, (m, e) => {
    if (e[0] === '#') {
      const code = e[1].toLowerCase() === 'x' ? parseInt(e.slice(2), 16) : parseInt(e.slice(1), 10)
      return Number.isFinite(code) ? String.fromCodePoint(code) : m
    }
    return ENTITIES[e.toLowerCase()] ?? m
  })
}

/** Value of attribute `name` (any namespace prefix) in a start tag, or undefined. */
export function attr(tag, name) {
  const re = new RegExp(`(?:^|\\s)(?:[\\w.-]+:)?${name}\\s*=\\s*("([^"]*)"|'([^']*)')`)
  const m = re.exec(tag)
  if (!m) return undefined
  return decodeEntities(m[2] ?? m[3])
}

/** All start tags (self-closing or not) of element `local` (any prefix). */
export function startTags(xml, local) {
  return String(xml).match(new RegExp(`<(?:[\\w.-]+:)?${local}\\b[^>]*>`, 'g')) || []
}

/** Inner XML of each element `local` (any prefix), non-nested. */
export function elements(xml, local) {
  const re = new RegExp(`<((?:[\\w.-]+:)?${local})\\b[^>]*>([\\s\\S]*?)</\\1>`, 'g')
  return Array.from(String(xml).matchAll(re), (m) => m[0])
}

/** Text content of the first element `local` inside `xml`. */
export function childText(xml, local) {
  const m = new RegExp(`<(?:[\\w.-]+:)?${local}\\b[^>]*>([^<]*)<`).exec(xml)
  return m ? decodeEntities(m[1]).trim() : undefined
}

/** Relationship id → target of a .rels part. */
export function parseRels(xml) {
  const map = new Map()
  for (const tag of startTags(xml, 'Relationship')) {
    const id = attr(tag, 'Id')
    const target = attr(tag, 'Target')
    if (id && target) map.set(id, { target, type: attr(tag, 'Type') || '', mode: attr(tag, 'TargetMode') || '' })
  }
  return map
}

/** Resolves a relationship target against the folder of the part that owns it. */
export function resolvePath(partPath, target) {
  if (target.startsWith('/')) return target.slice(1)
  const parts = partPath.split('/')
  parts.pop()
  for (const seg of target.split('/')) {
    if (seg === '..') parts.pop()
    else if (seg !== '.' && seg !== '') parts.push(seg)
  }
  return parts.join('/')
}

/** The .rels part belonging to a part. */
export function relsPathOf(partPath) {
  const i = partPath.lastIndexOf('/')
  return `${partPath.slice(0, i + 1)}_rels/${partPath.slice(i + 1)}.rels`
}
