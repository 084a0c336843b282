// Freezes the shared built-in prototypes of the current realm, so that a parser fed a crafted file
// cannot add properties to every object ("prototype pollution"). Used inside the sheet worker only.

export function hardenRealm(scope = globalThis) {
  const ctors = [Object, Array, Function, String, Number, Boolean, Date, RegExp, Map, Set, Promise, Error]
  for (const C of ctors) {
    if (C && C.prototype) Object.freeze(C.prototype)
  }
  Object.freeze(Object)
  for (const name of ['Uint8Array', 'ArrayBuffer', 'DataView']) {
    const C = scope[name]
    if (C && C.prototype) Object.freeze(C.prototype)
  }
}
