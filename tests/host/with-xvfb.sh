#!/usr/bin/env bash
# Runs a program on a private virtual X display, and takes the display down
# afterwards whatever the program's outcome.
set -u

scratch="$(mktemp -d)"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$scratch/display" 2>"$scratch/xvfb.log" &
xvfb=$!
trap 'kill "$xvfb" 2>/dev/null; wait "$xvfb" 2>/dev/null; rm -rf "$scratch"' EXIT

for _ in $(seq 200); do
    [ -s "$scratch/display" ] && break
    sleep 0.05
done

if [ ! -s "$scratch/display" ]; then
    echo "with-xvfb: Xvfb did not start" >&2
    cat "$scratch/xvfb.log" >&2
    exit 1
fi

export DISPLAY=":$(head -n 1 "$scratch/display")"
"$@"
