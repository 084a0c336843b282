// Main screens in two themes and two languages, and the settings that must survive a reload.
import { test, before, after } from 'node:test'
import assert from 'node:assert/strict'
import { setup, openPage, writeFixtures, loadInputs, screenshot } from './harness.js'

let env
let paths
before(async () => {
  env = await setup()
  paths = await writeFixtures(env.files)
})
after(async () => env?.close())

const hostStub = () => {
  window.quevro = { chooseDir: async () => 'D:\\Documents\\Out', hitMax: async () => true, hitMin() {}, hitCaption() {}, close() {} }
}

for (const [theme, lang, host] of [
  ['light', 'en-US', false],
  ['dark', 'zh-CN', true],
  ['dark', 'en-US', false],
  ['light', 'zh-CN', true],
]) {
  test(`screens: ${theme} ${lang}${host ? ' in the host' : ''}`, async () => {
    const { page, problems } = await openPage(env, { lang, theme, init: host ? hostStub : undefined })
    const dark = await page.evaluate(() => document.documentElement.classList.contains('dark'))
    assert.equal(dark, theme === 'dark')
    assert.equal(await page.evaluate(() => document.documentElement.lang), lang)
    await screenshot(page, `empty-${theme}-${lang}`)
    await loadInputs(page, paths)
    if (host) {
      await page.getByTestId('choose-dir').click()
      await page.getByTestId('save-dir').getByText('Out').waitFor()
    }
    await page.getByTestId('img-col-D').click()
    await page.locator('[data-testid="img-col-D"].is-checked').waitFor()
    await screenshot(page, `loaded-${theme}-${lang}`)
    await page.setViewportSize({ width: 900, height: 800 })
    await screenshot(page, `narrow-${theme}-${lang}`)
    await page.setViewportSize({ width: 1366, height: 860 })
    assert.deepEqual(problems, [])
    await page.close()
  })
}

test('language and theme choices persist across reloads', async () => {
  const { page, problems } = await openPage(env, { lang: 'en-US' })
  await page.getByTestId('lang-select').click()
  await page.getByRole('option', { name: 'Deutsch' }).click()
  await page.getByText('Dokumentgenerator').first().waitFor()
  await page.getByTestId('theme-switch').getByText('Dunkel').click()
  const stored = await page.evaluate(() => [localStorage.getItem('document-generator-lang'), localStorage.getItem('document-generator-theme')])
  assert.deepEqual(stored, ['de-DE', 'dark'])
  await page.reload()
  await page.getByText('Dokumentgenerator').first().waitFor()
  assert.equal(await page.evaluate(() => document.documentElement.classList.contains('dark')), true)
  assert.deepEqual(problems, [])
  await page.close()
})

test('the theme follows the system by default', async () => {
  const { page } = await openPage(env, { lang: 'en-US' })
  assert.equal(await page.evaluate(() => localStorage.getItem('document-generator-theme')), null)
  await page.emulateMedia({ colorScheme: 'dark' })
  await page.waitForFunction(() => document.documentElement.classList.contains('dark'))
  await page.emulateMedia({ colorScheme: 'light' })
  await page.waitForFunction(() => !document.documentElement.classList.contains('dark'))
  await page.close()
})

test('every control is reachable by keyboard', async () => {
  const { page, problems } = await openPage(env, { lang: 'en-US' })
  await loadInputs(page, paths)
  const seen = new Set()
  for (let i = 0; i < 40; i++) {
    await page.keyboard.press('Tab')
    const id = await page.evaluate(() => document.activeElement?.closest('[data-testid]')?.getAttribute('data-testid') || '')
    if (id) seen.add(id)
  }
  for (const id of ['template-drop', 'sheet-drop', 'naming-rule', 'generate-zip', 'preview-btn']) assert.ok(seen.has(id), `${id} not reached: ${[...seen]}`)
  // Enter on a focused drop zone opens the file chooser. The zone ignores keys while it is busy
  // reading a file, so wait for that first; on a loaded machine a key can still land before the
  // page settles, hence one more try.
  const drop = page.getByTestId('template-drop')
  await page.waitForFunction(() => document.querySelector('[data-testid="template-drop"]')?.getAttribute('aria-busy') !== 'true')
  let opened = false
  for (let attempt = 0; attempt < 2 && !opened; attempt++) {
    const chooser = page.waitForEvent('filechooser', { timeout: 15000 }).then(() => true, () => false)
    await drop.press('Enter')
    opened = await chooser
  }
  assert.ok(opened, 'Enter on the template drop zone opened no file chooser')
  assert.deepEqual(problems, [])
  await page.close()
})
