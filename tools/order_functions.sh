#!/usr/bin/env bash
# Regenerates tools/quevro.order, the function order the runner is linked in (CMakeLists.txt,
# QUEVRO_ORDER_FUNCTIONS): runs every program of bench/scripts under callgrind, with two small
# scripts that stand for what every run has, and lists the runner's functions that ran:
#   1. what every run has: an empty script (start-up and shutdown) and one that prints a line of
#      numbers and text the way programs end;
#   2. the functions that at least COMMON programs ran, by how many, then by instructions;
#   3. each program's other functions together, so that its own code shares the kernel's 64 KB
#      read windows instead of being spread over many. A function that several of these programs
#      ran goes with the first of them; each program is followed by the one that shares most of
#      its functions.
# Functions no program ran are left out and follow in link order.
#   tools/order_functions.sh [BUILD_DIR] [SECONDS]
# BUILD_DIR holds the runner to profile (default build-bench); each program runs at most SECONDS
# (default 600) under callgrind. The default lets every program run to its end, about seven
# minutes on two cores: a program cut off early misses what it does last (its output, closing its
# files), which every real run does. Rebuild afterwards (the runner relinks when the file
# changes). Needs valgrind and python3.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build-bench}
seconds=${2:-600}
quevro=$(cd "$build" && pwd)/quevro
[ -x "$quevro" ] || { echo "no runner at $quevro"; exit 1; }
command -v valgrind >/dev/null || { echo "valgrind is needed"; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
: >"$work/empty.quevro"
cat >"$work/ending.quevro" <<'END'
var n = 12345;
var x = n / 7;
io.print("total " ++ n ++ " " ++ x ++ "\t" ++ (n % 7), n, x, true, null, n <= x)
END

# One job per program: NAME SCRIPT [INPUT FOLDER]
jobs=("empty $work/empty.quevro" "ending $work/ending.quevro")
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
COMMON = 5  # programs that make a function part of the common code
EVERY_RUN = ("empty", "ending")
every = set()   # what every run has
programs = {}   # program -> the functions it ran
cost = {}       # function -> instructions, summed over the programs
for path in sorted(glob.glob(os.path.join(work, "*.cg"))):
    name = os.path.basename(path)[:-3]
    obs, fns, seen = {}, {}, set()
    ob = fn = None
    in_binary = after_call = False
    for line in open(path, errors="replace"):
        if line.startswith("calls="):
            after_call = True  # the next cost line is what the call cost, not this function's own
            continue
        m = re.match(r"(c?)(ob|fn)=\((\d+)\)(?: (.*))?$", line.rstrip("\n"))
        if m:
            called, kind, ident, label = m.groups()
            table = obs if kind == "ob" else fns
            if label is not None:
                table[ident] = label
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
    # Names callgrind makes up (code without a symbol, "(below main)") are not symbols the linker knows.
    seen = {f for f in seen if not f.startswith("0x") and not f.startswith("(")}
    if name in EVERY_RUN:
        every |= seen
    else:
        programs[name] = seen
# The C runtime's start code runs in every program too; callgrind names it "(below main)", and the
# linker knows it as _start (crt1) and by the functions crtbegin's code section holds.
for f in ("_start", "frame_dummy", "register_tm_clones", "deregister_tm_clones", "__do_global_dtors_aux"):
    every.add(f)
    cost.setdefault(f, 0)

runs = {}  # function -> the number of programs that ran it, for those not in every run
for fs in programs.values():
    for f in fs - every:
        runs[f] = runs.get(f, 0) + 1
def by_cost(f):
    return (-cost[f], f)
order = sorted(every, key=by_cost)
order += sorted((f for f in runs if runs[f] >= COMMON), key=lambda f: (-runs[f],) + by_cost(f))

own = {p: {f for f in fs if runs.get(f, COMMON) < COMMON} for p, fs in programs.items()}
own = {p: fs for p, fs in own.items() if fs}
chain, left = [], set(own)
current = max(left, key=lambda p: (len(own[p]), p)) if left else None
while left:
    chain.append(current)
    left.discard(current)
    if left:
        last = own[current]
        current = max(left, key=lambda p: (len(own[p] & last) / len(own[p] | last), p))
placed = set()
for p in chain:
    fs = sorted(own[p] - placed, key=lambda f: (-runs[f],) + by_cost(f))
    order += fs
    placed.update(fs)

with open(out, "w") as o:
    for f in order:
        o.write(f + "\n")
print(f"{out}: {len(order)} functions from {len(programs)} programs")
EOF
