#!/usr/bin/env bash
# Benchmark of `VeltoMarnLauncher.exe --verify-only` (or, with --self-test, `--self-test`) under
# Wine against the bare CNG cost of the same work, for packages with payloads of 64 MiB, 256 MiB
# and 1 GiB (--quick: 64 MiB only).
# Prints figures; it is never part of the test run, and exits non-zero only when something fails
# (a build, packing, a run), never because a target is missed.
#
#   scripts/bench-verify.sh [--quick] [--rounds N] [--self-test | --window]
#
# With --window, the player's start: the normal mode (no argument) on an X server of its own (Xvfb,
# the Wine session started on it), so that its progress window is shown and pumped while it
# works; the work and the bare figure are those of --self-test, and the inner launcher's real run
# exits at once too.
# With --self-test the bootstrap opens a session in the benchmark prefix's cache, unseals into it,
# hashes every unsealed file again, starts the test package's inner launcher (probe_launcher.cpp,
# told to accept its verify run at once: its own checks are the publisher's cost, not the
# bootstrap's) and removes the session; the bare program then also writes the plaintext to files,
# reads them back and hashes them again, and its "bare CNG" figure becomes that whole work
# (SHA-256 of the package files, AES-256-GCM, SHA-256 of the plaintext twice, the writes).
#
# For each payload size:
#   - a scratch package under build/bench/verify-scratch, made by `veltomarn-release pack` with the
#     test keys from an inner directory holding small VeltoMarnLauncher.exe, RELEASE.signed and
#     RELEASE.sig files and one file of N MiB of pseudo-random bytes (/dev/urandom); the inner
#     directory is removed right after packing and the package after measuring;
#   - N rounds (default 3), each: one bootstrap run with --verify-only and one run of
#     build/windows/bench/veltomarn_verify_benchmark.exe on the same package, each first in every
#     other round (the bare CNG calls for the same bytes: SHA-256 of every package file,
#     AES-256-GCM of every payload chunk with the real key, SHA-256 of the plaintext; see that
#     program's comment);
#   - before the rounds, three runs of the bootstrap with an unknown argument, which fail at once
#     ("ARGUMENTS"): the cost of starting and ending a Wine process of this program, and its memory
#     floor.
# First of all, the same for a package whose big file is 4 KiB: the fixed cost of a run, the part
# of the wall time that does not grow with the payload.
# All files are read from the page cache: they were just written, and are read once more before
# the rounds. Figures per round, then the medians, the ratios and the memory verdict.
#
# How time and memory are measured: a small Python helper (python3) starts `wine PROGRAM ...` and
# waits for it with wait4(2). The `wine` command execs, in the same process, Wine's loader, which
# runs the Windows program in that very process: its /proc/PID/cmdline becomes the program's
# command line, which the helper checks while it runs ("pid is the program: yes"). No other
# process is involved, as the Wine session (wineserver and Wine's services) is started beforehand.
# Hence:
#   - wall time: from the start of `wine` to the return of wait4, so it includes the start and end
#     of the Wine process, as a user would see them;
#   - peak memory: ru_maxrss from wait4, the kernel's high-water mark of the resident set of that
#     process over its whole life (kept across the execs from `wine` to the loader), taken when it
#     has ended, so no peak can be missed between samples. The helper also polls
#     /proc/PID/status every 5 ms: the last VmHWM read is the same high-water mark seen from
#     inside (a cross-check), and the largest RssAnon read (anonymous memory, i.e. heap and
#     buffers without Wine's mapped DLLs and libraries; sampled, so a lower bound) shows how much
#     of the peak is the program's own data. The kernel keeps the resident-set counters per CPU
#     and sums them approximately, so the two high-water marks can differ by a few hundred KiB;
#     the larger one is reported as the peak. `/usr/bin/time -v wine ...` would report the same
#     ru_maxrss; polling /proc/PID/status alone could miss the last moments before exit.
#   Resident set under Wine counts Wine's own libraries and PE DLLs mapped into the process; the
#   floor run shows that part.
#   - CPU time: ru_utime + ru_stime from the same wait4 (every thread of the process); the
#     benchmark program reports its own for the span of its work (GetProcessTimes). Wall time on a
#     busy machine includes waiting for a CPU, CPU time does not, so the CPU ratio is the steadier
#     one when other work runs (the load average is printed at the start and the end).
#
# Ratios printed per size: median bootstrap wall / median bare CNG time (the target, <= 1.10 at
# 1 GiB), the median of the per-round ratios, the best-of ratio (fastest wall / fastest bare), the
# ratio against the bare work including its reads, the ratio with the Wine floor taken off, the
# unsealing part alone (elapsedMs of the status line against the payload reads, AES-GCM and
# plaintext SHA-256 of the bare run) and the CPU ratio (bootstrap process / bare work).
#
# Uses a Wine prefix of its own, build/bench/wineprefix (made on first use, kept), with its own
# wineserver started before and stopped after, so it neither disturbs nor is disturbed by test runs
# that use the Windows tree's prefix. Builds the Windows programs when needed, and the host's
# release tool when it is missing. Also prints native `openssl speed` figures for the same
# primitives, for context.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

