#!/bin/sh
# papyrant generate beside the page: 1,000 rows (BENCH_ROWS) with the page benchmark's two
# templates (a one-page one and a realistic one of about 36 KB), into one archive and into one
# file per row; then the page's own benchmark in headless Chromium (skipped with BENCH_PAGE=0).
# Time is wall time; memory is the peak resident size of the process (the page's figure is the
# proportional set size of all browser processes, which counts shared pages less).
#   ./bench/batch.sh BUILD_DIR
set -eu

build="${1:-build}"
papyrant="$(cd "$build" && pwd)/papyrant"
here=$(cd "$(dirname "$0")" && pwd)
web="$here/../app/web"
tools="$here/../tests/batch/page_tools.mjs"
rows="${BENCH_ROWS:-1000}"

if [ ! -x "$papyrant" ]; then
  echo "batch.sh: $papyrant not found; build the papyrant target first" >&2
  exit 1
fi

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

python3 - "$rows" > "$tmp/rows.json" <<'PY'
import json, sys
rows = [["Name", "City", "Course", "Date", "Score", "Ref"]]
for i in range(1, int(sys.argv[1]) + 1):
    rows.append([f"Person {i}", f"City {i % 50}", "Document automation", f"2024-05-{i % 28 + 1:02d}", str(50 + i % 50), f"R-{100000 + i}"])
print(json.dumps(rows))
PY
node "$tools" workbook "$tmp/sheet.xlsx" "$(cat "$tmp/rows.json")"
node "$tools" rich-template "$tmp/Realistic.docx"
(cd "$web" && node --input-type=module -e "
import { writeFileSync } from 'node:fs'
import { makeDocx } from './tests/fixtures/docx.js'
writeFileSync('$tmp/Small.docx', makeDocx(['Certificate of attendance', 'This is to certify that {Name} from {City} attended the course {Course}', 'on {Date} and reached a score of {Score}.', 'Reference: {Ref}']))
")

echo "== papyrant generate: $rows rows =="
for template in Small Realistic; do
  /usr/bin/time -f "  $template template, one archive:   %e s, %M KB peak" "$papyrant" generate "$tmp/$template.docx" "$tmp/sheet.xlsx" --zip "$tmp/out.zip" -q 2>&1 | grep -v "documents of"
  /usr/bin/time -f "  $template template, file per row: %e s, %M KB peak" "$papyrant" generate "$tmp/$template.docx" "$tmp/sheet.xlsx" -o "$tmp/files" -q 2>&1 | grep -v "documents of"
  rm -rf "$tmp/out.zip" "$tmp/files"
done

if [ "${BENCH_PAGE:-1}" != 0 ]; then
  echo
  echo "== the page in headless Chromium (npm run bench) =="
  (cd "$web" && BENCH_ROWS="$rows" npm run --silent bench)
fi
