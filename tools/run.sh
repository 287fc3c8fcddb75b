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

# apt_source SUITE [DIR]: "URI KEYRING" of the first enabled deb entry for SUITE in the
# machine's apt sources under DIR (default /etc/apt), one-line (.list) or deb822 (.sources)
# format; KEYRING is the entry's signed-by file, if it names one. Nothing when there is none.
apt_source() {
  local dir=${2:-/etc/apt}
  local files=()
  for f in "$dir/sources.list" "$dir"/sources.list.d/*.list "$dir"/sources.list.d/*.sources; do
    [ -f "$f" ] && files+=("$f")
  done
  [ ${#files[@]} -gt 0 ] || return 0
  awk -v want="$1" '
    function has(list, word) { return (" " list " ") ~ ("[[:space:]]" word "[[:space:]]") }
    function flush() {
      if (has(types, "deb") && has(suites, want) && enabled != "no" && uri != "") {
        print uri, keyring
        found = 1
        exit
      }
      types = suites = uri = keyring = enabled = ""
    }
    FNR == 1 { flush() }
    FILENAME ~ /\.sources$/ {
      if ($0 ~ /^[[:space:]]*#/) next
      if ($0 ~ /^[[:space:]]*$/) { flush(); next }
      if ($0 !~ /^[A-Za-z-]+:/) next  # a continuation line
      key = tolower(substr($0, 1, index($0, ":") - 1))
      value = substr($0, index($0, ":") + 1)
      gsub(/^[[:space:]]+|[[:space:]]+$/, "", value)
      if (key == "types") types = value
      else if (key == "uris") { split(value, u, /[[:space:]]+/); uri = u[1] }
      else if (key == "suites") suites = value
      else if (key == "enabled") enabled = tolower(value)
      else if (key == "signed-by" && value ~ /^\//) keyring = value
      next
    }
    /^[[:space:]]*deb[[:space:]]/ {
      line = $0
      sub(/^[[:space:]]*deb[[:space:]]+/, "", line)
      options = ""
      if (line ~ /^\[/) {
        options = substr(line, 2, index(line, "]") - 2)
        line = substr(line, index(line, "]") + 1)
      }
      sub(/^[[:space:]]+/, "", line)
      split(line, field, /[[:space:]]+/)
      if (field[2] == want) {
        keyring = ""
        if (match(options, /signed-by=[^[:space:]]+/)) keyring = substr(options, RSTART + 10, RLENGTH - 10)
        print field[1], keyring
        found = 1
        exit
      }
    }
    END { if (!found) flush() }' "${files[@]}"
}

# The trust fixtures time-stamp offline from a local test TSA key, which needs
# osslsigncode 2.9 (bookworm-backports); bookworm itself has 2.5. The backports entry
# uses the mirror of the machine's own bookworm entry.
if ! osslsigncode -v 2>/dev/null | grep -qE 'osslsigncode (2\.(9|[1-9][0-9])|[3-9])'; then
  echo "Installing osslsigncode from bookworm-backports"
  if [ -z "$(apt_source bookworm-backports)" ]; then
    read -r uri keyring <<<"$(apt_source bookworm)" || true
    if [ -z "${uri:-}" ]; then
      echo "run.sh: no bookworm entry in the apt sources to take the mirror from" >&2
      exit 1
    fi
    echo "deb ${keyring:+[signed-by=$keyring] }$uri bookworm-backports main" \
      >/etc/apt/sources.list.d/hollin-backports.list
  fi
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
