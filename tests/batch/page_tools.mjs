// The page's own code for the command line's tests and benchmark, run in Node:
//   node page_tools.mjs workbook OUT ROWS_JSON [xlsx|biff8|ods] [SHEETS_JSON]
//   node page_tools.mjs pictures OUT ROWS_JSON PICTURES_JSON   (PICTURES: [{row0, col0, variant}])
//   node page_tools.mjs rich-template OUT
//   node page_tools.mjs page-archive OUT.zip TEMPLATE SHEET OPTIONS_JSON
// "page-archive" reads the inputs and generates the archive exactly as the page does (the
// page's modules, filling rows on one thread), so that its documents can be compared with the
// command line's.
import { readFileSync, writeFileSync } from 'node:fs'
import { basename } from 'node:path'
import * as XLSX from '../../app/web/node_modules/xlsx/xlsx.mjs'
import { makeWorkbook, addPictures } from '../../app/web/tests/fixtures/xlsx.js'
import { tinyPng } from '../../app/web/tests/fixtures/docx.js'
import { makeRichDocx } from '../../app/web/tests/fixtures/richDocx.js'
import { readTemplate } from '../../app/web/src/lib/template.js'
import { parseSheetBytes } from '../../app/web/src/lib/sheetCore.js'
import { sanitizeAnswer } from '../../app/web/src/lib/sheet.js'
import { generateArchive } from '../../app/web/src/lib/archive.js'

const [command, out, ...rest] = process.argv.slice(2)

function workbookWithSheets(rows, bookType, sheets) {
  const wb = XLSX.utils.book_new()
  for (const [name, sheetRows] of Object.entries(sheets)) XLSX.utils.book_append_sheet(wb, XLSX.utils.aoa_to_sheet(sheetRows), name)
  return new Uint8Array(XLSX.write(wb, { type: 'array', bookType }))
}

if (command === 'workbook') {
  const rows = JSON.parse(rest[0])
  const bookType = rest[1] || 'xlsx'
  const bytes = rest[2] ? workbookWithSheets(rows, bookType, JSON.parse(rest[2])) : makeWorkbook(rows, { bookType })
  writeFileSync(out, bytes)
} else if (command === 'pictures') {
  const pictures = JSON.parse(rest[1]).map((p) => ({ row0: p.row0, col0: p.col0, bytes: tinyPng(p.variant || 0), ext: 'png' }))
  writeFileSync(out, await addPictures(makeWorkbook(JSON.parse(rest[0])), pictures))
} else if (command === 'rich-template') {
  writeFileSync(out, makeRichDocx())
} else if (command === 'page-archive') {
  const [templatePath, sheetPath, optionsJson] = rest
  const template = await readTemplate(new Uint8Array(readFileSync(templatePath)), basename(templatePath))
  const answer = await parseSheetBytes(new Uint8Array(readFileSync(sheetPath)))
  if (!answer.ok) throw new Error(`sheet: ${answer.key}`)
  const sheet = sanitizeAnswer(answer.data)
  const result = await generateArchive({ template, records: sheet.records, byRow: sheet.images.byRow, options: JSON.parse(optionsJson || '{}'), workers: 0 })
  writeFileSync(out, result.bytes)
  // The page's yield channel keeps Node's event loop alive.
  process.exit(0)
} else {
  console.error(`page_tools.mjs: unknown command ${command}`)
  process.exit(64)
}