sizes_mib=(64 256 1024)
rounds=3
mode=--verify-only
window=""
bare_out=""
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) sizes_mib=(64) ;;
    --self-test) mode=--self-test ;;
    --window)
      mode=""
      window=1
      ;;
    --rounds)
      rounds="${2:?--rounds needs a number}"
      shift
      ;;
    -h | --help)
      sed -n '2,/^set -euo/p' "$0" | sed '$d' | sed 's/^# \{0,1\}//'
      exit 0
      ;;
    *)
      echo "unknown option: $1 (try --help)" >&2
      exit 2
      ;;
  esac
  shift
done
command -v python3 >/dev/null || { echo "bench-verify: python3 is needed" >&2; exit 2; }

tool=build/host/tools/veltomarn-release
bootstrap=build/windows/src/VeltoMarnLauncher.exe
bench=build/windows/bench/veltomarn_verify_benchmark.exe
signing_key=keys/test/release-signing-TEST-ONLY.key.pem
key_shares=keys/test/payload-key-shares-TEST-ONLY.txt
sequence=2026103022
scratch="$root/build/bench/verify-scratch"

# --- 1. build what is needed
if [ ! -f build/windows/build.ninja ]; then
  cmake --preset windows >/dev/null
fi
cmake --build --preset windows --target VeltoMarnLauncher veltomarn_verify_benchmark \
  probe_launcher >/dev/null
# The inner launcher accepts its verify run at once (see probe_launcher.cpp).
export VELTOMARN_PROBE=verify=0
if ! "$tool" pack --help >/dev/null 2>&1; then
  if [ ! -f build/host/build.ninja ]; then
    cmake --preset host >/dev/null
  fi
  cmake --build --preset host --target veltomarn-release >/dev/null
fi

# --- disk space: the largest size needs its inner file and its payload at once
largest=${sizes_mib[-1]}
mkdir -p build/bench
need_kib=$(((2 * largest + 512) * 1024))
avail_kib=$(df -Pk build/bench | awk 'NR == 2 { print $4 }')
if [ "$avail_kib" -lt "$need_kib" ]; then
  echo "bench-verify: $((avail_kib / 1024)) MiB free under build/bench, $((need_kib / 1024)) MiB needed" >&2
  exit 2
fi

export WINEPREFIX="$root/build/bench/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
if [ -n "$window" ]; then
  command -v Xvfb >/dev/null || { echo "bench-verify: --window needs Xvfb (scripts/setup.sh)" >&2; exit 2; }
  Xvfb :87 -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
  xvfb_pid=$!
  export DISPLAY=:87
fi
rm -rf "$scratch"
mkdir -p "$scratch"
cleanup() {
  rm -rf "$scratch"
  scripts/wine-session.sh stop >/dev/null 2>&1 || true
  [ -z "${xvfb_pid:-}" ] || kill "$xvfb_pid" 2>/dev/null || true
}
trap cleanup EXIT
echo "== $(nproc) CPUs, load average $(cut -d' ' -f1-3 /proc/loadavg) (other work on the machine skews the figures)"
echo "== Wine session (prefix $WINEPREFIX)"
if [ -n "$window" ]; then
  # The session must start on the display (scripts/wine-session.sh starts it without one): a
  # session started without one never shows a window.
  scripts/wine-session.sh stop >/dev/null 2>&1 || true
  [ -f "$WINEPREFIX/system.reg" ] || { wineboot --init </dev/null >/dev/null 2>&1; wineserver -w; }
  wineserver -p </dev/null >/dev/null 2>&1 || true
  wine cmd.exe /c exit 0 </dev/null >/dev/null 2>&1 || true
