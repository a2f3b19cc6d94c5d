#!/bin/sh
# hpgl2png against hp2xx (PNG output, same file, same resolution): median
# CPU time (user + system; wall time is unreliable on a shared machine) of
# 11 runs each, with and without anti-aliasing, and the peak memory of an
# A0 drawing at 300 dpi.
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

# For one file: median CPU time (user + system of the child, microsecond
# resolution) of 11 runs of hp2xx and of hpgl2png with and without
# anti-aliasing, runs of the three taken in turn so that a change of load
# on the machine touches all three alike; prints the row of the table.
compare() {
  python3 - "$build/bin/hpgl2png" "$tmp" "$1" <<'PY'
import os, resource, subprocess, sys
tool, tmp, f = sys.argv[1:]
cmds = {
    "hp": ["hp2xx", "-q", "-m", "png", "-d", "150", "-f", tmp + "/hp.png", f],
    "aa": [tool, f, tmp + "/aa.png", "--dpi", "150"],
    "na": [tool, f, tmp + "/na.png", "--dpi", "150", "--no-antialias"],
}
times = {k: [] for k in cmds}
for _ in range(11):
    for k, c in cmds.items():
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        subprocess.run(c, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        times[k].append((after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime) * 1000)
med = {k: sorted(v)[len(v) // 2] for k, v in times.items()}
name = os.path.basename(f).rsplit(".", 1)[0]
print("%-26s %10.1f %10.1f %10.1f %8.2f %8.2f" % (name, med["hp"], med["aa"], med["na"],
      med["hp"] / med["aa"], med["hp"] / med["na"]))
PY
}

files=${*:-"$data/pu_big_harmonograph.hpgl $data/pu_graph_dashed.hpgl $data/gp_pcl5_response.hpgl $data/syn_pjl_frame.hpgl $tmp/million.hpgl"}
printf '%-26s %10s %10s %10s %8s %8s\n' file "hp2xx ms" "aa ms" "no-aa ms" hp/aa hp/no-aa
for f in $files; do compare "$f"; done

# A0 at 300 dpi: 841 x 1189 mm = 9933 x 14043 pixels.
printf 'IN;PS47527,33599;SP1;PW0.35;PA0,0;PD47527,0,47527,33599,0,33599,0,0;PU;PA1000,1000;PD46527,32599;PU;' > "$tmp/a0.hpgl"
rss=$(/usr/bin/time -f %M "$build/bin/hpgl2png" "$tmp/a0.hpgl" "$tmp/a0.png" --dpi 300 2>&1 >/dev/null | tail -1)
dims=$(file "$tmp/a0.png" | sed 's/.*data, \([0-9]*\) x \([0-9]*\).*/\1 \2/')
set -- $dims
packed=$(( $1 * $2 * 3 / 1024 ))
echo "A0 at 300 dpi: $1 x $2 px, peak RSS $rss KB, packed RGB raster $packed KB," \
  "peak / raster $(echo "$rss / $packed" | bc -l | cut -c1-5)"
