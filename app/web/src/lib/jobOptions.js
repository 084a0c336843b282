// Checks shared by both ways of producing documents.
import { AppError } from './errors.js'

/** Throws the AppError that tells the user what is still missing. */
export function validateJob({ template, records, options, needFolder = false, saveDir = '' }) {
  if (!template) throw new AppError('generator.needTemplate')
  if (!records || !records.length) throw new AppError('generator.needSheet')
  if (needFolder && !saveDir) throw new AppError('generator.needSaveDir')
  if (options?.namingRule === 'custom' && !(options.selectedFields || []).length) {
    throw new AppError('generator.selectFieldsPlaceholder')
  }
}

/** The image settings part of the options. */
export function imageOptionsOf(options = {}) {
  return {
    imageColumns: options.imageColumns || [],
    imageColumnTags: options.imageColumnTags || {},
    imageColumnSizes: options.imageColumnSizes || {},
    imageWidth: options.imageWidth,
    imageHeight: options.imageHeight,
  }
}
