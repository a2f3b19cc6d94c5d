#!/bin/sh
# hpgl2png against hp2xx (PNG output, same file, same resolution): median
# CPU time (user + system; wall time is unreliable on a shared machine) of
# 5 runs each, with and without anti-aliasing, and the peak memory of an A0
# drawing at 300 dpi.
# Usage: vs_hp2xx.sh BUILD_DIR [FILES...]   (default: the test drawings and
# a generated drawing of a million vectors)
set -eu
build=${1:?build directory}
shift
here=$(cd "$(dirname "$0")" && pwd)
data=$here/../../tests/data/hpgl
tmp=${TMPDIR:-/tmp}/hpgs_vs_hp2xx.$$
mkdir -p "$tmp"
trap 'rm -rf "$tmp"' EXIT

# A million vectors: 1000 polylines of 1000 points on a letter page.
python3 - "$tmp/million.hpgl" <<'PY'
import math, sys
out = ["IN;SP1;PW0.25;"]
for l in range(1000):
    pts = []
    for i in range(1001):
        t = (l * 1000 + i) * 0.002
        d = math.exp(-t * 0.0005)
        pts.append((round(5000 + 4500 * d * math.sin(t * 1.01 + l * 0.001)), round(4000 + 3500 * d * math.sin(t * 1.5))))
    out.append("PU%d,%d;PD" % pts[0] + ",".join("%d,%d" % p for p in pts[1:]) + ";")
out.append("PU;")
open(sys.argv[1], "w").write("".join(out))
PY

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
timeit() {  # command... -> median CPU seconds of 5 runs
  for i in 1 2 3 4 5; do
    /usr/bin/time -f "%U %S" "$@" 2>&1 >/dev/null | tail -1 | awk '{printf "%.3f\n", $1 + $2}'
  done | median
}

files=${*:-"$data/pu_big_harmonograph.hpgl $data/pu_graph_dashed.hpgl $data/gp_pcl5_response.hpgl $data/syn_pjl_frame.hpgl $tmp/million.hpgl"}
printf '%-26s %10s %10s %10s %8s %8s\n' file hp2xx aa no-aa hp/aa hp/no-aa
for f in $files; do
  hp=$(timeit hp2xx -q -m png -d 150 -f "$tmp/hp.png" "$f")
  aa=$(timeit "$build/bin/hpgl2png" "$f" "$tmp/aa.png" --dpi 150)
  na=$(timeit "$build/bin/hpgl2png" "$f" "$tmp/na.png" --dpi 150 --no-antialias)
  printf '%-26s %10s %10s %10s %8.2f %8.2f\n' "$(basename "$f" .hpgl)" "$hp" "$aa" "$na" \
    "$(echo "$hp / $aa" | bc -l)" "$(echo "$hp / $na" | bc -l)"
done

# A0 at 300 dpi: 841 x 1189 mm = 9933 x 14043 pixels.
printf 'IN;PS47527,33599;SP1;PW0.35;PA0,0;PD47527,0,47527,33599,0,33599,0,0;PU;PA1000,1000;PD46527,32599;PU;' > "$tmp/a0.hpgl"
rss=$(/usr/bin/time -f %M "$build/bin/hpgl2png" "$tmp/a0.hpgl" "$tmp/a0.png" --dpi 300 2>&1 >/dev/null | tail -1)
dims=$(file "$tmp/a0.png" | sed 's/.*data, \([0-9]*\) x \([0-9]*\).*/\1 \2/')
set -- $dims
packed=$(( $1 * $2 * 3 / 1024 ))
echo "A0 at 300 dpi: $1 x $2 px, peak RSS $rss KB, packed RGB raster $packed KB," \
  "peak / raster $(echo "$rss / $packed" | bc -l | cut -c1-5)"
