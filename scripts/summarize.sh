#!/usr/bin/env bash
# Says what a session wrote into its working directory (default out/): one line per file.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/out}
mapinfo=""
for b in "${VRIM_BUILD:-$root/build}/bin/vrim-mapinfo" "$root/build/bin/vrim-mapinfo"; do
    [ -x "$b" ] && mapinfo=$b && break
done

lines() { wc -l < "$1" | tr -d ' '; }

for f in mcp_positions.txt positions.txt spectrum.txt map.dat map.dat.json vrim.log panel.png session.log; do
    p="$out/$f"
    if [ ! -e "$p" ]; then
        echo "$f: missing"
        continue
    fi
    case "$f" in
    mcp_positions.txt | positions.txt)
        echo "$f: $(lines "$p") positions, first $(head -n1 "$p"), last $(tail -n1 "$p")" ;;
    spectrum.txt)
        # Columns: wavelength (0.1 nm), reference current, sample current, reference QE, sample QE.
        awk 'NF == 5 { n++; if ($5 > q) { q = $5; w = $1 } }
             END { printf "spectrum.txt: %d points, sample QE peaks at %.1f nm with %g\n", n, w / 10, q }' "$p" ;;
    map.dat)
        if [ -n "$mapinfo" ]; then
            "$mapinfo" "$p" 2>&1 | awk '/^version:/ { v = $2 } /^points:/ { n = $2 } /^blocks:/ { b = $2 }
                /^QE range:/ { sub(/^QE range: /, ""); q = $0 }
                END { printf "map.dat: version %s, %s blocks of %s points, sample QE %s\n", v, b, n, q }' 
        else
            echo "map.dat: $(stat -c %s "$p") bytes"
        fi ;;
    map.dat.json)
        # The record kept beside the map: state, blocks and the faults counted in them.
        awk '/^  "state":/ { gsub(/[",]/, "", $2); st = $2 }
             /^  "positions":/ { inpos = 1; next }
             inpos && /^  \]/ { inpos = 0 }
             inpos && /^    \[/ { npos++ }
             /^      "index":/ { nb++ }
             /^      "faults":/ { f = $2 + 0; nf += f; if (f > 0) bad++ }
             END { printf "map.dat.json: %s, %d of %d positions in blocks, %d faults in %d blocks\n", st, nb, npos, nf, bad }' "$p" ;;
    vrim.log)
        # Session log: one line per event; FAULT lines name the instrument first.
        awk '{ n++ } / FAULT / { f++ } / started: / { s++ } / map block [0-9]+ written/ { b++ }
             END { printf "vrim.log: %d lines, %d scans, %d map blocks, %d fault lines\n", n, s, b, f }' "$p"
        grep ' FAULT ' "$p" | head -n 3 | cut -c 21- | sed 's/^/  /' ;;
    panel.png)
        echo "panel.png: $(stat -c %s "$p") bytes" ;;
    session.log)
        echo "session.log: $(lines "$p") lines" ;;
    esac
done
