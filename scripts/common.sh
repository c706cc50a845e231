# Shared by run.sh and test.sh: installs the Debian packages the build needs
# when any is missing, then configures and builds into build/<name>.
set -euo pipefail

FAZORN_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
FAZORN_PACKAGES=(build-essential cmake libgtest-dev libbenchmark-dev
                 qt6-base-dev qt6-svg-dev libqcustomplot-dev
                 pybind11-dev python3-dev python3-numpy python3-pytest
                 python3-pandas python3-dask python3-distributed
                 python3-astropy python3-matplotlib python3-venv python3-wheel help2man
                 libfftw3-dev libcfitsio-dev zlib1g-dev libbz2-dev libeigen3-dev libceres-dev pkg-config ninja-build
                 clang-format clang-tidy)

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

# fazorn_build NAME [cmake options...] [-- targets...]: configures and builds
# build/NAME (all targets, or the ones after "--"). A new build folder uses
# Ninja when it is installed; an existing one keeps its generator.
fazorn_build() {
  local name="$1"; shift
  local dir="$FAZORN_ROOT/build/$name"
  local options=() targets=()
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do options+=("$1"); shift; done
  [ "${1:-}" = "--" ] && shift && targets=("$@")
  if [ ! -f "$dir/CMakeCache.txt" ] && command -v ninja >/dev/null 2>&1; then
    options+=(-G Ninja)
  fi
  cmake -S "$FAZORN_ROOT" -B "$dir" "${options[@]}" >/dev/null
  if [ ${#targets[@]} -gt 0 ]; then
    cmake --build "$dir" -j "$(nproc)" --target "${targets[@]}"
  else
    cmake --build "$dir" -j "$(nproc)"
  fi
}

# fazorn_pytest NAME: the Python package's tests against build/NAME, with the
# interpreter the package was built for. A package that was not built, or a
# run that collects no test (pytest's exit status 5), fails.
fazorn_pytest() {
  local dir="$FAZORN_ROOT/build/$1"
  local python
  python="$(sed -n 's/^Python_EXECUTABLE:[A-Z]*=//p' "$dir/CMakeCache.txt")"
  if [ -z "$python" ] || ! ls "$dir"/python/fazorn/_fazorn*.so >/dev/null 2>&1; then
    echo "The Python module was not built in $dir (is pybind11-dev installed?)" >&2
    return 1
  fi
  local status=0
  (cd "$FAZORN_ROOT/python/tests" &&
   PYTHONPATH="$dir/python" FAZORN_CLI="$dir/fazorn-cli" PYTHONDONTWRITEBYTECODE=1 \
   "$python" -m pytest -q -p no:cacheprovider .) || status=$?
  if [ $status -eq 5 ]; then
    echo "pytest collected no tests in python/tests" >&2
    return 1
  fi
  return $status
}
