// Lets the browser paint and handle input between chunks of work.

let channel = null
const waiting = []

/** Resolves on the next macrotask; unlike setTimeout(0) it is not clamped to 4 ms or more. */
export function yieldToPage() {
  if (typeof MessageChannel === 'undefined') return new Promise((r) => setTimeout(r, 0))
  if (!channel) {
    channel = new MessageChannel()
    channel.port1.onmessage = () => waiting.shift()?.()
  }
  return new Promise((resolve) => {
    waiting.push(resolve)
    channel.port2.postMessage(0)
  })
}
