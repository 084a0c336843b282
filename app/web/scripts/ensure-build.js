// Builds the page when dist/ is missing or older than the sources, so e2e and bench always test current code.
import { existsSync, readdirSync, statSync } from 'node:fs'
import { join, dirname } from 'node:path'
import { fileURLToPath } from 'node:url'
import { execSync } from 'node:child_process'

const root = join(dirname(fileURLToPath(import.meta.url)), '..')
const newest = (p) => {
  const st = statSync(p)
  if (!st.isDirectory()) return st.mtimeMs
  return Math.max(st.mtimeMs, ...readdirSync(p).map((f) => newest(join(p, f))))
}
const built = join(root, 'dist', 'index.html')
const sources = ['src', 'public', 'index.html', 'vite.config.js', 'package-lock.json'].map((p) => join(root, p)).filter(existsSync)
if (!existsSync(built) || Math.max(...sources.map(newest)) > statSync(built).mtimeMs) {
  console.log('Building the page…')
  execSync('npx vite build', { cwd: root, stdio: 'inherit' })
} else {
  console.log('dist/ is up to date.')
}
