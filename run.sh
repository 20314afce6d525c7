#!/usr/bin/env bash
# Installs what is missing, builds Kelvara, starts the bundled demo worklist server on
# 127.0.0.1 with today's worklist and starts the program against it.
set -euo pipefail
top=$(cd "$(dirname "$0")" && pwd)
"$top/scripts/deps.sh"
"$top/scripts/build.sh" "$top/build" -DKELVARA_TESTS=OFF

exe="$top/build/app/kelvara"
# The program is German: where no locale is set, dates show the German way.
case "${LC_ALL:-${LC_TIME:-${LANG:-C}}}" in
    C | C.* | POSIX) export LC_ALL=de_DE.UTF-8 ;;
esac
server="$top/build/tools/kelvara-wlserver"
aet=KELVARA_WL

port=11112
while (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; do port=$((port + 1)); done

log="$top/build/kelvara-wlserver.log"
"$server" --port "$port" --aet "$aet" --demo "${KELVARA_DEMO_ENTRIES:-40}" >"$log" 2>&1 &
server_pid=$!
trap 'kill "$server_pid" 2>/dev/null || true' EXIT
for _ in $(seq 100); do
    grep -q "^listening on" "$log" && break
    sleep 0.1
done
echo "Demo worklist server on 127.0.0.1:$port, AE title $aet (its log: $log)."

settings="$(dirname "$exe")/Settings.ini"
if [ ! -f "$settings" ]; then
    printf '[General]\nLocalAET=KELVARA\n[Worklist]\nIP=127.0.0.1\nAET=%s\nPort=%s\n' \
        "$aet" "$port" > "$settings"
    echo "Wrote $settings for the demo server on 127.0.0.1:$port."
elif grep -q "^AET=$aet" "$settings"; then
    # Set up for the demo before: follow the demo server to the port it has today.
    sed -i "s/^Port=.*/Port=$port/" "$settings"
else
    echo "Using the existing $settings (the demo server listens on 127.0.0.1:$port, AE title $aet)."
fi

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "No display found: running on a virtual screen (Xvfb). Set DISPLAY to see the window."
    xvfb-run -a -s "-screen 0 1920x1080x24" "$exe"
else
    "$exe"
fi
