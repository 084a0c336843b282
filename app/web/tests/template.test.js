import { describe, expect, it } from 'vitest'
import PizZip from 'pizzip'
import { compareFields, extractPlaceholders, readTemplate } from '../src/lib/template.js'
import { makeDocx } from './fixtures/docx.js'

const keyOf = async (p) => {
  try {
    await p
  } catch (e) {
    return e.key
  }
  return 'no error'
}

describe('placeholders', () => {
  it('lists distinct placeholders in order of first appearance, across split runs', async () => {
    const bytes = makeDocx(['Dear {Name},', ['you live in {Ci', 'ty}', ' since {Year}.'], 'Again {Name} {%photo}'], { header: 'Ref {Ref}' })
    const t = await readTemplate(bytes, 'Letter.docx')
    expect(t.templateName).toBe('Letter')
    expect(t.placeholders).toEqual(['Name', 'City', 'Year', '%photo', 'Ref'])
    expect(t.imageTags).toEqual(['photo'])
  })
  it('extracts with the brace pattern', () => {
    expect(extractPlaceholders('{a}{b}{a} {c d} {}')).toEqual(['a', 'b', 'c d'])
  })
  it('finds missing and extra fields', () => {
    expect(compareFields(['Name', 'Age', '%photo', '#items', '/items'], ['Name', 'City', 'items'])).toEqual({ missing: ['Age'], extra: ['City'] })
  })
})

describe('refused files', () => {
  it('refuses names that are not Word files and files over 10 MB', async () => {
    expect(await keyOf(readTemplate(makeDocx(['x']), 'a.pdf'))).toBe('generator.errInvalidWord')
    const big = { name: 'big.docx', size: 10 * 1024 * 1024 + 1, arrayBuffer: async () => new ArrayBuffer(0) }
    expect(await keyOf(readTemplate(big))).toBe('generator.sizeError')
  })
  it('refuses an old .doc file even though its name ends in .doc', async () => {
    const doc = new Uint8Array(512)
    doc.set([0xd0, 0xcf, 0x11, 0xe0, 0xa1, 0xb1, 0x1a, 0xe1])
    expect(await keyOf(readTemplate(doc, 'old.doc'))).toBe('generator.errOldDocFormat')
  })
  it('tells a password-protected document apart from an old one', async () => {
    const enc = new Uint8Array(1024)
    enc.set([0xd0, 0xcf, 0x11, 0xe0, 0xa1, 0xb1, 0x1a, 0xe1])
    const name = 'EncryptionInfo'
    for (let i = 0; i < name.length; i++) enc[600 + i * 2] = name.charCodeAt(i)
    expect(await keyOf(readTemplate(enc, 'secret.docx'))).toBe('generator.errWordProtected')
  })
  it('refuses bytes that are not a ZIP container', async () => {
    expect(await keyOf(readTemplate(new TextEncoder().encode('hello world'), 'fake.docx'))).toBe('generator.errInvalidWordFormat')
  })
  it('reports a damaged package', async () => {
    const bytes = makeDocx(['Hello {Name}'])
    expect(await keyOf(readTemplate(bytes.slice(0, bytes.length - 40), 'cut.docx'))).toBe('generator.errWordCorrupted')
    const zip = new PizZip()
    zip.file('readme.txt', 'not a document')
    expect(await keyOf(readTemplate(zip.generate({ type: 'uint8array' }), 'empty.docx'))).toBe('generator.errWordCorrupted')
  })
  it('reports broken placeholder syntax', async () => {
    expect(await keyOf(readTemplate(makeDocx(['Hello {Name']), 'bad.docx'))).toBe('generator.errTemplateSyntax')
  })
})
