// The host bridge: the global object `quevro` offered by the desktop application.
// Every call may return a value or a promise; all are awaited here.

export function getHost(scope = globalThis) {
  const host = scope.quevro
  return host && (typeof host === 'object' || typeof host === 'function') ? host : null
}

export const hasHost = (scope) => getHost(scope) !== null

/** Normalises a save answer (JSON text or object) to { success, message, path, detail }. */
export function parseHostAnswer(answer) {
  let value = answer
  if (typeof answer === 'string') {
    try {
      value = JSON.parse(answer)
    } catch {
      return { success: false, message: answer || 'generator.errUnknown', path: '', detail: '' }
    }
  }
  if (!value || typeof value !== 'object') return { success: false, message: 'generator.errUnknown', path: '', detail: '' }
  return {
    success: value.success === true,
    message: typeof value.message === 'string' ? value.message : '',
    path: typeof value.path === 'string' ? value.path : '',
    detail: value.detail == null ? '' : String(value.detail),
  }
}

async function call(name, ...args) {
  const host = getHost()
  if (!host || typeof host[name] !== 'function') return undefined
  return await host[name](...args)
}

/** Wraps the host for the rest of the page; every method is safe to call without a host. */
export const bridge = {
  available: () => hasHost(),
  async chooseDir() {
    const dir = await call('chooseDir')
    return typeof dir === 'string' && dir ? dir : null
  },
  async setSaveDir(dir) {
    return (await call('setSaveDir', dir)) === true
  },
  saveDocxFile: (name, base64) => call('saveDocxFile', name, base64),
  saveFileToDir: (name, base64) => call('saveFileToDir', name, base64),
  async openUrl(url) {
    return (await call('openUrl', url)) === true
  },
  close: () => call('close'),
  hitCaption: () => call('hitCaption'),
  hitMin: () => call('hitMin'),
  hitMax: () => call('hitMax'),
}
