// State of the generator page: inputs, options, running jobs and their results.
import { defineStore } from 'pinia'
import { markRaw, watch } from 'vue'
import { readTemplate, compareFields } from '../lib/template.js'
import { readSheet } from '../lib/sheet.js'
import { generateArchive } from '../lib/archive.js'
import { exportToFolder, exportOutcome } from '../lib/exportFiles.js'
import { saveFile } from '../lib/download.js'
import { bridge, getHost } from '../lib/bridge.js'
import { toAppError } from '../lib/errors.js'
import { validateJob } from '../lib/jobOptions.js'
import { buildFileName } from '../lib/naming.js'

const plainError = (err, fallback, file) => {
  const e = toAppError(err, fallback)
  const out = { key: e.key, params: e.params, detail: e.detail }
  if (file) out.file = file
  return out
}
const isCancel = (err) => err?.key === 'generator.cancelled'
// Loads may overlap (a second file dropped while the first is read); only the latest one counts.
const loads = { template: 0, sheet: 0 }

export function defaultOptions() {
  return {
    namingRule: 'rowIndex',
    selectedFields: [],
    customNamePrefix: '',
    customNameSuffix: '',
    includeRowNumber: false,
    dateFormat: 'none',
    imageColumns: [],
    imageColumnTags: {},
    imageColumnSizes: {},
    imageWidth: 150,
    imageHeight: 150,
  }
}