else
  scripts/wine-session.sh start >/dev/null
fi

# The measuring helper: `measure OUT ERR NAME PROGRAM ARGS...` runs `wine PROGRAM ARGS...` with
# standard output and error into OUT and ERR, and prints one line:
#   exit=.. wallMs=.. cpuMs=.. maxRssKiB=.. lastVmHwmKiB=.. maxRssAnonKiB=.. samples=.. isProgram=0|1
cat >"$scratch/measure.py" <<'PY'
import os, subprocess, sys, threading, time

out_path, err_path, name, *command = sys.argv[1:]
result = {}

def field(text, key):
    for line in text.splitlines():
        if line.startswith(key + ":"):
            return int(line.split()[1])
    return None

with open(out_path, "wb") as out, open(err_path, "wb") as err:
    start = time.perf_counter()
    child = subprocess.Popen(["wine", *command], stdin=subprocess.DEVNULL, stdout=out, stderr=err)

    def reap():
        _, status, usage = os.wait4(child.pid, 0)
        result["end"] = time.perf_counter()
        result["status"] = os.waitstatus_to_exitcode(status)
        result["maxrss"] = usage.ru_maxrss
        result["cpu"] = usage.ru_utime + usage.ru_stime
        child.returncode = result["status"]  # reaped here, not by Popen

    reaper = threading.Thread(target=reap)
    reaper.start()
    hwm = anon = samples = 0
    is_program = False
    while reaper.is_alive():
        try:
            with open(f"/proc/{child.pid}/status") as f:
                status = f.read()
            with open(f"/proc/{child.pid}/cmdline", "rb") as f:
                cmdline = f.read()
        except OSError:
            break
        if "end" in result:
            break
        value = field(status, "VmHWM")
        if value is not None:
            hwm = max(hwm, value)
            anon = max(anon, field(status, "RssAnon") or 0)
            samples += 1
        if name.encode() in cmdline.split(b"\0")[0]:
            is_program = True
        time.sleep(0.005)
    reaper.join()

print(f"exit={result['status']} wallMs={1000 * (result['end'] - start):.1f} "
      f"cpuMs={1000 * result['cpu']:.1f} maxRssKiB={result['maxrss']} lastVmHwmKiB={hwm} maxRssAnonKiB={anon} "
      f"samples={samples} isProgram={int(is_program)}")
PY

measure() {
  python3 "$scratch/measure.py" "$@"
}

# value KEY LINE: the number after "KEY=" in LINE
value() {
  sed -n "s/.*[ ]$1=\([0-9.]*\).*/\1/p" <<<" $2"
}

