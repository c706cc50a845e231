#!/usr/bin/env bash
# Builds Fazorn and runs every test.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
fazorn_install_packages
fazorn_build release -DCMAKE_BUILD_TYPE=Release
cd "$FAZORN_ROOT/build/release"
QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j "$(nproc)"
