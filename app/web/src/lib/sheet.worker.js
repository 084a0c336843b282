// Spreadsheet parsing runs here, away from the page: whatever a crafted file does to this realm's
// objects stays in this worker, which is thrown away after one file. Only plain data is posted back.
import { hardenRealm } from './harden.js'
import { parseSheetBytes } from './sheetCore.js'

hardenRealm(self)

self.onmessage = async (event) => {
  const answer = await parseSheetBytes(new Uint8Array(event.data.bytes))
  self.postMessage(answer)
}
