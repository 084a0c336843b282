// In a plain browser (no host): load files, check errors, preview, and download the archive.
import { test, before, after } from 'node:test'
import assert from 'node:assert/strict'
import { readFileSync } from 'node:fs'
import JSZip from 'jszip'
import PizZip from 'pizzip'
import { setup, openPage, writeFixtures, loadInputs, PEOPLE, screenshot } from './harness.js'
import { makeWorkbook } from '../tests/fixtures/xlsx.js'

let env
let paths
before(async () => {
  env = await setup()
  paths = await writeFixtures(env.files)
})
after(async () => env?.close())

const docXml = (bytes) => new PizZip(bytes).file('word/document.xml').asText()
// Without a user gesture the save picker cannot be used; take the download path the page falls back to.
const noPicker = () => {
  delete window.showSaveFilePicker
}
/** Also counts the rows that generation workers answer for, to tell them from the page's own thread. */
const noPickerCountingWorkers = () => {
  delete window.showSaveFilePicker
  window.__workerRows = 0
  const Native = window.Worker
  window.Worker = class extends Native {
    constructor(url, options) {
      super(url, options)
      if (String(url).includes('generate')) {
        this.addEventListener('message', (e) => (window.__workerRows += e.data?.results?.length || 0))
      }
    }
  }
}
const sheetBuffer = (rows) => ({ name: 'x.xlsx', mimeType: 'application/octet-stream', buffer: Buffer.from(makeWorkbook(rows)) })

test('refuses bad files with translated messages next to the drop zone', async () => {
  const { page, problems } = await openPage(env, { init: noPicker })
  await page.getByTestId('no-host').waitFor()
  await page.getByTestId('template-drop-input').setInputFiles(paths.oldDoc)
  const err = page.getByTestId('template-drop-error')
  await err.waitFor()
  assert.equal(await err.getAttribute('data-key'), 'generator.errOldDocFormat')
  assert.match(await err.innerText(), /Word 97–2003/)
  await page.getByTestId('sheet-drop-input').setInputFiles(paths.noise)
  const err2 = page.getByTestId('sheet-drop-error')
  await err2.waitFor()
  assert.equal(await err2.getAttribute('data-key'), 'generator.errExcelCorrupted')
  assert.deepEqual(problems, [])
  await page.close()
})

test('names empty sheets and sheets without a header as such (parsed in the sheet worker)', async () => {
  const { page, problems } = await openPage(env, { init: noPicker })
  const input = page.getByTestId('sheet-drop-input')
  const err = page.getByTestId('sheet-drop-error')
  for (const [rows, key] of [
    [[['Name', 'City']], 'generator.errExcelEmpty'],
    [[], 'generator.errExcelEmpty'],
    [[['', ''], ['Ann', 'Oslo']], 'generator.errExcelNoHeader'],
  ]) {
    await input.setInputFiles(sheetBuffer(rows))
    await page.locator(`[data-testid="sheet-drop-error"][data-key="${key}"]`).waitFor()
    const text = await err.innerText()
    assert.doesNotMatch(text, /read only|read-only|damaged/i, text)
    await input.setInputFiles(paths.sheet)
    await page.getByTestId('sheet-drop-name').waitFor()
    await input.setInputFiles({ name: 'reset.xlsx', mimeType: 'application/octet-stream', buffer: Buffer.from('x') })
    await page.locator('[data-testid="sheet-drop-error"][data-key="generator.errExcelCorrupted"]').waitFor()
  }
  assert.match(await page.getByTestId('sheet-drop-error').innerText(), /reset\.xlsx/)
  assert.deepEqual(problems, [])
  await page.close()
})

test('a refused file keeps the good one loaded before it', async () => {
  const { page, problems } = await openPage(env, { init: noPicker })
  await loadInputs(page, paths)
  await page.getByTestId('template-drop-input').setInputFiles(paths.oldDoc)
  await page.locator('[data-testid="template-drop-error"][data-key="generator.errOldDocFormat"]').waitFor()
  assert.equal(await page.getByTestId('template-drop-name').innerText(), 'Letter.docx')
  assert.match(await page.getByTestId('template-drop-error').innerText(), /old\.doc/)
  await page.getByTestId('sheet-drop-input').setInputFiles(paths.noise)
  await page.getByTestId('sheet-drop-error').waitFor()
  assert.equal(await page.getByTestId('sheet-drop-name').innerText(), 'people.xlsx')
  assert.equal(await page.getByTestId('generate-zip').isEnabled(), true)
  await screenshot(page, 'browser-refused-file-keeps-old-light-en')
  assert.deepEqual(problems, [])
  await page.close()
})

test('without the desktop host, export to a folder is disabled and says why', async () => {
  const { page, problems } = await openPage(env, { init: noPicker })
  await loadInputs(page, paths)
  assert.equal(await page.getByTestId('generate-zip').isEnabled(), true)
  assert.equal(await page.getByTestId('export-files').isDisabled(), true)
  await page.getByTestId('export-files-wrap').hover()
  const tip = page.locator('.el-popper', { hasText: 'needs the desktop application' })
  await tip.waitFor()
  assert.match(await page.getByTestId('export-files-wrap').getAttribute('aria-label'), /desktop application/)
  await screenshot(page, 'browser-export-needs-host-light-en')
  assert.deepEqual(problems, [])
  await page.close()
})

