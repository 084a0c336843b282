// Page-wide behaviour inside the desktop window: links go to the system browser, and the
// browser's context menu and developer-tool keys are kept away from users.
import { bridge } from './bridge.js'

const LINK_BASE = 'https://papyrant.app/'

/** Where a link points, resolved against the product site for relative links. */
export function resolveLink(href) {
  try {
    return new URL(href, LINK_BASE)
  } catch {
    return null
  }
}

/** True for key combinations that open developer tools or the page source. */
export function isDevToolsKey(e) {
  const key = String(e.key || '').toLowerCase()
  if (key === 'f12') return true
  const ctrl = e.ctrlKey || e.metaKey
  if (ctrl && e.shiftKey && ['i', 'j', 'c', 'k'].includes(key)) return true
  if (ctrl && e.altKey && ['i', 'j', 'c'].includes(key)) return true
  if (ctrl && !e.shiftKey && key === 'u') return true
  return false
}

function onClick(e) {
  const a = e.target?.closest?.('a[href]')
  if (!a || e.defaultPrevented) return
  const raw = a.getAttribute('href')
  if (!raw || raw.startsWith('#')) return
  const url = resolveLink(raw)
  if (!url) return
  if (url.protocol === 'mailto:') return
  if (url.protocol === 'http:' || url.protocol === 'https:') {
    if (bridge.available()) {
      e.preventDefault()
      bridge.openUrl(url.href)
    } else if (!a.target) {
      // In a plain browser, keep the generator page open and show the link in a new tab.
      e.preventDefault()
      globalThis.open?.(url.href, '_blank', 'noopener')
    }
    return
  }
  // Anything else (javascript:, file:, …) inside a previewed document is not followed.
  e.preventDefault()
}

function onContextMenu(e) {
  const el = e.target
  // Editing fields keep their menu so that paste by mouse still works.
  if (el?.closest?.('input, textarea, [contenteditable="true"]')) return
  e.preventDefault()
}

function onKeyDown(e) {
  if (isDevToolsKey(e)) {
    e.preventDefault()
    e.stopPropagation()
  }
}

export function installPageGuards(doc = globalThis.document) {
  doc.addEventListener('click', onClick, true)
  doc.addEventListener('contextmenu', onContextMenu, true)
  doc.addEventListener('keydown', onKeyDown, true)
  return () => {
    doc.removeEventListener('click', onClick, true)
    doc.removeEventListener('contextmenu', onContextMenu, true)
    doc.removeEventListener('keydown', onKeyDown, true)
  }
}
