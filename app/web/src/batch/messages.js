// The English texts of the error keys, as the command line shows them: the page's own texts, with
// the few that name the page's file choices reworded for the command line, and the keys only the
// command line has.
import pageTexts from '../i18n/en-US.js'

const TEXTS = {
  ...pageTexts,
  'generator.errInvalidExcel': 'The sheet must be a spreadsheet file (.xlsx, .xls, .ods or .csv).',
  'generator.errExcelEmpty': 'The worksheet has no data rows below the header row.',
  'generator.errExcelNoHeader': 'The worksheet has no header row.',
  'batch.errSheetNotFound': 'The workbook has no worksheet of that name.',
  'batch.errReadFailed': 'The file could not be read.',
  'batch.errNotUtf8': 'The text file is not UTF-8 text.',
  'batch.errOutputFailed': 'The output could not be written.',
  'batch.errTooManyFiles': 'An archive holds at most 65,535 documents; write into a folder instead.',
  'batch.errUnknownField': 'The file name uses a column the sheet does not have.',
  'batch.cancelled': 'Stopped before every row was done.',
}

/** The English text of a key with its {param}s filled in; an unknown key is shown as it is. */
export function messageFor(key, params = {}) {
  const text = TEXTS[key]
  if (text === undefined) return String(key)
  return text.replace(/\{(\w+)\}/g, (whole, name) => (params[name] !== undefined ? String(params[name]) : whole))
}
