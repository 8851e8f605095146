#!/usr/bin/env bash
# `make run`: the station program on the simulated station, working in out/.
# With a display the operator gets the panel. Without one the same program runs headless and
# time-scaled under the scripted operator of scripts/demo.op, then says what it wrote.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build}
case "$build" in /*) ;; *) build="$root/$build" ;; esac
out="$root/out"
mkdir -p "$out"
cp "$root/vrim/vrim_ui.uir" "$root/vrim/refqe.txt" "$out/"
export VRIM_STATION=sim
export VRIM_BUILD="$build"  # where scripts/summarize.sh finds vrim-mapinfo
export VRIM_USMC_FLASH="$out/stage-flash.dat"
cd "$out"

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    echo "Starting the panel on the simulated station (working directory $out)."
    exec "$build/bin/vrim"
fi

echo "No display: running a scripted session on the simulated station, time-scaled."
# The scripted session starts from a fresh station: stages that an earlier run left elsewhere
# (their simulated flash) would need homing before the grid means anything.
rm -f panel.png mcp_positions.txt map.dat map.dat.json spectrum.txt positions.txt vrim.log stage-flash.dat
export QT_QPA_PLATFORM=offscreen
export VRIM_TIME_SCALE=${VRIM_TIME_SCALE:-0.01}
export VRIM_OPERATOR="$root/scripts/demo.op"
start=$(date +%s)
set +e
"$build/bin/vrim" > session.log 2>&1
status=$?
set -e
end=$(date +%s)
echo "vrim ended with status $status after $((end - start)) s; its console is in out/session.log."
"$root/scripts/summarize.sh" "$out" || true
exit $status
