#!/usr/bin/env bash
# Builds Fazorn and opens its window on the bundled example light curve (an
# RR Lyrae star). Without a display it falls back to the command line.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
fazorn_install_packages
fazorn_build release -DCMAKE_BUILD_TYPE=Release
example="$FAZORN_ROOT/examples/OGLE-LMC-CEP-1513.dat"
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && [ -x "$FAZORN_ROOT/build/release/fazorn" ]; then
  exec "$FAZORN_ROOT/build/release/fazorn" "$example"
fi
echo "No display: showing the example with the command line instead." >&2
"$FAZORN_ROOT/build/release/fazorn-cli" info "$example"
"$FAZORN_ROOT/build/release/fazorn-cli" analyse "$example"
