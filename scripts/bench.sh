#!/usr/bin/env bash
# Builds the benchmarks (Release) and measures every performance figure next to its reference, then
# prints one table. Takes about 10 to 14 minutes on two cores.
#
#   scripts/bench.sh [build-dir]          default build dir: build-bench
#
# Environment: CASTORA_BENCH_TMP   scratch space for catalogues and archives (default /tmp; ~1 GB)
#              CASTORA_BENCH_QUICK=1  fewer repetitions and no Google Benchmark run (about 5 minutes)
#              CASTORA_BENCH_JOBS  build parallelism (default 2)
set -euo pipefail
cd "$(dirname "$0")/.."
src=$(pwd)
build=${1:-build-bench}
mkdir -p "$build" && build=$(cd "$build" && pwd)
jobs=${CASTORA_BENCH_JOBS:-2}
quick=${CASTORA_BENCH_QUICK:-0}

cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCASTORA_BENCH=ON >/dev/null
cmake --build "$build" -j"$jobs" --target castora-gencat castora-perf castora-bench castora-player castora-barewindow \
  castora-bench-logos >/dev/null

bin=$build/bench
scratch=$(mktemp -d "${CASTORA_BENCH_TMP:-/tmp}/castora-bench-run.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
results=$scratch/results.tsv
: >"$results"
export CASTORA_BENCH_TMP=${CASTORA_BENCH_TMP:-/tmp}
export QT_QPA_PLATFORM=offscreen

reps() { if [ "$quick" = 1 ]; then echo "$1"; else echo "$2"; fi; }
load_avg() { cut -d' ' -f1 /proc/loadavg; }
# Runs one driver command; its FIG lines go to the results with the load average at its start.
figure() {
  local la
  la=$(load_avg)
  echo "  $* (load average $la)" >&2
  "$bin/castora-perf" "$@" 2>/dev/null | awk -v la="$la" -F'\t' '$1=="FIG"{print $0 "\t" la} $1=="NOTE"{print $0}' >>"$results" || true
}

echo "Generating catalogues ..." >&2
"$bin/castora-gencat" "$scratch/c5" 100000 >/dev/null
"$bin/castora-gencat" "$scratch/c6" 1000000 >/dev/null
sync  # the catalogues' write-back must not run under the first figures

echo "Measuring ..." >&2
figure load "$scratch/c6" "$(reps 3 9)"
figure grid "$scratch/c6" "$(reps 2 5)"
figure startup "$scratch/c5" "$(reps 3 9)"
if command -v xvfb-run >/dev/null && command -v xwininfo >/dev/null; then
  la=$(load_avg)
  echo "  window (xvfb-run, load average $la)" >&2
  mkdir -p "$scratch/sample" && cp "$src"/data/* "$scratch/sample/"
  # The sample catalogue's window beside a bare Qt window, taken in turns in one X server.
  QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1280x1024x24" sh -c '
    "$1/castora-perf" window "$2/run/castora-player" "$3/c5" "$4"
    for i in 1 2 3; do
      "$1/castora-perf" barewindow "$1/castora-barewindow" "$4"
      "$1/castora-perf" window "$2/run/castora-player" "$3/sample" "$4" startup.sample_window_ms
    done
    # Started with a 100,000-entry playlist: spawn to the import question, beside the start-up without
    # it and the read and plan alone, in turns.
    "$1/castora-perf" make-m3u "$3/big.m3u" 100000
    "$1/castora-perf" importstart "$2/run/castora-player" "$3/c5" "$3/big.m3u" "$4"' sh "$bin" "$build" "$scratch" "$(reps 3 7)" 2>/dev/null |
    awk -v la="$la" -F'\t' '$1=="FIG"{print $0 "\t" la}' >>"$results" || true
fi
figure pause "$scratch/c6" "$(reps 1 3)"
figure search "$scratch/c6" "$(reps 3 5)"
figure memory "$scratch/c6"
figure save 100000 "$(reps 3 7)"
"$bin/castora-perf" make-zip "$scratch/update.zip" 50 >/dev/null
figure extract "$scratch/update.zip" "$(reps 3 5)"
figure download 200 "$(reps 3 7)"
figure play "$(reps 3 9)"
la=$(load_avg)
echo "  logos (load average $la)" >&2
"$bin/castora-bench-logos" all "$(reps 1 3)" 2>/dev/null |
  awk -v la="$la" -F'\t' '$1=="FIG"{print $0 "\t" la} $1=="NOTE"{print $0}' >>"$results" || true
rm -rf "$scratch/c5" "$scratch/c6" "$scratch/update.zip"

gbench=$scratch/gbench.json
if [ "$quick" != 1 ]; then
  echo "Google Benchmark (load, duplicates, grid at 10^4, 10^5, 10^6) ..." >&2
  "$bin/castora-bench" --benchmark_repetitions=3 --benchmark_report_aggregates_only=true \
    --benchmark_min_time=0.2 --benchmark_out="$gbench" --benchmark_out_format=json >/dev/null 2>&1 || true
fi

python3 - "$results" "$gbench" <<'PY'
import json, os, sys

figs, notes, rounds = {}, [], {}
for line in open(sys.argv[1]):
    f = line.rstrip("\n").split("\t")
    if f[0] == "FIG":
        rounds.setdefault(f[1], []).append(float(f[2]))  # a figure taken in turns with its reference
        figs[f[1]] = dict(med=float(f[2]), lo=float(f[3]), hi=float(f[4]), unit=f[5], n=int(f[6]), la=f[7] if len(f) > 7 else "?")
    elif f[0] == "NOTE":
        notes.append(f[1])

def v(name):
    return figs[name]["med"] if name in figs else float("nan")

def show(name, digits=0):
    if name not in figs:
        return "n/a"
    f = figs[name]
    fmt = "%%.%df" % digits
    s = (fmt % f["med"]) + " " + f["unit"]
    if f["n"] > 1:
        s += " (" + (fmt % f["lo"]) + "–" + (fmt % f["hi"]) + ", n=" + str(f["n"]) + ")"
    return s

def la(*names):
    return ", ".join(sorted({figs[n]["la"] for n in names if n in figs})) or "?"

def verdict(ok):
    return "n/a" if ok is None else ("met" if ok else "MISSED")

def chk(expr):
    try:
        r = expr()
        return None if r != r else bool(r)  # NaN → n/a
    except KeyError:
        return None

rows = []
def row(what, measured, reference, target, ok, *names):
    rows.append((what, measured, reference, target, verdict(ok), la(*names)))

row("List load, %d channels (%s MB)" % (v("load.channels"), "%.0f" % v("load.bytes")),
    show("load.rate"), "read into memory: " + show("load.read_rate"), ">= read rate / 2.5",
    chk(lambda: v("load.rate") * 2.5 >= v("load.read_rate") if "load.rate" in figs else float("nan")), "load.rate")
worst = max((k for k in figs if k.startswith("grid.rebuild_ms[")), key=lambda k: v(k), default=None)
row("Duplicate removal, %d -> %d channels" % (v("grid.channels_before"), v("grid.channels_after")),
    show("grid.dedupe_ms", 1), "", "", None, "grid.dedupe_ms")
for k in sorted((k for k in figs if k.startswith("grid.rebuild_ms[")), key=lambda k: k):
    combo = k[len("grid.rebuild_ms["):-1]
    row("Grid rebuild, filters: %s (%d rows)" % (combo, v("grid.rows[%s]" % combo)), show(k, 1), "", "", None, k)
row("Duplicates + slowest rebuild, 10^6", show("grid.dedupe_plus_worst_rebuild_ms", 1), "", "< 100 ms",
    chk(lambda: v("grid.dedupe_plus_worst_rebuild_ms") < 100 if "grid.dedupe_plus_worst_rebuild_ms" in figs else float("nan")),
    "grid.dedupe_ms")
row("Start-up to usable grid, 10^5 (whole process, offscreen)", show("startup.process_ms"),
    "main() to shown: " + show("startup.main_to_shown_ms"), "< 700 ms",
    chk(lambda: v("startup.process_ms") < 700 if "startup.process_ms" in figs else float("nan")), "startup.process_ms")
row("castora-player to mapped window, 10^5 (Xvfb)", show("startup.player_window_ms"), "", "< 700 ms",
    chk(lambda: v("startup.player_window_ms") < 700 if "startup.player_window_ms" in figs else float("nan")),
    "startup.player_window_ms")
# Each turn's window against the bare window of the same turn; the median of those ratios.
turns = list(zip(rounds.get("startup.sample_window_ms", []), rounds.get("startup.bare_window_ms", [])))
ratios = sorted(w / b for w, b in turns if b > 0)
ratio = ratios[len(ratios) // 2] if ratios else float("nan")
row("castora-player to mapped window, sample catalogue (Xvfb), %d turns" % len(turns),
    " / ".join("%.0f" % w for w, _ in turns) + " ms", "bare Qt window: " + " / ".join("%.0f" % b for _, b in turns) +
    " ms; median ratio %.2f x" % ratio, "<= 2 x bare", chk(lambda: ratio <= 2), "startup.sample_window_ms")
row("castora-player big.m3u (10^5 entries) to the import question, 10^5 catalogue (Xvfb)",
    show("import.start_to_question_ms"),
    "its window: %s; without the playlist: %s; read and plan alone: %s" % (show("import.start_to_window_ms"),
        show("import.window_without_playlist_ms"), show("import.read_and_plan_ms")), "<= 600 ms",
    chk(lambda: v("import.start_to_question_ms") <= 600 if "import.start_to_question_ms" in figs else float("nan")),
    "import.start_to_question_ms")
gaps = ["pause.startup_max_gap_ms", "pause.reload_max_gap_ms", "pause.filters_max_gap_ms"]
row("Longest event-loop pause: start-up, 10^6", show("pause.startup_max_gap_ms", 1), "", "< 20 ms",
    chk(lambda: v("pause.startup_max_gap_ms") < 20 if "pause.startup_max_gap_ms" in figs else float("nan")), gaps[0])
row("Longest event-loop pause: reload + rebuild, 10^6", show("pause.reload_max_gap_ms", 1), "", "< 20 ms",
    chk(lambda: v("pause.reload_max_gap_ms") < 20 if "pause.reload_max_gap_ms" in figs else float("nan")), gaps[1])
row("Longest event-loop pause: 8 filter changes, 10^6", show("pause.filters_max_gap_ms", 1), "", "< 20 ms",
    chk(lambda: v("pause.filters_max_gap_ms") < 20 if "pause.filters_max_gap_ms" in figs else float("nan")), gaps[2])
for k in [k for k in figs if k.startswith("search.key_ms[")]:
    word = k[len("search.key_ms["):-1]
    row("Find, keystroke \"%s\" (%d rows), 10^6" % (word, v("search.rows[%s]" % word)), show(k, 1),
        "plain rebuild: " + show("search.plain_rebuild_ms", 1), "<= 30 ms", chk(lambda k=k: v(k) <= 30), k)
row("Longest event-loop pause: typing into find, 10^6", show("search.typing_max_gap_ms", 1), "", "<= 50 ms",
    chk(lambda: v("search.typing_max_gap_ms") <= 50 if "search.typing_max_gap_ms" in figs else float("nan")),
    "search.typing_max_gap_ms")
limit_mib = 2 * v("memory.list_bytes") * 1e6 / 2**20 + 52
row("Peak memory (VmHWM), 10^6 channels", show("memory.peak"),
    "list files: %s; after a reload: %s" % (show("memory.list_bytes"), show("memory.peak_after_reload")),
    "<= 2 x files + 52 MiB = %.0f MiB" % limit_mib,
    chk(lambda: v("memory.peak") <= limit_mib if "memory.peak" in figs else float("nan")),
    "memory.peak")
row("Save of 10^5 local channels (%.1f MB)" % v("save.bytes"), show("save.ms", 1),
    "write + fsync of the same bytes: " + show("save.write_fsync_ms", 1), "", None, "save.ms")
row("ExtractUpdate, %.0f MB archive (%.0f MB out)" % (v("extract.archive_bytes"), v("extract.output_bytes")),
    show("extract.ms"), "unzip -o: " + show("extract.unzip_ms"), "<= unzip + 10%",
    chk(lambda: v("extract.ms") <= 1.1 * v("extract.unzip_ms") if "extract.ms" in figs else float("nan")), "extract.ms")
row("DownloadChannelList, %.0f MB loopback" % v("download.bytes"), show("download.ms"),
    "curl -o: " + show("download.curl_ms"), "<= curl + 10%",
    chk(lambda: v("download.ms") <= 1.1 * v("download.curl_ms") if "download.ms" in figs else float("nan")), "download.ms")
row("Play -> state 3, existing player", show("play.warm_ms", 1), "idle mpv over IPC: " + show("play.mpv_ipc_ms", 1),
    "<= mpv + 20%", chk(lambda: v("play.warm_ms") <= 1.2 * v("play.mpv_ipc_ms") if "play.warm_ms" in figs else float("nan")),
    "play.warm_ms")
row("Play -> state 3, player created for it", show("play.cold_ms", 1), "mpv command line: " + show("play.mpv_cli_ms", 1),
    "<= mpv + 20%", chk(lambda: v("play.cold_ms") <= 1.2 * v("play.mpv_cli_ms") if "play.cold_ms" in figs else float("nan")),
    "play.cold_ms")

row("Logos, cold cache, 10^5 channels: show to every logo in view (loopback)", show("logos.cold_visible_ms"),
    "one fetch at a time: " + show("logos.cold_visible_ms_one_at_a_time"), "<= 2000 ms",
    chk(lambda: v("logos.cold_visible_ms") <= 2000 if "logos.cold_visible_ms" in figs else float("nan")),
    "logos.cold_visible_ms")
row("Logos, cold cache: longest event-loop pause meanwhile", show("logos.cold_max_gap_ms", 1),
    "same window without logos: " + show("logos.cold_max_gap_ms_without_logos", 1), "", None, "logos.cold_max_gap_ms")
for kind in ("wheel", "thumb"):
    base = "logos.scroll_" + kind
    row("Logos cached, scrolling 10^5 (%s): longest frame, window thread CPU" % kind,
        show(base + "_longest_frame_cpu_ms", 1),
        "without logos: " + show(base + "_longest_frame_cpu_ms_without_logos", 1), "<= 16 ms",
        chk(lambda base=base: v(base + "_longest_frame_cpu_ms") <= 16 if base + "_longest_frame_cpu_ms" in figs else float("nan")),
        base + "_longest_frame_cpu_ms")
    row("Logos cached, scrolling 10^5 (%s): longest frame, wall" % kind, show(base + "_longest_frame_ms", 1),
        "without logos: " + show(base + "_longest_frame_ms_without_logos", 1), "", None, base + "_longest_frame_ms")
    row("Logos cached, scrolling 10^5 (%s): cells in view with their logo, at the scroll / at the frame's end" % kind,
        show(base + "_cells_with_logo_at_scroll_pct", 1) + " / " + show(base + "_cells_with_logo_at_frame_end_pct", 1),
        "", "", None, base + "_cells_with_logo_at_scroll_pct")
row("Rows change, 10^5, none with a logo: the model's first slice", show("logos.rows_without_logos_ms", 1),
    "no provider: " + show("logos.rows_without_logos_ms_no_provider", 3), "", None, "logos.rows_without_logos_ms")

print("| Figure | Measured (median, min–max, n) | Reference, same run | Target | Verdict | Load avg |")
print("|---|---|---|---|---|---|")
for r in rows:
    print("| " + " | ".join(r) + " |")
for n in notes:
    print("\n" + n)

path = sys.argv[2]
if os.path.exists(path) and os.path.getsize(path) > 0:
    data = json.load(open(path))
    print("\nGoogle Benchmark (median of 3 repetitions):\n")
    print("| Benchmark | Real time | Throughput | Counters |")
    print("|---|---|---|---|")
    for b in data["benchmarks"]:
        if b.get("aggregate_name") != "median":
            continue
        rate = "%.0f MB/s" % (b["bytes_per_second"] / 1e6) if "bytes_per_second" in b else ""
        counters = ", ".join("%s=%d" % (k, b[k]) for k in ("channels", "kept", "rows") if k in b)
        print("| %s | %.2f %s | %s | %s |" % (b["run_name"], b["real_time"], b["time_unit"], rate, counters))
PY
echo
echo "Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(awk '/MemTotal/{printf "%.0f GiB", $2/1048576}' /proc/meminfo), kernel $(uname -r); load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
