#!/bin/bash
# CPU per second of keying of cw (Debian's package) at 60 words a minute, into a PulseAudio null
# sink of its own, for comparison with bench/whole_characters.py --position=160.
# Usage: bench/cw_cpu.sh [seconds]   (default 30)
set -euo pipefail
seconds=${1:-30}
dir=$(mktemp -d)
trap 'kill $pulse 2>/dev/null; wait $pulse 2>/dev/null; rm -rf "$dir"' EXIT
export PULSE_RUNTIME_PATH=$dir/runtime PULSE_STATE_PATH=$dir/state PULSE_SERVER=unix:$dir/pulse.sock
pulseaudio -n --daemonize=no --system=false --exit-idle-time=-1 --use-pid-file=no --enable-memfd=no \
    --load="module-null-sink sink_name=q rate=22540 channels=1 format=s16le" \
    --load="module-native-protocol-unix socket=$dir/pulse.sock auth-anonymous=1" >/dev/null 2>&1 &
pulse=$!
for _ in $(seq 100); do [ -S "$dir/pulse.sock" ] && break; sleep 0.1; done
# PARIS is 50 dot times: 60 words a minute key one a second.
text=$(for _ in $(seq "$seconds"); do printf 'PARIS '; done)
/usr/bin/time -f "%U %S %e" -o "$dir/time" cw -w 60 -s p <<<"$text" >/dev/null 2>&1
read -r user sys wall <"$dir/time"
echo "cw: $(echo "($user + $sys) * 1000 / $wall" | bc -l | cut -c1-5) ms CPU per second of keying over $wall s"
