// Errors that carry a translation key, so the page can show them in the user's language.

export class AppError extends Error {
  /**
   * @param {string} key translation key, e.g. "generator.errWordCorrupted"
   * @param {object} [opts] params for the message and an optional technical detail
   */
  constructor(key, { params, detail, cause } = {}) {
    super(key)
    this.key = key
    this.params = params || {}
    this.detail = detail || ''
    if (cause) this.cause = cause
  }
}

// On the prototype rather than on each instance: the sheet worker freezes the built-in prototypes,
// and there an instance cannot take an own `name` over the read-only Error.prototype.name.
Object.defineProperty(AppError.prototype, 'name', { value: 'AppError', writable: true, configurable: true })

/** Turns anything thrown into an AppError, using `fallbackKey` for foreign errors. */
export function toAppError(err, fallbackKey = 'generator.errUnknown') {
  if (err instanceof AppError) return err
  const detail = err && err.message ? String(err.message) : String(err ?? '')
  return new AppError(fallbackKey, { detail, cause: err })
}
