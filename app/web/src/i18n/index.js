// Translations: the current language, lookup with {param} substitution, and host answers.
import { ref } from 'vue'
import zhCN from './zh-CN.js'
import enUS from './en-US.js'
import deDE from './de-DE.js'
import jaJP from './ja-JP.js'
import frFR from './fr-FR.js'
import esES from './es-ES.js'
import ptBR from './pt-BR.js'

export const LANG_KEY = 'document-generator-lang'
export const MESSAGES = { 'zh-CN': zhCN, 'en-US': enUS, 'de-DE': deDE, 'ja-JP': jaJP, 'fr-FR': frFR, 'es-ES': esES, 'pt-BR': ptBR }
export const LANGUAGES = [
  { code: 'zh-CN', label: '简体中文' },
  { code: 'en-US', label: 'English' },
  { code: 'de-DE', label: 'Deutsch' },
  { code: 'ja-JP', label: '日本語' },
  { code: 'fr-FR', label: 'Français' },
  { code: 'es-ES', label: 'Español' },
  { code: 'pt-BR', label: 'Português (Brasil)' },
]

const KEY_PATTERN = /^(generator|ui|lic)\.[A-Za-z0-9_.]+$/

/** The best supported language for a browser language list. */
export function matchLanguage(preferred = []) {
  for (const p of preferred) {
    const lower = String(p).toLowerCase()
    const exact = LANGUAGES.find((l) => l.code.toLowerCase() === lower)
    if (exact) return exact.code
    const base = LANGUAGES.find((l) => l.code.slice(0, 2) === lower.slice(0, 2))
    if (base) return base.code
  }
  return 'en-US'
}

function initialLanguage() {
  try {
    const saved = globalThis.localStorage?.getItem(LANG_KEY)
    if (saved && MESSAGES[saved]) return saved
  } catch {
    // Storage may be unavailable (private mode); fall through to the browser's languages.
  }
  const nav = globalThis.navigator
  return matchLanguage(nav?.languages?.length ? nav.languages : [nav?.language || 'en-US'])
}

export const lang = ref(initialLanguage())

export function setLanguage(code) {
  if (!MESSAGES[code]) return
  lang.value = code
  try {
    globalThis.localStorage?.setItem(LANG_KEY, code)
  } catch {
    // Not persisted; the choice still holds for this session.
  }
  if (globalThis.document) globalThis.document.documentElement.lang = code
}

/** Translates `key` in the current (or given) language; unknown keys fall back to English, then the key. */
export function t(key, params = {}, code = lang.value) {
  const table = MESSAGES[code] || enUS
  let text = table[key] ?? enUS[key] ?? key
  for (const [name, value] of Object.entries(params || {})) {
    text = text.split(`{${name}}`).join(String(value))
  }
  return text
}

export const isTranslationKey = (text) => typeof text === 'string' && KEY_PATTERN.test(text)

/** A host answer: a known translation key is translated, any other text is shown unchanged. */
export function translateMessage(text, params) {
  if (isTranslationKey(text) && (enUS[text] !== undefined)) return t(text, params)
  return text == null ? '' : String(text)
}
