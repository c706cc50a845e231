#!/bin/sh
# Pictures the window after an AoV search on a bundled light curve under a
# virtual X display: docs/phase-model.png (needs xvfb and imagemagick, and a
# release build with the tests: build/release/tests/ui/fazorn_ui_demo).
set -eu
cd "$(dirname "$0")/.."
demo=build/release/tests/ui/fazorn_ui_demo
file=${1:-examples/OGLE-LMC-CEP-1513.dat}
out=${2:-docs/phase-model.png}
[ -x "$demo" ] || { echo "build first: $demo is missing" >&2; exit 1; }
xvfb-run -a -s "-screen 0 1400x900x24" sh -c "
  QT_QPA_PLATFORM=xcb $demo '$file' 12000 &
  sleep 8
  import -window root -crop 1170x608+0+0 '$out'
  wait"
echo "wrote $out"