test('custom names without a field say so at once, and generating waits for a field', async () => {
  const { page, problems } = await openPage(env, { init: noPicker })
  await loadInputs(page, paths)
  assert.equal(await page.getByTestId('naming-error').count(), 0)
  await page.getByTestId('naming-rule').getByText('From fields').click()
  const err = page.getByTestId('naming-error')
  await err.waitFor()
  assert.equal(await err.getAttribute('data-key'), 'generator.selectFieldsPlaceholder')
  assert.equal(await page.getByTestId('generate-zip').isDisabled(), true)
  assert.equal(await page.getByTestId('preview-btn').isEnabled(), true)
  await screenshot(page, 'browser-naming-needs-field-light-en')
  await page.getByTestId('name-fields').click()
  await page.getByRole('option', { name: 'City', exact: true }).click()
  await page.keyboard.press('Escape')
  await err.waitFor({ state: 'detached' })
  assert.equal(await page.getByTestId('generate-zip').isEnabled(), true)
  assert.deepEqual(problems, [])
  await page.close()
})

test('generates one archive with one document per row, named and filled correctly', async () => {
  const { page, problems } = await openPage(env, { init: noPickerCountingWorkers })
  await loadInputs(page, paths)
  assert.match(await page.getByTestId('sheet-drop').innerText(), /3 rows/)
  await page.getByTestId('warn-missing').waitFor()
  assert.match(await page.getByTestId('warn-missing').innerText(), /Phone/)
  // Pictures of column D go to {%photo}.
  await page.getByTestId('img-col-D').click()
  // Name files from the Name field.
  await page.getByTestId('naming-rule').getByText('From fields').click()
  await page.getByTestId('name-fields').click()
  await page.getByRole('option', { name: 'Name', exact: true }).click()
  await page.keyboard.press('Escape')
  assert.match(await page.getByTestId('example-name').innerText(), /Ann Lee\.docx/)

  const downloadPromise = page.waitForEvent('download')
  await page.getByTestId('generate-zip').click()
  const download = await downloadPromise
  assert.match(download.suggestedFilename(), /^Letter_\d{8}-\d{6}\.zip$/)
  const zip = await JSZip.loadAsync(readFileSync(await download.path()))
  const names = Object.keys(zip.files).sort()
  assert.deepEqual(names, ['Ann Lee.docx', 'Bob_Roe.docx', 'Chen 陈.docx'])
  for (const p of PEOPLE) {
    const name = p.Name.replace('/', '_') + '.docx'
    const bytes = await zip.file(name).async('uint8array')
    const xml = docXml(bytes)
    assert.ok(xml.includes(`Name: ${p.Name}`), name)
    assert.ok(xml.includes(`City: ${p.City}`), name)
    assert.ok(xml.includes('Missing: []'), name)
    const media = Object.keys(new PizZip(bytes).files).filter((f) => f.startsWith('word/media/'))
    assert.equal(media.length, p.Name === 'Bob/Roe' ? 0 : 1, `pictures in ${name}`)
  }
  await page.getByTestId('result').waitFor()
  assert.equal(await page.getByTestId('result').getAttribute('data-kind'), 'complete')
  // The rows were filled by the generation workers, not by the page's own fallback.
  assert.equal(await page.evaluate(() => window.__workerRows), PEOPLE.length)
  await screenshot(page, 'browser-archive-done-light-en')
  // The message belongs to the options it was made with: changing one takes it away.
  await page.getByTestId('date-format').click()
  await page.getByRole('option', { name: 'YYYY-MM-DD', exact: true }).click()
  await page.getByTestId('result').waitFor({ state: 'detached' })
  assert.deepEqual(problems, [])
  await page.close()
})

test('previews one row as a document', async () => {
  const { page, problems } = await openPage(env, { init: noPicker })
  await loadInputs(page, paths)
  await page.getByTestId('preview-btn').click()
  const doc = page.getByTestId('preview-doc')
  await doc.getByText('Name: Ann Lee').waitFor()
  await page.getByTestId('preview-row').locator('input').fill('3')
  await page.getByTestId('preview-row').locator('input').press('Enter')
  await doc.getByText('Name: Chen 陈').waitFor()
  await screenshot(page, 'browser-preview-light-en')
  assert.deepEqual(problems, [])
  await page.close()
})

test('keeps hostile spreadsheets inside the parser', async () => {
  const { page, problems } = await openPage(env, { init: noPicker })
  const crafted = await (await import('../tests/fixtures/xlsx.js')).makeWorkbook([['__proto__', 'constructor', 'Name'], ['{"x":1}', 'y', 'Ann']])
  await page.getByTestId('sheet-drop-input').setInputFiles({ name: 'crafted.xlsx', mimeType: 'application/octet-stream', buffer: Buffer.from(crafted) })
  await page.getByTestId('sheet-drop-name').waitFor()
  const clean = await page.evaluate(() => ({ x: {}.x, polluted: Object.keys(Object.prototype).length }))
  assert.deepEqual(clean, { x: undefined, polluted: 0 })
  assert.match(await page.getByTestId('headers').innerText(), /__proto__/)
  assert.deepEqual(problems, [])
  await page.close()
})
