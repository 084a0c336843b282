// Theme and language, kept in local storage.
import { defineStore } from 'pinia'
import { lang, setLanguage } from '../i18n/index.js'

export const THEME_KEY = 'document-generator-theme'
export const THEMES = ['system', 'light', 'dark']

function readTheme() {
  try {
    const v = globalThis.localStorage?.getItem(THEME_KEY)
    return THEMES.includes(v) ? v : 'system'
  } catch {
    return 'system'
  }
}

const darkQuery = () => globalThis.matchMedia?.('(prefers-color-scheme: dark)')

export const useSettingsStore = defineStore('settings', {
  state: () => ({ theme: readTheme(), systemDark: Boolean(darkQuery()?.matches) }),
  getters: {
    lang: () => lang.value,
    isDark: (s) => (s.theme === 'system' ? s.systemDark : s.theme === 'dark'),
  },
  actions: {
    setTheme(theme) {
      if (!THEMES.includes(theme)) return
      this.theme = theme
      try {
        globalThis.localStorage?.setItem(THEME_KEY, theme)
      } catch {
        // Not persisted.
      }
      this.applyTheme()
    },
    setLang(code) {
      setLanguage(code)
    },
    applyTheme() {
      globalThis.document?.documentElement.classList.toggle('dark', this.isDark)
    },
    watchSystemTheme() {
      const q = darkQuery()
      q?.addEventListener?.('change', (e) => {
        this.systemDark = e.matches
        this.applyTheme()
      })
      this.applyTheme()
    },
  },
})