# median of the numbers given as arguments
median() {
  printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# peak LINE: the larger of the two high-water marks of a measure line, in KiB
peak() {
  local a b
  a=$(value maxRssKiB "$1")
  b=$(value lastVmHwmKiB "$1")
  echo $((a > b ? a : b))
}

mib() {
  awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'
}

ratio() {
  awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'
}

# make_package BULK_BYTES DIR: packs DIR from a scratch inner directory whose one big file holds
# BULK_BYTES pseudo-random bytes, removes the inner directory, prints what was made and reads the
# package once so that it is in the page cache.
make_package() {
  local bytes=$1 package=$2 inner="$scratch/inner" start end total
  mkdir -p "$inner/data"
  mkdir -p "$inner/package"
  cp build/windows/tests/probe/VeltoMarnLauncher.exe "$inner/VeltoMarnLauncher.exe"
  printf '{}\n' >"$inner/package/release.json"
  printf 'listed by the inner release\n' >"$inner/VeltoMarn.payload"
  head -c "$bytes" /dev/urandom >"$inner/data/bulk.bin"
  "$tool" sign --key "$signing_key" --sequence "$sequence" "$inner" >/dev/null 2>&1
  printf '{"name":"bench","bulkBytes":%d}\n' "$bytes" >"$scratch/release.json"
  start=$(date +%s%N)
  "$tool" pack --key "$signing_key" --key-shares "$key_shares" --sequence "$sequence" \
    --inner "$inner" --out "$package" --bootstrap "$bootstrap" --manifest "$scratch/release.json" \
    </dev/null 2>"$scratch/pack.err" >/dev/null || { cat "$scratch/pack.err" >&2; exit 1; }
  end=$(date +%s%N)
  rm -rf "$inner"
  total=$(find "$package" -type f -printf '%s\n' | awk '{ s += $1 } END { print s }')
  echo "package: $total bytes in $(find "$package" -type f | wc -l) files" \
    "(payload $(stat -c %s "$package/VeltoMarn.payload") bytes), packed in" \
    "$(((end - start) / 1000000)) ms"
  find "$package" -type f -exec cat {} + >/dev/null
}

# floor PACKAGE: the Wine process floor, printed; sets floor_wall_ms and floor_rss_kib (medians of
# three runs of the bootstrap refusing an unknown argument: start, harden, refuse, exit). One run
# unmeasured first, so that Wine's own files are warm.
floor() {
  local wall=() rss=() cpu=() line _
  measure "$scratch/out" "$scratch/err" VeltoMarnLauncher.exe \
    "$1/VeltoMarnLauncher.exe" --no-such-option >/dev/null
  for _ in 1 2 3; do
    line=$(measure "$scratch/out" "$scratch/err" VeltoMarnLauncher.exe \
      "$1/VeltoMarnLauncher.exe" --no-such-option)
    wall+=("$(value wallMs "$line")")
    cpu+=("$(value cpuMs "$line")")
    rss+=("$(peak "$line")")
  done
  floor_wall_ms=$(median "${wall[@]}")
  floor_cpu_ms=$(median "${cpu[@]}")
  floor_rss_kib=$(median "${rss[@]}")
  echo "Wine process floor (bootstrap refusing an unknown argument, 3 runs):" \
    "wall ${wall[*]} ms, CPU ${cpu[*]} ms, peak RSS $(mib "$floor_rss_kib") MiB;" \
    "stderr: $(head -c 80 "$scratch/err")"
}

# run_bootstrap: one measured --verify-only run of round $round on $package; appends its figures.
run_bootstrap() {
  local line status_line
  line=$(measure "$scratch/out" "$scratch/err" VeltoMarnLauncher.exe \
    "$package/VeltoMarnLauncher.exe" ${mode:+"$mode"})
  status_line=$(cat "$scratch/out")
  if [ "$(value exit "$line")" != 0 ] || [[ "$status_line" != SEALED_* ]]; then
    echo "bootstrap failed: $line" >&2
    cat "$scratch/out" "$scratch/err" >&2
    exit 1
  fi
  walls+=("$(value wallMs "$line")")
  cpus+=("$(value cpuMs "$line")")
  elapsed+=("$(value elapsedMs "$status_line")")
  rss+=("$(peak "$line")")
  anon+=("$(value maxRssAnonKiB "$line")")
  echo "round $round bootstrap: $status_line"
  echo "        wall $(value wallMs "$line") ms, CPU $(value cpuMs "$line") ms," \
    "peak RSS $(mib "$(peak "$line")") MiB" \
    "(ru_maxrss $(mib "$(value maxRssKiB "$line")") MiB," \
    "last VmHWM polled $(mib "$(value lastVmHwmKiB "$line")") MiB," \
    "peak RssAnon polled $(mib "$(value maxRssAnonKiB "$line")") MiB," \
    "$(value samples "$line") samples, pid is the program: $(
      [ "$(value isProgram "$line")" = 1 ] && echo yes || echo NO
    ))"
}

# run_bare: one run of the benchmark program in round $round on $package; appends its figures.
run_bare() {
  local line bare
  line=$(measure "$scratch/out" "$scratch/err" veltomarn_verify_benchmark.exe \
    "$bench" "$package_windows" ${bare_out:+"$bare_out"})
  if [ "$(value exit "$line")" != 0 ]; then
    echo "verify_benchmark failed: $line" >&2
    cat "$scratch/out" "$scratch/err" >&2
    exit 1
  fi
  bare=$(grep '^BARE ' "$scratch/out")
  if [ -n "$bare_out" ]; then
    cng+=("$(value selfTestBareMs "$(grep '^SELFTEST ' "$scratch/out")")")
  else
    cng+=("$(value cngMs "$bare")")
  fi
  work+=("$(value workMs "$bare")")
  work_cpus+=("$(value workCpuMs "$bare")")
  unseal_bare+=("$(awk -v a="$(value aesGcmMs "$bare")" -v b="$(value plaintextSha256Ms "$bare")" \
    -v c="$(value payloadReadMs "$bare")" 'BEGIN { printf "%.3f", a + b + c }')")
  echo "round $round bare CNG (verify_benchmark.exe, process wall $(value wallMs "$line") ms," \
    "peak RSS $(mib "$(peak "$line")") MiB):"
  grep -v '^BARE \|^SELFTEST ' "$scratch/out" | sed 's/^/        /'
}

