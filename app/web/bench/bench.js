// Benchmark (not a test): 1,000 rows into a one-page template, generated as one archive in headless chromium.
// Prints wall time, peak memory of the browser processes, and the longest gap between progress updates.
import { readdirSync, readFileSync, writeFileSync } from 'node:fs'
import { join } from 'node:path'
import JSZip from 'jszip'
import { setup, openPage } from '../e2e/harness.js'
import { makeDocx } from '../tests/fixtures/docx.js'
import { makeWorkbook } from '../tests/fixtures/xlsx.js'

const ROWS = 1000

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

const env = await setup()
try {
  const template = makeDocx([
    'Certificate of attendance',
    'This is to certify that {Name} from {City} attended the course {Course}',
    'on {Date} and reached a score of {Score}.',
    'Reference: {Ref}',
  ])
  const rows = [['Name', 'City', 'Course', 'Date', 'Score', 'Ref']]
  for (let i = 1; i <= ROWS; i++) rows.push([`Person ${i}`, `City ${i % 50}`, 'Document automation', `2024-05-${String((i % 28) + 1).padStart(2, '0')}`, String(50 + (i % 50)), `R-${100000 + i}`])
  const tPath = join(env.files, 'Certificate.docx')
  const sPath = join(env.files, 'attendees.xlsx')
  writeFileSync(tPath, template)
  writeFileSync(sPath, makeWorkbook(rows))

  const { page, problems } = await openPage(env, { init: () => delete window.showSaveFilePicker })
  await page.getByTestId('template-drop-input').setInputFiles(tPath)
  await page.getByTestId('template-drop-name').waitFor()
  await page.getByTestId('sheet-drop-input').setInputFiles(sPath)
  await page.getByTestId('sheet-drop-name').waitFor()

  // Record the time of every change of the progress display.
  await page.evaluate(() => {
    window.__ticks = []
    new MutationObserver(() => {
      const p = document.querySelector('[data-testid="progress"]')
      if (p) window.__ticks.push(performance.now())
    }).observe(document.body, { subtree: true, childList: true, characterData: true, attributes: true })
  })
  let peak = 0
  const profileMarker = 'docgen-profile-'
  const before = rssOf(profileMarker)
  const sampler = setInterval(() => {
    peak = Math.max(peak, rssOf(profileMarker))
  }, 200)

  const started = Date.now()
  const download = page.waitForEvent('download', { timeout: 120000 })
  await page.getByTestId('generate-zip').click()
  const file = await (await download).path()
  const seconds = (Date.now() - started) / 1000
  clearInterval(sampler)
  peak = Math.max(peak, rssOf(profileMarker))

  const ticks = await page.evaluate(() => window.__ticks)
  let maxGap = 0
  for (let i = 1; i < ticks.length; i++) maxGap = Math.max(maxGap, ticks[i] - ticks[i - 1])
  const heap = await page.evaluate(() => performance.memory?.usedJSHeapSize || 0)
  const zip = await JSZip.loadAsync(readFileSync(file))
  const count = Object.keys(zip.files).length

  console.log(`rows:                 ${ROWS}`)
  console.log(`documents in archive: ${count}`)
  console.log(`archive size:         ${(readFileSync(file).length / 1024 / 1024).toFixed(1)} MB`)
  console.log(`time:                 ${seconds.toFixed(2)} s (target < 15 s)`)
  console.log(`peak browser memory:  ${(peak / 1024 / 1024).toFixed(0)} MB (PSS of all chromium processes; before the run ${(before / 1024 / 1024).toFixed(0)} MB) (target < 1024 MB)`)
  console.log(`JS heap after run:    ${(heap / 1024 / 1024).toFixed(0)} MB`)
  console.log(`progress updates:     ${ticks.length}, longest gap ${maxGap.toFixed(0)} ms (target <= 1000 ms)`)
  if (problems.length) console.log('page problems:', problems)
  await page.close()
} finally {
  await env.close()
}
