// The library build of the generator for the command line (`papyrant generate`): one script,
// everything inlined, that defines the global PapyrantBatch. CMake passes the output folder.
import { defineConfig } from 'vite'

export default defineConfig({
  publicDir: false,
  build: {
    emptyOutDir: true,
    minify: true,
    reportCompressedSize: false,
    target: 'es2022',
    lib: {
      entry: 'src/batch/entry.js',
      name: 'PapyrantBatch',
      formats: ['iife'],
      fileName: () => 'papyrant-batch.js',
    },
  },
})
