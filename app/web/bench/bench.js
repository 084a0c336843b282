// Benchmark (not a test): 1,000 rows generated as one archive in headless chromium, once with a tiny
// one-page template and once with a realistic one (about 36 KB: styles, theme, header and footer, a
// table, six placeholders, one of them split over two runs).
// For each it prints wall time, peak memory of the browser processes, and the longest gap between
// progress updates, and checks that the archive holds every document, filled in.
import { readdirSync, readFileSync, writeFileSync } from 'node:fs'
import { join } from 'node:path'
import JSZip from 'jszip'
import PizZip from 'pizzip'
import { setup, openPage } from '../e2e/harness.js'
import { makeDocx } from '../tests/fixtures/docx.js'
import { makeRichDocx } from '../tests/fixtures/richDocx.js'
import { makeWorkbook } from '../tests/fixtures/xlsx.js'

const ROWS = Number(process.env.BENCH_ROWS) || 1000
const TARGET_SECONDS = 10
const TARGET_MEMORY_MB = 1024
const TARGET_GAP_MS = 1000
const PROFILE_MARKER = 'docgen-profile-'

/**
 * Proportional set size (shared pages split between their users, so nothing is counted twice)
 * of every process whose command line mentions `marker`, in bytes.
 */
function rssOf(marker) {
  let total = 0
  for (const pid of readdirSync('/proc').filter((p) => /^\d+$/.test(p))) {
    try {
      if (!readFileSync(`/proc/${pid}/cmdline`, 'utf8').includes(marker)) continue
      const m = /^Pss:\s+(\d+) kB/m.exec(readFileSync(`/proc/${pid}/smaps_rollup`, 'utf8'))
      if (m) total += Number(m[1]) * 1024
    } catch {
      // The process ended while we looked.
    }
  }
  return total
}

const smallTemplate = () =>
  makeDocx([
    'Certificate of attendance',
    'This is to certify that {Name} from {City} attended the course {Course}',
    'on {Date} and reached a score of {Score}.',
    'Reference: {Ref}',
  ])

function sheetRows() {
  const rows = [['Name', 'City', 'Course', 'Date', 'Score', 'Ref']]
  for (let i = 1; i <= ROWS; i++) {
    rows.push([`Person ${i}`, `City ${i % 50}`, 'Document automation', `2024-05-${String((i % 28) + 1).padStart(2, '0')}`, String(50 + (i % 50)), `R-${100000 + i}`])
  }
  return rows
}

/** Runs one generation in a fresh page and returns its measurements. */
async function runCase(env, label, templateBytes, sheetPath) {
  const tPath = join(env.files, `Certificate-${label}.docx`)
  writeFileSync(tPath, templateBytes)
  const { page, problems } = await openPage(env, { init: () => delete window.showSaveFilePicker })
  try {
    await page.getByTestId('template-drop-input').setInputFiles(tPath)
    await page.getByTestId('template-drop-name').waitFor()
    await page.getByTestId('sheet-drop-input').setInputFiles(sheetPath)
    await page.getByTestId('sheet-drop-name').waitFor()

    // Record the time of every change of the progress display.
    await page.evaluate(() => {
      window.__ticks = []
      new MutationObserver(() => {
        if (document.querySelector('[data-testid="progress"]')) window.__ticks.push(performance.now())
      }).observe(document.body, { subtree: true, childList: true, characterData: true, attributes: true })
    })
    const before = rssOf(PROFILE_MARKER)
    let peak = before
    const sampler = setInterval(() => {
      peak = Math.max(peak, rssOf(PROFILE_MARKER))
    }, 200)

    const started = Date.now()
    const download = page.waitForEvent('download', { timeout: 300000 })
    await page.getByTestId('generate-zip').click()
    const file = await (await download).path()
    const seconds = (Date.now() - started) / 1000
    clearInterval(sampler)
    peak = Math.max(peak, rssOf(PROFILE_MARKER))

    const ticks = await page.evaluate(() => window.__ticks)
    let maxGap = 0
    for (let i = 1; i < ticks.length; i++) maxGap = Math.max(maxGap, ticks[i] - ticks[i - 1])
    const archive = readFileSync(file)
    const zip = await JSZip.loadAsync(archive)
    const names = Object.keys(zip.files)
    // Spot check: the last document carries its own row's values.
    const last = new PizZip(await zip.file(names[names.length - 1]).async('uint8array'))
    const text = last.file('word/document.xml').asText()
    const filled = text.includes(`Person ${ROWS}`) && text.includes(`R-${100000 + ROWS}`) && !text.includes('{')
    return { label, templateKB: templateBytes.length / 1024, seconds, before, peak, ticks: ticks.length, maxGap, documents: names.length, archiveMB: archive.length / 1024 / 1024, filled, problems }
  } finally {
    await page.close()
  }
}

const env = await setup()
try {
  const sPath = join(env.files, 'attendees.xlsx')
  writeFileSync(sPath, makeWorkbook(sheetRows()))
  const results = []
  for (const [label, bytes] of [
    ['small', smallTemplate()],
    ['realistic', makeRichDocx()],
  ]) {
    results.push(await runCase(env, label, bytes, sPath))
  }
  const mb = (n) => (n / 1024 / 1024).toFixed(0)
  console.log(`rows: ${ROWS}, one archive per run`)
  for (const r of results) {
    console.log(`\n${r.label} template (${r.templateKB.toFixed(1)} KB)`)
    console.log(`  documents in archive: ${r.documents}${r.documents === ROWS ? '' : ` (expected ${ROWS})`}; last one filled in: ${r.filled ? 'yes' : 'NO'}`)
    console.log(`  archive size:         ${r.archiveMB.toFixed(1)} MB`)
    console.log(`  time:                 ${r.seconds.toFixed(2)} s (target < ${TARGET_SECONDS} s)`)
    console.log(`  peak browser memory:  ${mb(r.peak)} MB PSS of all chromium processes, ${mb(r.before)} MB before the run (target < ${TARGET_MEMORY_MB} MB)`)
    console.log(`  progress updates:     ${r.ticks}, longest gap ${r.maxGap.toFixed(0)} ms (target <= ${TARGET_GAP_MS} ms)`)
    if (r.problems.length) console.log('  page problems:', r.problems)
  }
} finally {
  await env.close()
}
