// Shared set-up for the browser tests: server, Debian's chromium, fixtures and console watching.
import { mkdtempSync, mkdirSync, rmSync, writeFileSync } from 'node:fs'
import { tmpdir } from 'node:os'
import { join, dirname } from 'node:path'
import { fileURLToPath } from 'node:url'
import { chromium } from 'playwright-core'
import { startServer } from './server.js'
import { makeDocx, tinyPng } from '../tests/fixtures/docx.js'
import { makeWorkbook, addPictures } from '../tests/fixtures/xlsx.js'

export const ROOT = join(dirname(fileURLToPath(import.meta.url)), '..')
export const SHOTS = join(ROOT, 'test-output', 'screenshots')

export const CHROMIUM_ARGS = [
  '--no-sandbox',
  '--disable-gpu',
  '--disable-quic',
  '--no-first-run',
  '--disable-background-networking',
  '--disable-component-update',
  '--disable-sync',
]

/** Starts the server and a browser with a fresh profile; `close()` undoes both. */
export async function setup() {
  const srv = await startServer(join(ROOT, 'dist'))
  const profile = mkdtempSync(join(tmpdir(), 'docgen-profile-'))
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: CHROMIUM_ARGS,
    acceptDownloads: true,
    viewport: { width: 1366, height: 860 },
    locale: 'en-US',
  })
  const files = mkdtempSync(join(tmpdir(), 'docgen-files-'))
  return {
    url: srv.url,
    context,
    files,
    async close() {
      await context.close()
      await srv.close()
      rmSync(profile, { recursive: true, force: true })
      rmSync(files, { recursive: true, force: true })
    },
  }
}

/** Opens a page, recording console errors and uncaught exceptions. */
export async function openPage(env, { init, lang = 'en-US', theme } = {}) {
  const page = await env.context.newPage()
  const problems = []
  page.on('console', (m) => {
    if (m.type() === 'error') problems.push(`console: ${m.text()}`)
  })
  page.on('pageerror', (e) => problems.push(`pageerror: ${e.message}`))
  await page.addInitScript(
    ([l, th]) => {
      if (!sessionStorage.getItem('__seeded')) {
        localStorage.setItem('document-generator-lang', l)
        if (th) localStorage.setItem('document-generator-theme', th)
        else localStorage.removeItem('document-generator-theme')
        sessionStorage.setItem('__seeded', '1')
      }
    },
    [lang, theme]
  )
  if (init) await page.addInitScript(init)
  await page.goto(env.url)
  await page.getByTestId('template-drop').waitFor()
  return { page, problems }
}

export const PEOPLE = [
  { Name: 'Ann Lee', City: 'Oslo', Note: 'first\nsecond' },
  { Name: 'Bob/Roe', City: 'Rome', Note: '' },
  { Name: 'Chen 陈', City: 'Xi:an', Note: 'n' },
]

/** Writes a template and a sheet (with one empty row and pictures in column D) for the tests. */
export async function writeFixtures(dir) {
  const template = makeDocx(['Name: {Name}', 'City: {City}', 'Note: {Note}', 'Missing: [{Phone}]', '{%photo}'])
  const rows = [['Name', 'City', 'Note', 'Photo'], ...PEOPLE.slice(0, 2).map((p) => [p.Name, p.City, p.Note]), ['', '', ''], [PEOPLE[2].Name, PEOPLE[2].City, PEOPLE[2].Note]]
  const sheet = await addPictures(makeWorkbook(rows), [
    { row0: 1, col0: 3, bytes: tinyPng(1) },
    { row0: 4, col0: 3, bytes: tinyPng(2) },
  ])
  const paths = {
    template: join(dir, 'Letter.docx'),
    sheet: join(dir, 'people.xlsx'),
    oldDoc: join(dir, 'old.doc'),
    noise: join(dir, 'noise.xlsx'),
  }
  writeFileSync(paths.template, template)
  writeFileSync(paths.sheet, sheet)
  const old = new Uint8Array(1024)
  old.set([0xd0, 0xcf, 0x11, 0xe0, 0xa1, 0xb1, 0x1a, 0xe1])
  writeFileSync(paths.oldDoc, old)
  writeFileSync(paths.noise, new Uint8Array(2048).map((_, i) => (i * 131) % 256))
  return paths
}

export async function loadInputs(page, paths) {
  await page.getByTestId('template-drop-input').setInputFiles(paths.template)
  await page.getByTestId('template-drop-name').waitFor()
  await page.getByTestId('sheet-drop-input').setInputFiles(paths.sheet)
  await page.getByTestId('sheet-drop-name').waitFor()
}

export async function screenshot(page, name) {
  mkdirSync(SHOTS, { recursive: true })
  await page.screenshot({ path: join(SHOTS, name + '.png') })
}
