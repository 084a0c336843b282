// The library build of the generator for the command line: the page's modules, run by an engine
// without a page. Loaded as one script that defines the global `PapyrantBatch`.
import { runTimers, wellFormed } from './hostShims.js'
import { hardenRealm } from '../lib/harden.js'
import { generateAll } from './batchJob.js'
import { parseSheetInput } from './sheetInput.js'
import { describeSummary } from './report.js'

/**
 * A promise the host can poll: the host calls into the engine, the engine's job queue runs dry
 * before the call returns, and the host runs queued timers until `done` is set.
 */
function track(promise) {
  const task = { done: false, failed: false, value: undefined }
  promise.then(
    (value) => Object.assign(task, { done: true, value }),
    (err) => Object.assign(task, { done: true, failed: true, value: String(err?.stack || err) }),
  )
  return task
}

export default {
  runTimers,
  /** Freezes this realm's shared prototypes before a crafted file is parsed in it. */
  hardenRealm: () => hardenRealm(globalThis),
  parseSheet: (name, bytes, sheet) => track(parseSheetInput(name, bytes, sheet)),
  generate: (request) => track(generateAll(request, globalThis.papyrantHost)),
  describe: (summary) => wellFormed(describeSummary(summary)),
  toJson: (summary) => JSON.stringify(summary, null, 2),
}
