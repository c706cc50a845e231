#!/bin/bash
# The Debian package of an existing build: cpack writes
# fazorn_<version>_amd64.deb, which must hold the window, the command line
# and its pictures' module, the desktop entry, the man page and the
# completion, and unpack (dpkg -x) into a scratch root where the unpacked
# command line runs.
# Usage: deb_test.sh BUILD_DIR VERSION. Exit 77 (skipped) without the tools.
set -euo pipefail
build="$1" version="$2"
for tool in cpack dpkg-deb dpkg-shlibdeps help2man; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "SKIPPED: $tool is not installed (scripts/common.sh installs it)"
    exit 77
  fi
done
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
# The package from the build as it stands; cpack's work files in scratch.
(cd "$scratch" && cpack --config "$build/CPackConfig.cmake" -B "$scratch/out" >"$scratch/cpack.log" 2>&1) || {
  cat "$scratch/cpack.log"; exit 1; }
deb="$scratch/out/fazorn_${version}_amd64.deb"
[ -f "$deb" ] || { echo "no $deb"; ls "$scratch/out"; exit 1; }
dpkg-deb -c "$deb" >"$scratch/files"
for f in ./usr/bin/fazorn ./usr/bin/fazorn-cli ./usr/share/applications/fazorn.desktop \
         ./usr/share/man/man1/fazorn-cli.1 ./usr/share/bash-completion/completions/fazorn-cli; do
  grep -q " $f\$" "$scratch/files" || { echo "the package lacks $f"; cat "$scratch/files"; exit 1; }
done
grep -q "/dist-packages/fazorn/__init__.py\$" "$scratch/files" || { echo "the package lacks the Python module"; exit 1; }
# The pictures' module, which fazorn-cli loads only for `plot`.
grep -q "/lib/fazorn/fazorn-pictures.so\$" "$scratch/files" || { echo "the package lacks the pictures' module"; exit 1; }
# The dependencies come from the libraries linked (Qt, QCustomPlot, FFTW, cfitsio).
depends="$(dpkg-deb -f "$deb" Depends)"
for p in libqcustomplot libfftw3 libcfitsio python3-numpy; do
  [[ "$depends" == *"$p"* ]] || { echo "Depends lacks $p: $depends"; exit 1; }
done
dpkg -x "$deb" "$scratch/root"
"$scratch/root/usr/bin/fazorn-cli" --version | grep -q "fazorn-cli $version"
# It starts without the Qt libraries (glibc's loader lists what it maps).
if LD_DEBUG=libs "$scratch/root/usr/bin/fazorn-cli" --version 2>&1 >/dev/null | grep -q "libQt6"; then
  echo "the unpacked fazorn-cli loads Qt at start"; exit 1
fi
zcat -f "$scratch/root/usr/share/man/man1/fazorn-cli.1"* | grep -q "analyse"
zcat -f "$scratch/root/usr/share/man/man1/fazorn-cli.1"* | grep -q "three charts"
# The unpacked command line draws a star's picture without a display.
example="$(cd "$(dirname "$0")/.." && pwd)/examples/OGLE-LMC-CEP-1513.dat"
env -u DISPLAY -u WAYLAND_DISPLAY "$scratch/root/usr/bin/fazorn-cli" plot --out "$scratch/pictures" \
  "$example" >/dev/null 2>"$scratch/plot.log" || { cat "$scratch/plot.log"; exit 1; }
[ -s "$scratch/pictures/OGLE-LMC-CEP-1513.png" ] || { echo "plot wrote no picture"; exit 1; }
bash -n "$scratch/root/usr/share/bash-completion/completions/fazorn-cli"
echo "package ok: $(wc -l <"$scratch/files") entries, Depends: $depends"
