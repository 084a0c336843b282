// The page's state: what a refused file, a cancelled run or a changed option does to what is shown.
import { afterEach, beforeEach, describe, expect, it } from 'vitest'
import { nextTick } from 'vue'
import { createPinia, setActivePinia } from 'pinia'
import { useGeneratorStore } from '../src/stores/generator.js'
import { parseSheetBytes } from '../src/lib/sheetCore.js'
import { makeDocx } from './fixtures/docx.js'
import { makeWorkbook } from './fixtures/xlsx.js'

const templateFile = (name = 'Letter.docx', lines = ['Dear {Name}', 'from {City}']) => new File([makeDocx(lines)], name)
const oldDoc = () => {
  const bytes = new Uint8Array(512)
  bytes.set([0xd0, 0xcf, 0x11, 0xe0, 0xa1, 0xb1, 0x1a, 0xe1])
  return new File([bytes], 'old.doc')
}
const rows = (n) => [['Name', 'City'], ...Array.from({ length: n }, (_, i) => [`Person ${i + 1}`, `City ${i + 1}`])]
const sheetFile = (name = 'people.xlsx', n = 3) => new File([makeWorkbook(rows(n))], name)
const parse = { parse: parseSheetBytes }

/** A host that saves everything, and can stop answering until released. */
function installHost() {
  const host = {
    saved: [],
    chooseDir: async () => '/out',
    saveDocxFile: async (name) => {
      host.saved.push(name)
      return JSON.stringify({ success: true, message: 'lic.saveSuccess', path: '/out/' + name })
    },
    saveFileToDir: async (name) => JSON.stringify({ success: true, message: 'lic.saveSuccess', path: '/out/' + name }),
  }
  globalThis.quevro = host
  return host
}

let store
beforeEach(async () => {
  setActivePinia(createPinia())
  store = useGeneratorStore()
})
afterEach(() => {
  delete globalThis.quevro
})

async function loaded(n = 3) {
  await store.loadTemplate(templateFile())
  await store.loadSheet(sheetFile('people.xlsx', n), parse)
  expect(store.template?.name).toBe('Letter.docx')
  expect(store.sheet?.records).toHaveLength(n)
}

describe('refused files', () => {
  it('keep the template loaded before and say which file was refused', async () => {
    await store.loadTemplate(templateFile())
    await store.loadTemplate(oldDoc())
    expect(store.template.name).toBe('Letter.docx')
    expect(store.templateError).toMatchObject({ key: 'generator.errOldDocFormat', file: 'old.doc' })
    // The next good file replaces it and clears the error.
    await store.loadTemplate(templateFile('Second.docx'))
    expect(store.template.name).toBe('Second.docx')
    expect(store.templateError).toBeNull()
  })
  it('keep the sheet loaded before', async () => {
    await store.loadSheet(sheetFile(), parse)
    await store.loadSheet(new File([makeWorkbook([['Name', 'City']])], 'header-only.xlsx'), parse)
    expect(store.sheet.name).toBe('people.xlsx')
    expect(store.sheetError).toMatchObject({ key: 'generator.errExcelEmpty', file: 'header-only.xlsx' })
    await store.loadSheet(new File([new Uint8Array(10)], 'noise.xlsx'), parse)
    expect(store.sheet.records).toHaveLength(3)
    expect(store.sheetError.key).toBe('generator.errExcelCorrupted')
  })
  it('let the later of two overlapping loads win', async () => {
    let release
    const slow = { parse: (bytes) => new Promise((r) => (release = () => r(parseSheetBytes(bytes)))) }
    const first = store.loadSheet(sheetFile('first.xlsx'), slow)
    await new Promise((r) => setTimeout(r, 0))
    await store.loadSheet(sheetFile('second.xlsx', 2), parse)
    release()
    await first
    expect(store.sheet.name).toBe('second.xlsx')
    expect(store.sheetLoading).toBe(false)
  })
})

describe('custom names', () => {
  it('tell that fields are missing before anything is generated, and block generating until then', async () => {
    await loaded()
    expect(store.namingError).toBeNull()
    expect(store.canGenerate).toBe(true)
    store.options.namingRule = 'custom'
    expect(store.namingError).toMatchObject({ key: 'generator.selectFieldsPlaceholder' })
    expect(store.canGenerate).toBe(false)
    // A preview needs no file names.
    expect(store.canRun).toBe(true)
    store.options.selectedFields = ['Name']
    expect(store.namingError).toBeNull()
    expect(store.canGenerate).toBe(true)
  })
})

describe('cancelling', () => {
  it('an archive run gives a neutral notice, not an error', async () => {
    await loaded(5)
    const run = store.generateArchive()
    store.cancel()
    await run
    expect(store.jobError).toBeNull()
    expect(store.result).toMatchObject({ kind: 'cancelled', key: 'generator.cancelled' })
    expect(store.busy).toBe('')
  })
  it('an export says how many files were saved before it stopped', async () => {
    const host = installHost()
    await loaded(5)
    await store.chooseDir()
    const run = store.exportFiles()
    // Cancel once the second file has been handed over.
    while (host.saved.length < 2) await new Promise((r) => setTimeout(r, 0))
    store.cancel()
    await run
    expect(store.jobError).toBeNull()
    expect(store.result).toMatchObject({ kind: 'cancelled', key: 'generator.exportCancelled', params: { saved: host.saved.length, total: 5 } })
    expect(host.saved.length).toBeLessThan(5)
  })
})

describe('messages about a finished run', () => {
  it('go away when the template, the sheet or an option changes', async () => {
    installHost()
    await loaded()
    const finish = async () => {
      await store.generateArchive()
      expect(store.result?.kind).toBe('complete')
    }
    await finish()
    store.options.dateFormat = 'YYYYMMDD'
    await nextTick()
    expect(store.result).toBeNull()

    await finish()
    await store.loadSheet(sheetFile('other.xlsx', 2), parse)
    await nextTick()
    expect(store.result).toBeNull()

    await finish()
    // A refused file changes nothing, so the message stays.
    await store.loadTemplate(oldDoc())
    await nextTick()
    expect(store.result?.kind).toBe('complete')
    await store.loadTemplate(templateFile('New.docx'))
    await nextTick()
    expect(store.result).toBeNull()
  })
  it('errors of a run go the same way, and choosing a folder answers "choose a folder first"', async () => {
    installHost()
    await loaded()
    await store.exportFiles()
    expect(store.jobError?.key).toBe('generator.needSaveDir')
    await store.chooseDir()
    expect(store.jobError).toBeNull()
    store.jobError = { key: 'generator.errUnknown', params: {}, detail: '' }
    store.options.customNamePrefix = 'x'
    await nextTick()
    expect(store.jobError).toBeNull()
  })
})
