// A small static file server for dist/, on 127.0.0.1 and a free port. Unknown paths get index.html.
import { createServer } from 'node:http'
import { readFile, stat } from 'node:fs/promises'
import { extname, join, normalize, resolve } from 'node:path'

const TYPES = {
  '.html': 'text/html; charset=utf-8',
  '.js': 'text/javascript; charset=utf-8',
  '.mjs': 'text/javascript; charset=utf-8',
  '.css': 'text/css; charset=utf-8',
  '.svg': 'image/svg+xml',
  '.png': 'image/png',
  '.ico': 'image/x-icon',
  '.json': 'application/json',
  '.woff': 'font/woff',
  '.woff2': 'font/woff2',
  '.ttf': 'font/ttf',
}

export function startServer(rootDir) {
  const root = resolve(rootDir)
  const server = createServer(async (req, res) => {
    try {
      const url = new URL(req.url, 'http://localhost')
      let path = normalize(join(root, decodeURIComponent(url.pathname)))
      if (!path.startsWith(root)) {
        res.writeHead(403).end()
        return
      }
      let info = await stat(path).catch(() => null)
      if (info?.isDirectory()) {
        path = join(path, 'index.html')
        info = await stat(path).catch(() => null)
      }
      if (!info) {
        if (extname(url.pathname)) {
          res.writeHead(404).end()
          return
        }
        path = join(root, 'index.html')
      }
      const body = await readFile(path)
      res.writeHead(200, { 'content-type': TYPES[extname(path)] || 'application/octet-stream', 'cache-control': 'no-store' })
      res.end(body)
    } catch {
      res.writeHead(500).end()
    }
  })
  return new Promise((ok) => {
    server.listen(0, '127.0.0.1', () => ok({ server, url: `http://127.0.0.1:${server.address().port}/`, close: () => new Promise((r) => server.close(r)) }))
  })
}