summary=()
declare -A peak_kib

# The fixed cost of a run: a package whose big file is 4 KiB. Its wall time minus the floor is what
# the bootstrap spends on the checks that do not grow with the payload (guards, streams, tree,
# signature), plus hashing and unsealing a few KiB.
echo
echo "==================== fixed cost: payload of a few KiB ===================="
make_package 4096 "$scratch/package-tiny"
floor "$scratch/package-tiny"
tiny_wall=()
for round in 1 2 3; do
  line=$(measure "$scratch/out" "$scratch/err" VeltoMarnLauncher.exe \
    "$scratch/package-tiny/VeltoMarnLauncher.exe" ${mode:+"$mode"})
  tiny_wall+=("$(value wallMs "$line")")
  echo "round $round: $(cat "$scratch/out"); wall $(value wallMs "$line") ms," \
    "peak RSS $(mib "$(peak "$line")") MiB"
done
tiny_wall_ms=$(median "${tiny_wall[@]}")
echo "median wall $tiny_wall_ms ms, of which above the floor:" \
  "$(awk -v a="$tiny_wall_ms" -v b="$floor_wall_ms" 'BEGIN { printf "%.1f", a - b }') ms"
rm -rf "$scratch/package-tiny"

for size in "${sizes_mib[@]}"; do
  echo
  echo "==================== payload ${size} MiB ===================="
  package="$scratch/package-$size"
  make_package "$((size * 1048576))" "$package"
  package_windows="$(winepath -w "$package")"
  bare_out=""
  if [ "$mode" != --verify-only ]; then
    mkdir -p "$scratch/bare-out"
    bare_out="$(winepath -w "$scratch/bare-out")"
  fi

  floor "$package"

  walls=()
  elapsed=()
  rss=()
  anon=()
  cng=()
  work=()
  unseal_bare=()
  round_ratios=()
  cpus=()
  work_cpus=()
  for round in $(seq 1 "$rounds"); do
    # Odd rounds run the bootstrap first, even rounds the bare program first.
    if [ $((round % 2)) -eq 1 ]; then
      run_bootstrap
      run_bare
    else
      run_bare
      run_bootstrap
    fi
    round_ratios+=("$(ratio "${walls[-1]}" "${cng[-1]}")")
    echo "round $round ratio bootstrap wall / bare CNG: ${round_ratios[-1]}"
  done

  m_wall=$(median "${walls[@]}")
  m_elapsed=$(median "${elapsed[@]}")
  m_cng=$(median "${cng[@]}")
  m_work=$(median "${work[@]}")
  m_unseal=$(median "${unseal_bare[@]}")
  m_cpu=$(median "${cpus[@]}")
  m_work_cpu=$(median "${work_cpus[@]}")
  best_wall=$(printf '%s\n' "${walls[@]}" | sort -g | head -1)
  best_cng=$(printf '%s\n' "${cng[@]}" | sort -g | head -1)
  max_rss=$(printf '%s\n' "${rss[@]}" | sort -n | tail -1)
  max_anon=$(printf '%s\n' "${anon[@]}" | sort -n | tail -1)
  peak_kib[$size]=$max_rss
  echo "---- ${size} MiB, medians of $rounds rounds"
  echo "bootstrap wall time:                         $m_wall ms"
  echo "bootstrap elapsedMs (status line, unsealing): $m_elapsed ms"
  if [ "$mode" != --verify-only ]; then
    echo "bare cost (SHA-256 files + AES-GCM + SHA-256 plaintext twice + writes): $m_cng ms"
  else
    echo "bare CNG cost (SHA-256 files + AES-GCM + SHA-256 plaintext): $m_cng ms"
  fi
  echo "bare work incl. reads (verify_benchmark wall of its work):   $m_work ms"
  echo "ratio bootstrap wall / bare CNG:             $(ratio "$m_wall" "$m_cng")   (target <= 1.10; ratio of the medians)"
  echo "  the same per round: ${round_ratios[*]}; their median $(median "${round_ratios[@]}")"
  echo "  best of rounds: bootstrap wall $best_wall ms / bare CNG $best_cng ms = $(ratio "$best_wall" "$best_cng")"
  echo "ratio bootstrap wall / bare work incl. reads: $(ratio "$m_wall" "$m_work")"
  echo "CPU time (user + kernel), less disturbed by other load: bootstrap process $m_cpu ms" \
    "(Wine floor $floor_cpu_ms ms), bare work $m_work_cpu ms; ratio $(ratio "$m_cpu" "$m_work_cpu")"
  echo "ratio (bootstrap wall - Wine floor $floor_wall_ms ms) / bare CNG: $(ratio "$(awk -v a="$m_wall" -v b="$floor_wall_ms" 'BEGIN { print a - b }')" "$m_cng")"
  echo "ratio elapsedMs / bare unsealing (payload reads + AES-GCM + SHA-256 plaintext, $m_unseal ms): $(ratio "$m_elapsed" "$m_unseal")"
  echo "peak RSS (max of rounds): $(mib "$max_rss") MiB; peak RssAnon polled: $(mib "$max_anon") MiB;" \
    "Wine floor: $(mib "$floor_rss_kib") MiB"
  summary+=("$(printf '%5s MiB  wall %9s ms  elapsedMs %6s  bare CNG %9s ms  ratio %s (per round %s, best %s, CPU %s)  peak RSS %s MiB' \
    "$size" "$m_wall" "$m_elapsed" "$m_cng" "$(ratio "$m_wall" "$m_cng")" \
    "$(median "${round_ratios[@]}")" "$(ratio "$best_wall" "$best_cng")" \
    "$(ratio "$m_cpu" "$m_work_cpu")" "$(mib "$max_rss")")")
  main_ratio=$(ratio "$m_wall" "$m_cng")
  rm -rf "$package"
