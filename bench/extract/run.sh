#!/usr/bin/env bash
# Unpacking speed and memory of our extraction against unzip and bsdtar, all
# measured in this run on the same data: one 256 MiB entry, and 5,000 small
# entries. Prints the medians of whole-process wall time, CPU time (user +
# system, steadier than wall time on a shared machine) and peak RSS, and the
# ratios ours/peer. The goals: at most bsdtar's wall time on both data sets.
#
#   bash bench/extract/run.sh [BUILD_DIR] [RUNS]
set -euo pipefail
cd "$(dirname "$0")/../.."

build=${1:-build}
runs=${2:-5}
work="$build/bench-extract"
driver="$build/bin/bench_extract"

for tool in unzip bsdtar python3 /usr/bin/time; do
    command -v "$tool" > /dev/null || { echo "missing $tool: run scripts/deps.sh" >&2; exit 1; }
done
if [ ! -x "$driver" ]; then
    cmake -S . -B "$build" > /dev/null
    cmake --build "$build" -j2 --target bench_extract > /dev/null
fi
mkdir -p "$work"

# Data is made once and kept; it is deterministic.
python3 - "$work" <<'EOF'
import os, random, sys, zipfile
work = sys.argv[1]
rng = random.Random(7)

large = os.path.join(work, "large.zip")
if not os.path.exists(large):
    # Mixed content: noise blocks (incompressible) between text blocks.
    text = b"".join(b"line %d of ordinary package text, logs and manifests\n" % i for i in range(20000))
    block = 1 << 20
    with zipfile.ZipFile(large + ".tmp", "w", zipfile.ZIP_DEFLATED, compresslevel=6) as z:
        with z.open("payload/data.bin", "w", force_zip64=True) as out:
            for i in range(256):
                out.write(rng.randbytes(block) if i % 2 == 0 else text[:block])
    os.replace(large + ".tmp", large)

many = os.path.join(work, "many.zip")
if not os.path.exists(many):
    with zipfile.ZipFile(many + ".tmp", "w", zipfile.ZIP_DEFLATED, compresslevel=6) as z:
        for i in range(5000):
            size = rng.randint(200, 8000)
            body = (b"entry %d " % i) * (size // 8) + rng.randbytes(64)
            z.writestr("res/d%02d/file%05d.txt" % (i % 50, i), body)
    os.replace(many + ".tmp", many)
EOF

# measure NAME TOOL ZIP: one fresh-target run, appends "seconds kib user sys" to $work/NAME.TOOL
measure() {
    local name=$1 tool=$2 zip=$3 target="$work/out"
    rm -rf "$target"
    sync
    local cmd
    case $tool in
        ours)   cmd=("$driver" "$zip" "$target") ;;
        unzip)  cmd=(unzip -o -q "$zip" -d "$target") ;;
        bsdtar) mkdir -p "$target"; cmd=(bsdtar -x -f "$zip" -C "$target") ;;
    esac
    python3 "$work/run_one.py" "$work/$name.$tool" "${cmd[@]}" \
        || { echo "$tool failed on $zip" >&2; exit 1; }
}

# Wall time to the microsecond and CPU time from wait4 (/usr/bin/time rounds
# both to 10 ms, a twentieth of the large entry's time); peak RSS from
# /usr/bin/time, whose own footprint is small, rather than from a fork of
# this Python.
cat > "$work/run_one.py" <<'EOF'
import os, subprocess, sys, tempfile, time
record, cmd = sys.argv[1], sys.argv[2:]
with tempfile.NamedTemporaryFile("r") as rss:
    started = time.perf_counter()
    child = subprocess.Popen(["/usr/bin/time", "-f", "%M", "-o", rss.name, *cmd])
    _, status, usage = os.wait4(child.pid, 0)
    wall = time.perf_counter() - started
    child.returncode = os.waitstatus_to_exitcode(status)
    if child.returncode != 0:
        sys.exit(1)
    kib = int(rss.read().split()[-1])
with open(record, "a") as f:
    f.write(f"{wall:.6f} {kib} {usage.ru_utime:.6f} {usage.ru_stime:.6f}\n")
EOF

tools=(ours unzip bsdtar)
for name in large many; do
    for tool in "${tools[@]}"; do rm -f "$work/$name.$tool"; done
    # The order turns each round, so no tool always follows the same neighbour.
    for ((i = 0; i < runs; i++)); do
        for ((k = 0; k < ${#tools[@]}; k++)); do
            measure "$name" "${tools[(i + k) % ${#tools[@]}]}" "$work/$name.zip"
        done
    done
done
rm -rf "$work/out"

python3 - "$work" "$runs" <<'EOF'
import statistics, sys
work, runs = sys.argv[1], sys.argv[2]
tools = ["ours", "unzip", "bsdtar"]
goals = {"large": 1.0, "many": 1.0}
med = {}
for name in goals:
    for tool in tools:
        rows = [line.split() for line in open(f"{work}/{name}.{tool}")]
        med[name, tool] = (statistics.median(float(r[0]) for r in rows),
                           statistics.median(int(r[1]) for r in rows) / 1024,
                           statistics.median(float(r[2]) + float(r[3]) for r in rows))
print(f"medians of {runs} runs, whole process, fresh target each run")
print(f"{'data':<6} {'tool':<7} {'time s':>8} {'cpu s':>7} {'peak MiB':>9} {'time ours/peer':>15} "
      f"{'cpu ours/peer':>14} {'mem ours/peer':>14}")
for name in goals:
    ours_t, ours_m, ours_c = med[name, "ours"]
    for tool in tools:
        t, m, c = med[name, tool]
        rt = f"{ours_t / t:.2f}" if tool != "ours" and t > 0 else "-"
        rc = f"{ours_c / c:.2f}" if tool != "ours" and c > 0 else "-"
        rm = f"{ours_m / m:.2f}" if tool != "ours" else "-"
        print(f"{name:<6} {tool:<7} {t:>8.2f} {c:>7.2f} {m:>9.1f} {rt:>15} {rc:>14} {rm:>14}")
for name, limit in goals.items():
    ratio = med[name, "ours"][0] / med[name, "bsdtar"][0]
    print(f"goal {name}: time <= {limit}x bsdtar: {ratio:.2f}x {'met' if ratio <= limit else 'MISSED'}")
peak = max(med[name, "ours"][1] for name in goals)
print(f"goal memory: peak < 64 MiB: {peak:.1f} MiB {'met' if peak < 64 else 'MISSED'}")
EOF
