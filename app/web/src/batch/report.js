// The summary of a run as terminal text. (As JSON it is the summary object itself.)

const plural = (n, one, many) => `${n} ${n === 1 ? one : many}`

function line(p) {
  return p.detail ? `${p.message} (${p.detail})` : p.message
}

/** Lines for the terminal: warnings, failed rows, then the outcome. */
export function describeSummary(summary) {
  const out = []
  for (const w of summary.warnings) out.push(`warning: ${w.message}`)
  for (const e of summary.errors) out.push(`row ${e.row} (sheet row ${e.sheetRow}): ${line(e)}`)
  if (summary.error) out.push(`error: ${line(summary.error)}`)
  if (summary.written.length) {
    const where = summary.outputKind === 'archive' ? `into the archive ${summary.output}` : `into ${summary.output}`
    const failed = summary.errors.length ? `; ${plural(summary.errors.length, 'row', 'rows')} failed` : ''
    out.push(`${plural(summary.written.length, 'document', 'documents')} of ${summary.rows} written ${where}${failed}.`)
  }
  return out.join('\n')
}
