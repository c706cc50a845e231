#!/usr/bin/env bash
# Builds Fazorn and runs it on the bundled example light curve (an RR Lyrae
# star): its statistics and an AoV period search.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
fazorn_install_packages
fazorn_build release -DCMAKE_BUILD_TYPE=Release
example="$FAZORN_ROOT/examples/V1191_Cen.dat"
"$FAZORN_ROOT/build/release/fazorn-cli" info "$example"
"$FAZORN_ROOT/build/release/fazorn-cli" analyse "$example"
