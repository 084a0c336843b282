// Inside the desktop host: a fake `quevro` object records every call the page makes.
import { test, before, after } from 'node:test'
import assert from 'node:assert/strict'
import JSZip from 'jszip'
import PizZip from 'pizzip'
import { setup, openPage, writeFixtures, loadInputs, screenshot } from './harness.js'

let env
let paths
before(async () => {
  env = await setup()
  paths = await writeFixtures(env.files)
})
after(async () => env?.close())

/** The fake host: answers like the real one, fails the second file, and logs calls. */
function fakeHost() {
  window.__calls = []
  const log = (name, args) => window.__calls.push({ name, args })
  const ok = (name) => JSON.stringify({ success: true, message: 'lic.saveSuccess', path: '/home/u/out/' + name })
  window.quevro = {
    chooseDir: async () => (log('chooseDir', []), '/home/u/out'),
    saveDocxFile: async (name, data) => {
      log('saveDocxFile', [name, data])
      if (window.__calls.filter((c) => c.name === 'saveDocxFile').length === 2) {
        return JSON.stringify({ success: false, message: 'lic.fileWriteFailed' })
      }
      return ok(name)
    },
    saveFileToDir: async (name, data) => (log('saveFileToDir', [name, data]), ok(name)),
    openUrl: async (url) => (log('openUrl', [url]), true),
    close: async () => log('close', []),
    hitCaption: async () => log('hitCaption', []),
    hitMin: async () => log('hitMin', []),
    hitMax: async () => (log('hitMax', []), true),
  }
}
const calls = (page, name) => page.evaluate((n) => window.__calls.filter((c) => !n || c.name === n), name)
const fromB64 = (s) => new Uint8Array(Buffer.from(s, 'base64'))
const docXml = (bytes) => new PizZip(bytes).file('word/document.xml').asText()

test('exports file by file through saveDocxFile and reports a failing answer', async () => {
  const { page, problems } = await openPage(env, { init: fakeHost })
  assert.equal(await page.getByTestId('no-host').count(), 0)
  await loadInputs(page, paths)
  // Without a folder the page asks for one first.
  await page.getByTestId('export-files').click()
  assert.equal(await page.getByTestId('job-error').getAttribute('data-key'), 'generator.needSaveDir')
  await page.getByTestId('choose-dir').click()
  await page.getByTestId('save-dir').getByText('/home/u/out').waitFor()

  await page.getByTestId('export-files').click()
  const result = page.getByTestId('result')
  await result.waitFor()
  const saves = await calls(page, 'saveDocxFile')
  assert.deepEqual(saves.map((c) => c.args[0]), ['Letter_1.docx', 'Letter_2.docx', 'Letter_3.docx'])
  for (const [i, name] of [[0, 'Ann Lee'], [1, 'Bob/Roe'], [2, 'Chen 陈']]) {
    assert.ok(docXml(fromB64(saves[i].args[1])).includes(`Name: ${name}`), name)
  }
  assert.equal(await result.getAttribute('data-kind'), 'partial')
  const text = await result.innerText()
  assert.match(text, /2 of 3 documents were saved; 1 failed/)
  assert.match(text, /Row 2: The file could not be written\./)
  await screenshot(page, 'host-export-partial-light-en')
  assert.deepEqual(problems, [])
  await page.close()
})

test('saves the archive through saveFileToDir', async () => {
  const { page, problems } = await openPage(env, { init: fakeHost })
  await loadInputs(page, paths)
  await page.getByTestId('generate-zip').click()
  await page.getByTestId('result').waitFor()
  const [call] = await calls(page, 'saveFileToDir')
  assert.match(call.args[0], /^Letter_\d{8}-\d{6}\.zip$/)
  const zip = await JSZip.loadAsync(fromB64(call.args[1]))
  assert.deepEqual(Object.keys(zip.files).sort(), ['Letter_1.docx', 'Letter_2.docx', 'Letter_3.docx'])
  assert.match(await page.getByTestId('result').innerText(), /\/home\/u\/out\/Letter_/)
  assert.deepEqual(problems, [])
  await page.close()
})