done

echo
echo "==================== native OpenSSL, for context ===================="
openssl version
speed() {
  # The last line of `openssl speed`: the algorithm and 1000s of bytes per second.
  openssl speed -seconds 1 -bytes "$2" -evp "$1" 2>/dev/null | tail -1 |
    awk -v alg="$1" -v bytes="$2" '{ k = $NF; sub(/k$/, "", k);
      printf "openssl speed -evp %-12s %8d-byte blocks: %10.1f MiB/s\n", alg, bytes, k * 1000 / 1048576 }'
}
speed sha256 131072
speed sha256 1048576
speed aes-256-gcm 1048576
echo "(aes-256-gcm: openssl speed encrypts; GCM decryption does the same work)"

echo
echo "==================== summary ===================="
echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) CPUs"
printf '%s\n' "${summary[@]}"
echo "(ratio: median bootstrap wall / median bare CNG; per round: median of the rounds' ratios;"
echo " best: fastest bootstrap wall / fastest bare CNG; CPU: bootstrap process CPU / bare work CPU)"
echo "wall time at most 1.10x the bare CNG cost at ${largest} MiB:" \
  "$(awk -v r="$main_ratio" 'BEGIN { print (r <= 1.10) ? "yes" : "NO" }') ($main_ratio)"
min_peak=$(printf '%s\n' "${peak_kib[@]}" | sort -n | head -1)
max_peak=$(printf '%s\n' "${peak_kib[@]}" | sort -n | tail -1)
echo "peak memory under 24 MiB: $([ "$max_peak" -lt $((24 * 1024)) ] && echo yes || echo NO)" \
  "(largest peak RSS $(mib "$max_peak") MiB)"
if [ "${#sizes_mib[@]}" -gt 1 ]; then
  echo "peak memory flat from ${sizes_mib[0]} MiB to ${largest} MiB (spread at most 1 MiB):" \
    "$([ $((max_peak - min_peak)) -le 1024 ] && echo yes || echo NO)" \
    "(spread $(mib $((max_peak - min_peak))) MiB)"
fi
