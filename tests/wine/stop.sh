#!/usr/bin/env bash
# Takes down what start.sh brought up: every Wine process of the prefix with its wineserver, and
# the Xvfb that start.sh started (an X server it found running is left alone).
#
#   stop.sh STATE_DIR
set -uo pipefail

state_dir=${1:?usage: stop.sh STATE_DIR}
: "${WINEPREFIX:?WINEPREFIX must be set}"
exec </dev/null

if [[ -d $WINEPREFIX ]]; then
  wineserver -k >/dev/null 2>&1
  timeout 60 wineserver -w >/dev/null 2>&1
fi

xvfb_pid_file=$state_dir/xvfb.pid
if [[ -f $xvfb_pid_file ]]; then
  xvfb_pid=$(cat "$xvfb_pid_file")
  if [[ $(cat "/proc/$xvfb_pid/comm" 2>/dev/null) == Xvfb ]]; then
    kill "$xvfb_pid"
    for _ in $(seq 50); do kill -0 "$xvfb_pid" 2>/dev/null || break; sleep 0.1; done
  fi
  rm -f "$xvfb_pid_file"
fi
echo "wine_stop: stopped"
exit 0
