// Saving a finished file: through the host when there is one, else the browser's own ways.
import { saveAs } from 'file-saver'
import { bytesToBase64 } from './bytes.js'
import { parseHostAnswer } from './bridge.js'
import { AppError } from './errors.js'

/**
 * Saves `bytes` as `name`.
 * @returns {{ via: 'host'|'picker'|'download', path?: string, cancelled?: boolean }}
 */
export async function saveFile(name, bytes, mime, { host, scope = globalThis } = {}) {
  if (host) {
    const answer = parseHostAnswer(await host.saveFileToDir(name, bytesToBase64(bytes)))
    if (!answer.success) throw new AppError(answer.message || 'generator.errUnknown', { detail: answer.detail })
    return { via: 'host', path: answer.path }
  }
  const blob = new Blob([bytes], { type: mime })
  if (typeof scope.showSaveFilePicker === 'function') {
    try {
      const handle = await scope.showSaveFilePicker({
        suggestedName: name,
        types: [{ description: name, accept: { [mime]: ['.' + name.split('.').pop()] } }],
      })
      const writable = await handle.createWritable()
      await writable.write(blob)
      await writable.close()
      return { via: 'picker' }
    } catch (err) {
      if (err?.name === 'AbortError') return { via: 'picker', cancelled: true }
      // The picker needs a fresh user gesture; after a long generation that may be gone. Fall back.
    }
  }
  saveAs(blob, name)
  return { via: 'download' }
}
