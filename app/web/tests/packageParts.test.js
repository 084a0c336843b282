// The pieces under the fast renderer: folding fixed paragraphs, and reading and writing ZIP entries.
import { describe, expect, it } from 'vitest'
import JSZip from 'jszip'
import PizZip from 'pizzip'
import { encodeKept, foldStaticParagraphs, unfoldStaticParagraphBytes, unfoldStaticParagraphs } from '../src/lib/staticParagraphs.js'
import { crc32, makeEntry, nativeDeflate, readZipEntries, writeZip } from '../src/lib/zipParts.js'

const utf8 = new TextEncoder()
const text = new TextDecoder()

describe('folding fixed paragraphs', () => {
  const xml =
    '<w:body><w:p w:rsidR="1"><w:pPr><w:pStyle w:val="A"/></w:pPr><w:r><w:t>Fixed é</w:t></w:r></w:p>' +
    '<w:p><w:r><w:t>Dear {Name}</w:t></w:r></w:p>' +
    '<w:p><w:r><w:pict><w:txbxContent><w:p><w:r><w:t>boxed</w:t></w:r></w:p></w:txbxContent></w:pict></w:r></w:p>' +
    '<w:p/><w:p><w:pPr><w:sectPr/></w:pPr></w:p><w:p><w:r><w:t>{open</w:t></w:r></w:p><w:p><w:r><w:t>inside</w:t></w:r></w:p>' +
    '<w:p><w:r><w:t>close}</w:t></w:r></w:p><w:p><w:r><w:t>after</w:t></w:r></w:p><w:sectPr/></w:body>'

  it('folds whole outer paragraphs without braces, section breaks or an open placeholder before them', () => {
    const folded = foldStaticParagraphs(xml)
    expect(folded.kept).toEqual([
      '<w:p w:rsidR="1"><w:pPr><w:pStyle w:val="A"/></w:pPr><w:r><w:t>Fixed é</w:t></w:r></w:p>',
      '<w:p><w:r><w:pict><w:txbxContent><w:p><w:r><w:t>boxed</w:t></w:r></w:p></w:txbxContent></w:pict></w:r></w:p>',
      '<w:p><w:r><w:t>after</w:t></w:r></w:p>',
    ])
    expect(folded.text).toContain('Dear {Name}')
    expect(folded.text).toContain('<w:sectPr/></w:pPr>')
    expect(folded.text).toContain('>inside<')
    expect(folded.text).not.toContain('Fixed')
  })
  it('puts the paragraphs back, as text and as bytes, also where a loop copied a marker', () => {
    const folded = foldStaticParagraphs(xml)
    expect(unfoldStaticParagraphs(folded.text, folded.kept)).toBe(xml)
    const copied = folded.text.replace('<w:p data-keep-paragraph="0"></w:p>', '<w:p data-keep-paragraph="0"></w:p><w:p data-keep-paragraph="0"></w:p>')
    const expected = xml.replace(folded.kept[0], folded.kept[0] + folded.kept[0])
    expect(unfoldStaticParagraphs(copied, folded.kept)).toBe(expected)
    expect(text.decode(unfoldStaticParagraphBytes(utf8.encode(copied), encodeKept(folded.kept)))).toBe(expected)
  })
  it('refuses markers it does not know or that were changed', () => {
    const folded = foldStaticParagraphs(xml)
    expect(() => unfoldStaticParagraphs(folded.text.replace('paragraph="1"', 'paragraph="9"'), folded.kept)).toThrow(/unknown/)
    const changed = folded.text.replace('"></w:p>', '" x="1"></w:p>')
    expect(() => unfoldStaticParagraphBytes(utf8.encode(changed), encodeKept(folded.kept))).toThrow(/changed/)
  })
  it('leaves parts alone that have nothing to fold or already use the marker', () => {
    expect(foldStaticParagraphs('<w:settings><w:zoom/></w:settings>')).toBeNull()
    expect(foldStaticParagraphs('<w:p><w:r><w:t>{a}</w:t></w:r></w:p>')).toBeNull()
    expect(foldStaticParagraphs('<w:p data-keep-paragraph="0"></w:p><w:p><w:r><w:t>x</w:t></w:r></w:p>')).toBeNull()
  })
})

describe('ZIP entries', () => {
  it('computes the standard CRC-32', () => {
    expect(crc32(utf8.encode('123456789'))).toBe(0xcbf43926)
    expect(crc32(new Uint8Array(0))).toBe(0)
    const odd = utf8.encode('The quick brown fox jumps over the lazy dog')
    expect(crc32(odd)).toBe(0x414fa339)
  })
  it('copies entries of one package into another without recompressing them', async () => {
    const source = new PizZip()
    source.file('a.xml', '<a>' + 'x'.repeat(5000) + '</a>')
    source.file('dir/ü.txt', 'unicode name')
    const bytes = source.generate({ type: 'uint8array', compression: 'DEFLATE' })
    const entries = readZipEntries(bytes)
    expect([...entries.keys()]).toEqual(['a.xml', 'dir/ü.txt'])
    expect(entries.get('a.xml').method).toBe(8)
    let seed = 12345
    const noise = new Uint8Array(3000).map(() => (seed = (seed * 1103515245 + 12345) >>> 0) >>> 24)
    const added = await makeEntry('new/ö.bin', noise, nativeDeflate)
    const packed = await makeEntry('new/text.xml', utf8.encode('<b>' + 'y'.repeat(4000) + '</b>'), nativeDeflate)
    expect(added.method).toBe(0)
    expect(packed.method).toBe(8)
    const out = writeZip([...entries.values(), added, packed])
    const zip = await JSZip.loadAsync(out, { checkCRC32: true })
    expect(Object.keys(zip.files)).toEqual(['a.xml', 'dir/ü.txt', 'new/ö.bin', 'new/text.xml'])
    expect(await zip.file('a.xml').async('string')).toBe('<a>' + 'x'.repeat(5000) + '</a>')
    expect(await zip.file('dir/ü.txt').async('string')).toBe('unicode name')
    expect(Array.from(await zip.file('new/ö.bin').async('uint8array'))).toEqual(Array.from(noise))
    expect(await zip.file('new/text.xml').async('string')).toBe('<b>' + 'y'.repeat(4000) + '</b>')
    // The copied entry's compressed bytes are the very bytes of the source package.
    expect(readZipEntries(out).get('a.xml').data).toEqual(entries.get('a.xml').data)
  })
  it('refuses packages it cannot copy from', () => {
    expect(() => readZipEntries(utf8.encode('not a zip at all'))).toThrow()
    const zip = new PizZip()
    zip.file('a.txt', 'a')
    const bytes = zip.generate({ type: 'uint8array' })
    const view = new DataView(bytes.buffer)
    const central = bytes.findIndex((_, i) => i + 4 <= bytes.length && view.getUint32(i, true) === 0x02014b50)
    view.setUint16(central + 8, 1, true)
    expect(() => readZipEntries(bytes)).toThrow(/encrypted/)
  })
})
