#!/usr/bin/env bash
# Writes two equivalent programs of about N megabytes (default 4): functions, tables, expressions
# and strings, in the language and for Lua 5.4.   bench/gen_source.sh OUT_BASENAME [MB]
set -eu
out=$1
mb=${2:-4}
awk -v mb="$mb" -v qv="$out.quevro" -v lua="$out.lua" 'BEGIN {
  target = mb * 1024 * 1024; size = 0; i = 0
  while (size < target) {
    i++
    q = sprintf("var function f%d(a, b, c) {\n  var t = {x = a; y = b * %d; name = \"item%d\"; list = {1, 2, 3, %d}};\n  if a > b && c != null { t.z = (a + b) * (c - %d) / 3 %% 7; } else { t.z = -a; }\n  for i = 1, 10 { t.x = t.x + i * 2 - b; }\n  return t.x + t.y + #t.list, \"s%d\" ++ t.name;\n}\n", i, i, i, i, i, i)
    l = sprintf("local function f%d(a, b, c)\n  local t = {x = a, y = b * %d, name = \"item%d\", list = {1, 2, 3, %d}}\n  if a > b and c ~= nil then t.z = (a + b) * (c - %d) / 3 %% 7 else t.z = -a end\n  for i = 1, 10 do t.x = t.x + i * 2 - b end\n  return t.x + t.y + #t.list, \"s%d\" .. t.name\nend\n", i, i, i, i, i, i)
    # Locals are limited per function: start a new block every 150 functions.
    if (i % 150 == 1) { q = "{\n" q; l = "do\n" l }
    if (i % 150 == 0) { q = q "}\n"; l = l "end\n" }
    printf "%s", q > qv
    printf "%s", l > lua
    size += length(q)
  }
  if (i % 150 != 0) { printf "}\n" > qv; printf "end\n" > lua }
}'
