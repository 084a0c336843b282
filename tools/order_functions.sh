#!/usr/bin/env bash
# Regenerates tools/quevro.order, the function order the runner is linked in (CMakeLists.txt,
# QUEVRO_ORDER_FUNCTIONS): runs an empty script and every program of bench/scripts under callgrind
# and lists the runner's functions that ran: first what the empty script runs (start-up and
# shutdown, which every run has), then the others by the number of programs they ran in and the
# instructions spent in them. Functions no program ran are left out and follow in link order.
#   tools/order_functions.sh [BUILD_DIR] [SECONDS]
# BUILD_DIR holds the runner to profile (default build-bench); each program runs at most SECONDS
# (default 10) under callgrind, which is enough to reach its steady state. Rebuild afterwards
# (the runner relinks when the file changes). Needs valgrind and python3.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build-bench}
seconds=${2:-10}
quevro=$(cd "$build" && pwd)/quevro
[ -x "$quevro" ] || { echo "no runner at $quevro"; exit 1; }
command -v valgrind >/dev/null || { echo "valgrind is needed"; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
: >"$work/empty.quevro"

# One job per program: NAME SCRIPT [INPUT FOLDER]
jobs=("empty $work/empty.quevro")
for script in "$here"/bench/scripts/*.quevro; do
  name=$(basename "${script%.quevro}")
  if [ -f "$here/bench/scripts/$name.setup" ]; then
    mkdir -p "$work/in-$name"
    bash "$here/bench/scripts/$name.setup" "$work/in-$name" >/dev/null
    jobs+=("$name $script /$work/in-$name")
  else
    jobs+=("$name $script")
  fi
done

profile() {
  local name=$1; shift
  # SIGINT ends a long program; callgrind still writes what it collected.
  timeout -s INT "$seconds" valgrind --tool=callgrind --demangle=no --dump-instr=no \
    --callgrind-out-file="$work/$name.cg" "$quevro" "$@" >/dev/null 2>&1 || true
}
export -f profile
export work seconds quevro
printf '%s\n' "${jobs[@]}" | xargs -P "$(nproc)" -L 1 bash -c 'profile "$@"' _

python3 - "$quevro" "$work" "$here/tools/quevro.order" <<'EOF'
import glob, os, re, sys
binary, work, out = sys.argv[1:4]
empty = set()
runs = {}    # function -> number of programs it ran in
cost = {}    # function -> instructions, summed over the programs
for path in sorted(glob.glob(os.path.join(work, "*.cg"))):
    obs, fns, seen = {}, {}, set()
    ob = fn = None
    in_binary = after_call = False
    for line in open(path, errors="replace"):
        if line.startswith("calls="):
            after_call = True  # the next cost line is what the call cost, not this function's own
            continue
        m = re.match(r"(c?)(ob|fn)=\((\d+)\)(?: (.*))?$", line.rstrip("\n"))
        if m:
            called, kind, ident, name = m.groups()
            table = obs if kind == "ob" else fns
            if name is not None:
                table[ident] = name
            if not called:
                if kind == "ob":
                    ob = table.get(ident)
                else:
                    fn = re.sub(r"'\d+$", "", table.get(ident, ""))
                    in_binary = ob is not None and os.path.realpath(ob) == binary
            continue
        if line[:1].isdigit() or line[:1] in "+-*":
            parts = line.split()
            if in_binary and fn and len(parts) >= 2 and not after_call:
                seen.add(fn)
                cost[fn] = cost.get(fn, 0) + int(parts[1])
            after_call = False
    for f in seen:
        runs[f] = runs.get(f, 0) + 1
    if os.path.basename(path) == "empty.cg":
        empty = seen
# The C runtime's start code runs in every program too; callgrind names it "(below main)", and the
# linker knows it as _start (crt1) and by the functions crtbegin's code section holds.
for f in ("_start", "frame_dummy", "register_tm_clones", "deregister_tm_clones", "__do_global_dtors_aux"):
    empty.add(f)
    runs[f], cost[f] = len(glob.glob(os.path.join(work, "*.cg"))), 0
# Names callgrind makes up (code without a symbol, "(below main)") are not symbols the linker knows.
names = [f for f in runs if not f.startswith("0x") and not f.startswith("(")]
# What the empty script runs (startup and shutdown, which every run has: the longer programs are
# cut off before their shutdown) first, the rest by how many programs ran it.
names.sort(key=lambda f: (f not in empty, -runs[f], -cost[f], f))
with open(out, "w") as o:
    for f in names:
        o.write(f + "\n")
print(f"{out}: {len(names)} functions from {len(glob.glob(os.path.join(work, '*.cg')))} programs")
EOF