const useStore = defineStore('generator', {
  state: () => ({
    template: null,
    templateError: null,
    templateLoading: false,
    sheet: null,
    sheetError: null,
    sheetLoading: false,
    saveDir: '',
    options: defaultOptions(),
    busy: '',
    progress: { phase: '', percent: 0, current: 0, total: 0 },
    cancelRequested: false,
    result: null,
    jobError: null,
  }),
  getters: {
    hasHost: () => bridge.available(),
    headers: (s) => s.sheet?.headers || [],
    records: (s) => s.sheet?.records || [],
    placeholders: (s) => s.template?.placeholders || [],
    fieldCheck(s) {
      if (!s.template || !s.sheet) return { missing: [], extra: [] }
      return compareFields(s.template.placeholders, s.sheet.headers)
    },
    imageColumnsFound: (s) => s.sheet?.images?.columns || [],
    imageCount: (s) => s.sheet?.images?.images?.length || 0,
    exampleName(s) {
      const rec = s.sheet?.records?.[0]
      if (!s.template || !rec) return ''
      return buildFileName({ ...rec, _rowIndex: 1 }, s.options, { templateName: s.template.templateName })
    },
    /** What the naming options still lack, shown next to them before anything is generated. */
    namingError: (s) =>
      s.options.namingRule === 'custom' && !s.options.selectedFields.length ? { key: 'generator.selectFieldsPlaceholder', params: {}, detail: '' } : null,
    /** Template and sheet are there and nothing runs: enough for a preview. */
    canRun: (s) => Boolean(s.template && s.sheet && !s.busy),
    /** Enough to produce documents: also names can be formed. */
    canGenerate() {
      return this.canRun && !this.namingError
    },
  },
  actions: {
    // A refused file leaves the one loaded before in place; only the error tells about the new one.
    async loadTemplate(file) {
      const mine = ++loads.template
      this.templateLoading = true
      this.templateError = null
      try {
        const template = await readTemplate(file)
        if (mine === loads.template) this.template = markRaw(template)
      } catch (err) {
        if (mine === loads.template) this.templateError = plainError(err, 'generator.errWordCorrupted', file?.name)
      } finally {
        if (mine === loads.template) this.templateLoading = false
      }
    },
    /** @param {object} [opts] `parse(bytes)` replaces the sheet worker (tests) */
    async loadSheet(file, { parse } = {}) {
      const mine = ++loads.sheet
      this.sheetLoading = true
      this.sheetError = null
      try {
        const sheet = await readSheet(file, file?.name, parse ? { parse } : undefined)
        if (mine !== loads.sheet) return
        this.sheet = markRaw(sheet)
        // Options that refer to columns of an earlier sheet no longer apply.
        this.options.selectedFields = this.options.selectedFields.filter((f) => sheet.headers.includes(f))
        this.options.imageColumns = this.options.imageColumns.filter((c) => sheet.images.columns.includes(c))
      } catch (err) {
        if (mine === loads.sheet) this.sheetError = plainError(err, 'generator.errExcelCorrupted', file?.name)
      } finally {
        if (mine === loads.sheet) this.sheetLoading = false
      }
    },
    clearTemplate() {
      this.template = null
      this.templateError = null
    },
    clearSheet() {
      this.sheet = null
      this.sheetError = null
    },
    async chooseDir() {
      if (!bridge.available()) {
        this.jobError = { key: 'generator.noNativeEnv', params: {}, detail: '' }
        return
      }
      try {
        const dir = await bridge.chooseDir()
        if (dir) {
          this.saveDir = dir
          if (this.jobError?.key === 'generator.needSaveDir') this.jobError = null
        }
      } catch (err) {
        this.jobError = plainError(err, 'generator.errUnknown')
      }
    },
    cancel() {
      if (this.busy) this.cancelRequested = true
    },
    startJob(kind) {
      this.busy = kind
      this.cancelRequested = false
      this.result = null
      this.jobError = null
      this.progress = { phase: kind === 'export' ? 'exporting' : 'generating', percent: 0, current: 0, total: this.records.length }
    },
    jobInput() {
      return {
        template: this.template,
        records: this.records,
        options: JSON.parse(JSON.stringify(this.options)),
        byRow: this.sheet?.images?.byRow,
        onProgress: (p) => {
          this.progress = p
        },
        isCancelled: () => this.cancelRequested,
      }
    },
    async generateArchive() {
      try {
        validateJob({ template: this.template, records: this.records, options: this.options })
      } catch (err) {
        this.jobError = plainError(err)
        return
      }
      this.startJob('archive')
      try {
        const out = await generateArchive(this.jobInput())
        this.progress = { ...this.progress, phase: 'saving', percent: 100 }
        const saved = await saveFile(out.name, out.bytes, 'application/zip', { host: getHost() })
        this.result = {
          kind: saved.cancelled ? 'cancelled' : out.failed.length ? 'partial' : 'complete',
          mode: 'archive',
          key: saved.cancelled ? 'generator.saveCancelled' : out.failed.length ? 'generator.archivePartial' : 'generator.archiveComplete',
          params: { name: out.name, count: out.files.length, total: out.total, failed: out.failed.length, path: saved.path || '' },
          path: saved.path || '',
          failed: out.failed,
          saved: out.files.map((name) => ({ name })),
        }
      } catch (err) {
        // Stopping on request is no failure: it gets a plain notice, not an error.
        if (isCancel(err)) this.result = { kind: 'cancelled', mode: 'archive', key: 'generator.cancelled', params: {}, path: '', failed: [], saved: [] }
        else this.jobError = plainError(err, 'generator.errUnknown')
      } finally {
        this.busy = ''
      }
    },
    async exportFiles() {
      if (!bridge.available()) {
        this.jobError = { key: 'generator.noNativeEnv', params: {}, detail: '' }
        return
      }
      try {
        validateJob({ template: this.template, records: this.records, options: this.options, needFolder: true, saveDir: this.saveDir })
      } catch (err) {
        this.jobError = plainError(err)
        return
      }
      this.startJob('export')
      try {
        const out = await exportToFolder({ ...this.jobInput(), saveDir: this.saveDir, host: getHost() })
        const outcome = exportOutcome(out)
        this.result = {
          kind: out.cancelled ? 'cancelled' : outcome.kind,
          mode: 'export',
          key: out.cancelled ? (out.saved.length ? 'generator.exportCancelled' : 'generator.cancelled') : outcome.key,
          params: { saved: out.saved.length, total: out.total, failed: out.failed.length },
          cancelled: out.cancelled,
          failed: out.failed.map((f) => ({ position: f.position, message: f.message, detail: f.detail })),
          saved: out.saved,
        }
      } catch (err) {
        this.jobError = plainError(err, 'generator.errUnknown')
      } finally {
        this.busy = ''
      }
    },
  },
})

const watched = new WeakSet()

/**
 * The generator store. An outcome describes the inputs it was made from: once the template, the
 * sheet or an option changes, the message about it (success, failure or notice) is dropped.
 */
export function useGeneratorStore(pinia) {
  const store = useStore(pinia)
  if (!watched.has(store)) {
    watched.add(store)
    watch(
      () => [store.template, store.sheet, JSON.stringify(store.options)],
      () => {
        if (store.busy) return
        store.result = null
        store.jobError = null
      }
    )
  }
  return store
}
