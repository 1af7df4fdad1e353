#!/usr/bin/env bash
# The demo without hardware: corvel-sim streams three boards of different
# families on [::1]:5005, palvex-decode reads them live through the library
# for a few seconds and sends one trigger command, then this prints the
# decoder's summary, the first rows of every board and the write frame the
# simulator saw. With python3-matplotlib present it also draws the first
# board with palvex-plot.
#
#   tools/demo.sh [--bin DIR] [--out DIR] [--seconds N]
#
# --bin: where corvel-sim and palvex-decode are (default build/default/tools)
# --out: where the CSV, the logs and the PNG go (default build/default/demo)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
bin=$root/build/default/tools
out=$root/build/default/demo
seconds=3
while [ $# -gt 0 ]; do
  case $1 in
    --bin) bin=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    -h|--help) awk 'NR > 1 && /^#/ { sub(/^# ?/, ""); print; next } NR > 1 { exit }' "$0"; exit 0 ;;
    *) echo "demo.sh: unknown argument '$1' (see demo.sh --help)" >&2; exit 2 ;;
  esac
done
case $seconds in ''|*[!0-9]*) echo "demo.sh: --seconds wants a whole number" >&2; exit 2 ;; esac
for tool in corvel-sim palvex-decode; do
  if [ ! -x "$bin/$tool" ]; then
    echo "demo.sh: $bin/$tool is missing; build first: cmake --preset default && cmake --build --preset default" >&2
    exit 1
  fi
done
mkdir -p "$out"
rm -f "$out"/demo.csv "$out"/demo.png "$out"/sim.out "$out"/sim.err "$out"/decode.err

# Three families: MES_4 (ExG, motion, PPG), WUA2 (ExG, motion, resistance),
# IMP_3 (resistance only); every 150th packet is lost so filler rows show.
"$bin/corvel-sim" --board A1:MES_4 --board B2:WUA2 --board C3:IMP_3 --packet-rate 125 \
  --lose-every 150 --duration $((seconds + 10)) >"$out/sim.out" 2>"$out/sim.err" &
sim_pid=$!
stop_sim() {
  if kill -0 "$sim_pid" 2>/dev/null; then
    kill -TERM "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
}
trap stop_sim EXIT

for _ in $(seq 50); do
  grep -q "listening" "$out/sim.err" 2>/dev/null && break
  if ! kill -0 "$sim_pid" 2>/dev/null; then
    echo "demo.sh: corvel-sim did not start:" >&2
    cat "$out/sim.err" >&2
    exit 1
  fi
  sleep 0.1
done

status=0
# 125 packets a second are 250 samples: the CSV gets each row's time.
timeout $((seconds + 20)) "$bin/palvex-decode" --hub ::1 --duration "$seconds" --trigger \
  --sample-rate 250 --output "$out/demo.csv" 2>"$out/decode.err" || status=$?
sleep 0.2  # the simulator prints a frame within 10 ms of receiving it
stop_sim
trap - EXIT

echo "== corvel-sim =="
cat "$out/sim.err"
echo
echo "== write frame(s) seen by corvel-sim =="
if [ -s "$out/sim.out" ]; then cat "$out/sim.out"; else echo "(none)"; fi
echo
echo "== palvex-decode summary =="
cat "$out/decode.err"
echo
echo "== first rows of every board (a few columns; all in $out/demo.csv) =="
awk -F, '
  NR == 1 {
    n = split("ssid time_s exg_0 exg_1 accel_z gyro_x resistance_0 ppg_0 package_num battery format_code filler", want, " ")
    for (i = 1; i <= NF; i++) col[$i] = i
    line = ""
    for (k = 1; k <= n; k++) if (want[k] in col) { pick[++m] = col[want[k]]; line = line sprintf("%-13s", want[k]) }
    print line
    next
  }
  seen[$1]++ < 2 {
    line = ""
    for (k = 1; k <= m; k++) {
      v = $(pick[k])
      if (k > 1) v = sprintf("%.6g", v)
      line = line sprintf("%-13s", v)
    }
    print line
  }' "$out/demo.csv"

if [ $status -ne 0 ]; then
  echo "demo.sh: palvex-decode failed (exit status $status)" >&2
  exit $status
fi
boards=$(tail -n +2 "$out/demo.csv" | cut -d, -f1 | sort -u | wc -l)
if [ "$boards" -lt 3 ] || ! grep -q "trigger 1" "$out/sim.out"; then
  echo "demo.sh: expected rows from 3 boards and a write frame with the trigger byte set" >&2
  exit 1
fi

if [ -x "$bin/palvex-plot" ] && /usr/bin/python3 -c "import matplotlib" 2>/dev/null; then
  echo
  "$bin/palvex-plot" "$out/demo.csv" --output "$out/demo.png" --seconds 2 \
    --title "palvex demo: board A1 (MES_4) from corvel-sim, every 150th packet lost"
fi
