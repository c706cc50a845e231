# Shared by run.sh and test.sh: installs the Debian packages the build needs
# when any is missing, then configures and builds into build/<name>.
set -euo pipefail

FAZORN_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
FAZORN_PACKAGES=(build-essential cmake libgtest-dev libbenchmark-dev
                 qt6-base-dev libqcustomplot-dev libcfitsio-dev pkg-config)

fazorn_install_packages() {
  local missing=()
  for p in "${FAZORN_PACKAGES[@]}" "$@"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing Debian packages: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# fazorn_build NAME [cmake options...]
fazorn_build() {
  local name="$1"; shift
  local dir="$FAZORN_ROOT/build/$name"
  cmake -S "$FAZORN_ROOT" -B "$dir" "$@" >/dev/null
  cmake --build "$dir" -j "$(nproc)"
}
