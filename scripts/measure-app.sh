#!/usr/bin/env bash
# Measures the running tray app on a private X server (1920x1080), session bus, sound
# server and sysfs backlight: CPU while only the 0.25 s poll runs (compensation and recording off),
# then CPU and resident memory with compensation on.
#   scripts/measure-app.sh [SECONDS]     (default 20 per phase; needs Xvfb, dbus-daemon, pulseaudio)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
nuvlet=${NUVLET:-./build/app/nuvlet}
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

Xvfb -displayfd 3 -screen 0 1920x1080x24 -noreset -nolisten tcp 3>"$work/display" 2>/dev/null &
pids+=($!)
while [ ! -s "$work/display" ]; do sleep 0.05; done
export DISPLAY=":$(cat "$work/display")"
xsetroot -solid '#808080'
bus=$(dbus-daemon --session --fork --print-address=1 --print-pid=1)
export DBUS_SESSION_BUS_ADDRESS=$(sed -n 1p <<<"$bus")
pids+=("$(sed -n 2p <<<"$bus")")
mkdir -p "$work/pulse" "$work/sys/class/backlight/panel" "$work/config/nuvlet"
HOME="$work/pulse" PULSE_RUNTIME_PATH="$work/pulse" XDG_RUNTIME_DIR="$work/pulse" \
  pulseaudio --daemonize=no --exit-idle-time=-1 -n --use-pid-file=no --log-level=error \
  --load="module-native-protocol-unix socket=$work/pulse/native" \
  --load="module-null-sink sink_name=measure" 2>/dev/null &
pids+=($!)
export PULSE_SERVER="unix:$work/pulse/native"
until pactl info >/dev/null 2>&1; do sleep 0.05; done
echo raw >"$work/sys/class/backlight/panel/type"
echo 100 >"$work/sys/class/backlight/panel/max_brightness"
echo 60 >"$work/sys/class/backlight/panel/brightness"
export NUVLET_SYSFS_ROOT="$work/sys" HOME="$work" XDG_CONFIG_HOME="$work/config" \
  XDG_DATA_HOME="$work/data" XDG_STATE_HOME="$work/state" DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent
ticks=$(getconf CLK_TCK)

# CPU seconds used by a process (user + system), from /proc.
cpu() { awk -v t="$ticks" '{ printf "%.3f", ($14 + $15) / t }' "/proc/$1/stat"; }

phase() {  # name, autoAdjustEnabled
  echo "{\"autoAdjustEnabled\": $2, \"telemetryRecording\": false}" >"$work/config/nuvlet/settings.json"
  "$nuvlet" run 2>/dev/null &
  local pid=$!
  pids+=("$pid")
  sleep 2   # let start-up (and its fit) settle
  local before; before=$(cpu "$pid")
  sleep "$seconds"
  local after; after=$(cpu "$pid")
  local rss; rss=$(awk '/VmRSS/ { print $2 }' "/proc/$pid/status")
  awk -v a="$before" -v b="$after" -v s="$seconds" -v n="$1" -v r="$rss" \
    'BEGIN { printf "%-40s CPU %.3f%% of one core, RSS %.1f MiB\n", n, (b - a) / s * 100, r / 1024 }'
  kill -TERM "$pid"
  wait "$pid" || true
}

phase "poll only (compensation, recording off)" false
phase "compensation on, 1080p" true
