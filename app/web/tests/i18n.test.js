import { describe, expect, it } from 'vitest'
import { readdirSync, readFileSync, statSync } from 'node:fs'
import { join } from 'node:path'
import { MESSAGES, t, translateMessage, matchLanguage } from '../src/i18n/index.js'

const NAMED_KEYS = [
  'lic.fileNameEmpty', 'lic.noSaveDir', 'lic.saveDirCreateFailed', 'lic.fileDataEmpty', 'lic.fileDecodeInvalid',
  'lic.fileDecodeError', 'lic.fileWriteFailed', 'lic.fileWriteError', 'lic.fileNotDetected', 'lic.fileWriteEmpty',
  'lic.saveSuccess', 'generator.noNativeEnv', 'generator.errInvalidWord', 'generator.sizeError', 'generator.errOldDocFormat',
  'generator.errInvalidWordFormat', 'generator.errWordCorrupted', 'generator.warnPlaceholderMissing', 'generator.errInvalidExcel',
  'generator.errExcelEmpty', 'generator.errExcelNoHeader', 'generator.errGenerateFailed', 'generator.needSaveDir',
  'generator.selectFieldsPlaceholder', 'generator.streamComplete', 'generator.streamPartial', 'generator.streamNoFilesSaved',
  'generator.errUnknown', 'generator.errZipTimeout', 'generator.errPreviewFailed',
]
const LANGS = ['zh-CN', 'en-US', 'de-DE', 'ja-JP', 'fr-FR', 'es-ES', 'pt-BR']

function sourceFiles(dir) {
  return readdirSync(dir).flatMap((f) => {
    const p = join(dir, f)
    if (statSync(p).isDirectory()) return p.endsWith('i18n') ? [] : sourceFiles(p)
    return /\.(js|vue)$/.test(f) ? [p] : []
  })
}

describe('translations', () => {
  const en = MESSAGES['en-US']
  it('has all seven languages', () => {
    expect(Object.keys(MESSAGES).sort()).toEqual([...LANGS].sort())
  })
  it('has every named key in every language', () => {
    for (const code of LANGS) for (const key of NAMED_KEYS) expect(MESSAGES[code][key], `${code} ${key}`).toBeTruthy()
  })
  it('has the same keys and placeholders in every language', () => {
    for (const code of LANGS) {
      expect(Object.keys(MESSAGES[code]).sort(), code).toEqual(Object.keys(en).sort())
      for (const key of Object.keys(en)) {
        const params = (s) => (s.match(/\{(max|count|fields|saved|total|failed|name|path|n|columns)\}/g) || []).sort()
        expect(params(MESSAGES[code][key]), `${code} ${key}`).toEqual(params(en[key]))
      }
    }
  })
  it('really translates: most texts differ from English', () => {
    for (const code of LANGS.filter((c) => c !== 'en-US')) {
      const same = Object.keys(en).filter((k) => MESSAGES[code][k] === en[k])
      expect(same.length / Object.keys(en).length, `${code}: ${same.join(', ')}`).toBeLessThan(0.1)
    }
  })
  it('defines every key the page uses', () => {
    const used = new Set()
    for (const file of sourceFiles(join(__dirname, '../src'))) {
      for (const m of readFileSync(file, 'utf8').matchAll(/['"`]((?:generator|ui|lic)\.[A-Za-z0-9_.]+)['"`]/g)) used.add(m[1])
    }
    used.delete('generator.js')
    for (const k of [...used]) if (k.endsWith('.')) used.delete(k)
    const missing = [...used].filter((k) => !(k in en))
    expect(missing).toEqual([])
    expect(used.size).toBeGreaterThan(50)
  })
  it('translates host answers that are keys and shows other texts unchanged', () => {
    expect(translateMessage('lic.fileWriteFailed')).toBe(t('lic.fileWriteFailed'))
    expect(translateMessage('lic.fileWriteFailed')).not.toBe('lic.fileWriteFailed')
    expect(translateMessage('Disk full')).toBe('Disk full')
    expect(translateMessage('lic.notAKey')).toBe('lic.notAKey')
    expect(t('generator.sizeError', { max: '10 MB' }, 'de-DE')).toContain('10 MB')
  })
  it('picks a language from the browser list', () => {
    expect(matchLanguage(['pt-PT', 'en'])).toBe('pt-BR')
    expect(matchLanguage(['zh'])).toBe('zh-CN')
    expect(matchLanguage(['ko-KR'])).toBe('en-US')
  })
})
