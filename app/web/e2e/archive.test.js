// In a plain browser (no host): load files, check errors, preview, and download the archive.
import { test, before, after } from 'node:test'
import assert from 'node:assert/strict'
import { readFileSync } from 'node:fs'
import JSZip from 'jszip'
import PizZip from 'pizzip'
import { setup, openPage, writeFixtures, loadInputs, PEOPLE, screenshot } from './harness.js'

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

test('generates one archive with one document per row, named and filled correctly', async () => {
  const { page, problems } = await openPage(env, { init: noPicker })
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
  await screenshot(page, 'browser-archive-done-light-en')
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
