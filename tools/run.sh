#!/usr/bin/env bash
# One entry point for a fresh Debian 12 machine (run as root):
#   tools/run.sh test   install what is missing, configure, build, run every test
#   tools/run.sh demo   the same build, then the service-group demo under Wine
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${HOLLIN_BUILD_DIR:-$root/build}
jobs=$(nproc 2>/dev/null || echo 4)

packages=(cmake make g++-mingw-w64-x86-64-posix mingw-w64-tools wine64 libwine-dev
          googletest osslsigncode gcab openssl python3)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# The trust fixtures time-stamp offline from a local test TSA key, which needs
# osslsigncode 2.9 (bookworm-backports); bookworm itself has 2.5.
if ! osslsigncode -v 2>/dev/null | grep -qE 'osslsigncode (2\.(9|[1-9][0-9])|[3-9])'; then
  echo "Installing osslsigncode from bookworm-backports"
  echo "deb http://deb.debian.org/debian bookworm-backports main" \
    >/etc/apt/sources.list.d/hollin-backports.list
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq -t bookworm-backports osslsigncode >/dev/null
fi

cmake -S "$root" -B "$build" -G "Unix Makefiles" -DHOLLIN_TESTS=ON >/dev/null
cmake --build "$build" -j"$jobs"

case "${1:-test}" in
test)
  cd "$build"
  ctest -j"$jobs" --output-on-failure --timeout 600
  ;;
demo)
  exec "$root/tools/demo.sh" "$build"
  ;;
*)
  echo "usage: $0 test|demo" >&2
  exit 2
  ;;
esac
