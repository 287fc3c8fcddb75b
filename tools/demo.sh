#!/usr/bin/env bash
# The service-group demo, run by "tools/run.sh demo" after the build:
#   demo.sh BUILD_DIR
# In a fresh Windows 10 Wine prefix of its own (BUILD_DIR/demo-prefix) it installs the
# deliverables under Program Files, registers two sample hosted subsystems, configures the group
# "DemoGroup" with two share-process services of Hollin.exe, starts them through the service
# control manager, shows their states and the host's log, stops them and shows how they ended.
set -euo pipefail
build=$(cd "${1:?usage: demo.sh BUILD_DIR}" && pwd)
began=$(date +%s)
status=0

WINEBIN=/usr/lib/wine
export WINEPREFIX=$build/demo-prefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
group=DemoGroup
services=(DemoAlpha DemoBeta)
# The classes of the two sample subsystems (the subsystem double in its "service" mode).
classes=("{ccd63647-a494-4dd9-9c43-9ee8804f514a}" "{947981e2-0fa4-42aa-91b9-c36edf7f339f}")
install_dir='C:\Program Files\Telvan\Hollin'
samples_dir='C:\Program Files\Telvan\HollinDemo'
setup=$build/tests/src/qxsvchost/hollin/HollinDemoSetup.exe
double=$build/tests/src/qxsvchost/doubles/QxSubsystemDouble.dll
log_dir=$WINEPREFIX/drive_c/ProgramData/Telvan/QXLOGS/PLATFORM/Hollin

for f in "$setup" "$double"; do
  [ -f "$f" ] || { echo "demo.sh: $f is missing: build first (tools/run.sh demo)" >&2; exit 1; }
done

# Wine's own background processes inherit the stdio of the first Wine process of a prefix:
# every Wine call runs with stdin closed, and the server is ended on the way out.
wine() { "$WINEBIN/wine64" "$@" </dev/null; }
finish() { "$WINEBIN/wineserver" -k 2>/dev/null || true; }
trap finish EXIT
unix_path() { echo "$WINEPREFIX/drive_c/${1#C:\\}" | tr '\\' '/'; }
step() { printf '\n== %s\n' "$*"; }
# The host's log as UTF-8 text, from line $1 on.
show_log() { iconv -f UTF-16 -t UTF-8 "$log_dir"/*.log | tr -d '\r' | tail -n +"$1" | sed 's/^/  /'; }
log_lines() { iconv -f UTF-16 -t UTF-8 "$log_dir"/*.log | wc -l; }

step "A fresh Windows 10 prefix: $WINEPREFIX"
finish
rm -rf "$WINEPREFIX"
wine wineboot -i >/dev/null 2>&1 || true
wine reg add 'HKCU\Software\Wine' /v Version /d win10 /f >/dev/null 2>&1
# Let the first boot settle (its server ends once the prefix is written), then keep a server.
"$WINEBIN/wineserver" -w
"$WINEBIN/wineserver" -p </dev/null >/dev/null 2>&1 || true
wine cmd /c exit 0 >/dev/null 2>&1

step "Installing the deliverables into $install_dir"
cmake --install "$build" --prefix "$(unix_path "$install_dir")" | sed 's/^/  /'
mkdir -p "$(unix_path "$samples_dir")"
cp "$double" "$(unix_path "$samples_dir")/"
echo "  sample subsystem: $samples_dir\\QxSubsystemDouble.dll"

step "Registering the sample subsystems, the group $group and the text-file log"
pairs=()
for i in "${!services[@]}"; do pairs+=("${services[$i]}=${classes[$i]}"); done
wine "$setup" configure "$group" "$samples_dir\\QxSubsystemDouble.dll" "${pairs[@]}"

step "Creating ${services[*]} as share-process services of Hollin.exe"
for s in "${services[@]}"; do
  wine sc create "$s" binPath= "\"$install_dir\\Hollin.exe\" /$group" type= share start= demand |
    tr -d '\r' | sed 's/^/  /'
done

step "Starting them through the service control manager"
for s in "${services[@]}"; do wine sc start "$s" >/dev/null || echo "  sc start $s failed"; done
for s in "${services[@]}"; do
  for _ in $(seq 1 150); do
    wine sc query "$s" | grep -q RUNNING && break
    sleep 0.1
  done
  wine sc query "$s" | tr -d '\r' | sed 's/^/  /'
  wine sc query "$s" | grep -q RUNNING || { echo "  $s did not reach RUNNING" >&2; status=1; }
done

step "The host's log (UTF-16 files under C:\\ProgramData\\Telvan\\QXLOGS\\PLATFORM\\Hollin)"
sleep 0.5
shown=$(log_lines)
show_log 1

step "Stopping the services"
wine "$setup" stop "${services[@]}"
echo "  The log lines the hosts wrote while stopping:"
show_log $((shown + 1))

step "The working-set limit that the hosts learned and wrote back"
wine "$setup" limit "$group"
echo "  (learned across the working-set handler's timed runs, 10 to 20 minutes apart by default:"
echo "  a run this short writes back the limit it started with)"

finish
trap - EXIT
step "Done in $(($(date +%s) - began)) s; the prefix's wineserver is ended"
cat <<'EOF'
  What Wine changes:
  - Wine's service control manager runs each service of a share-process group in a process of
    its own: DemoAlpha and DemoBeta were hosted by two Hollin.exe processes (see the PID field
    of the log lines), where Windows runs the whole group in one.
  - Wine only stubs Event Tracing for Windows, so the trace session is not recorded: the demo
    selects the text-file log instead. Tamsel.dll is installed beside Hollin.exe, but this
    build's copy carries no signature under the pinned roots, so the shipped Hollin.exe refuses
    to load it; the tests show a test-signed copy loaded by a test host that trusts it.
EOF
exit $status