test('window buttons, links, context menu and developer keys', async () => {
  const { page, problems } = await openPage(env, { init: fakeHost, lang: 'de-DE' })
  const bar = page.getByTestId('titlebar')
  const box = await bar.boundingBox()
  await page.mouse.move(box.x + 300, box.y + box.height / 2)
  await page.mouse.down()
  await page.mouse.up()
  await page.getByTestId('min-btn').click()
  const max = page.locator('#max-btn')
  assert.equal(await max.innerText(), '1')
  await max.click()
  await page.waitForFunction(() => document.getElementById('max-btn').textContent === '2')
  // The host writes the glyph text itself after a size change; the page follows it.
  await page.evaluate(() => (document.getElementById('max-btn').innerText = '1'))
  await page.waitForFunction(() => !document.getElementById('max-btn').classList.contains('restore'))
  assert.deepEqual((await calls(page)).map((c) => c.name), ['hitCaption', 'hitMin', 'hitMax'])

  // Close asks first; cancelling keeps the window.
  await page.getByTestId('close-btn').click()
  await page.getByRole('button', { name: 'Abbrechen' }).click()
  assert.equal((await calls(page, 'close')).length, 0)
  await page.getByTestId('close-btn').click()
  await page.locator('.el-message-box').getByRole('button', { name: 'Schließen' }).click()
  await page.waitForFunction(() => window.__calls.some((c) => c.name === 'close'))

  const prevented = await page.evaluate(() => {
    const a = document.createElement('a')
    a.href = 'https://example.org/help?x=1'
    a.textContent = 'help'
    const m = document.createElement('a')
    m.href = 'mailto:someone@example.org'
    document.body.append(a, m)
    const click = (el) => {
      const ev = new MouseEvent('click', { bubbles: true, cancelable: true })
      el.dispatchEvent(ev)
      return ev.defaultPrevented
    }
    const ctx = new MouseEvent('contextmenu', { bubbles: true, cancelable: true })
    document.querySelector('main').dispatchEvent(ctx)
    const keys = ['F12', ['I', true, true], ['J', true, true], ['u', true, false]].map((k) => {
      const [key, ctrlKey, shiftKey] = Array.isArray(k) ? k : [k, false, false]
      const ev = new KeyboardEvent('keydown', { key, ctrlKey, shiftKey, bubbles: true, cancelable: true })
      document.body.dispatchEvent(ev)
      return ev.defaultPrevented
    })
    const plain = new KeyboardEvent('keydown', { key: 'a', bubbles: true, cancelable: true })
    document.body.dispatchEvent(plain)
    return { http: click(a), mailto: click(m), ctx: ctx.defaultPrevented, keys, plain: plain.defaultPrevented }
  })
  assert.deepEqual(prevented, { http: true, mailto: false, ctx: true, keys: [true, true, true, true], plain: false })
  assert.deepEqual((await calls(page, 'openUrl')).map((c) => c.args[0]), ['https://example.org/help?x=1'])
  assert.deepEqual(problems.filter((p) => !/mailto/.test(p)), [])
  await page.close()
})

test('host answers that are keys are translated, others shown as they are', async () => {
  const init = () => {
    window.quevro = {
      chooseDir: async () => 'C:\\out',
      saveDocxFile: async () => JSON.stringify({ success: false, message: 'Disk is full' }),
      saveFileToDir: async () => JSON.stringify({ success: false, message: 'lic.noSaveDir' }),
    }
  }
  const { page, problems } = await openPage(env, { init, lang: 'fr-FR' })
  await loadInputs(page, paths)
  await page.getByTestId('generate-zip').click()
  const err = page.getByTestId('job-error')
  await err.waitFor()
  assert.match(await err.innerText(), /Aucun dossier d'enregistrement n'a été choisi/)
  await page.getByTestId('choose-dir').click()
  await page.getByTestId('save-dir').getByText('C:\\out').waitFor()
  await page.getByTestId('export-files').click()
  await page.getByTestId('result').waitFor()
  const text = await page.getByTestId('result').innerText()
  assert.match(text, /Aucun document n'a été enregistré/)
  assert.match(text, /Ligne 1 : Disk is full|Ligne 1: Disk is full/)
  assert.deepEqual(problems, [])
  await page.close()
})
