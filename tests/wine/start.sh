#!/usr/bin/env bash
# Brings up the Wine environment for a test run: 32-bit program support, an Xvfb display, a
# persistent wineserver and an initialised Wine prefix with its background processes running.
#
#   start.sh STATE_DIR
#
# WINEPREFIX and DISPLAY (":N") come from the environment. Safe to run again: whatever an earlier,
# aborted run left behind (a wineserver, Wine processes, an Xvfb, a half-made prefix) is reused
# when it works and replaced when it does not. Needs no standard input.
set -euo pipefail

state_dir=${1:?usage: start.sh STATE_DIR}
: "${WINEPREFIX:?WINEPREFIX must be set}"
: "${DISPLAY:?DISPLAY must be set}"
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
mkdir -p "$state_dir"
exec </dev/null
# Two test runs of one build tree start one environment, one after the other. Whatever this
# script leaves running is started with the lock's descriptor closed (9>&-), or it would hold the
# lock for good.
exec 9>"$state_dir/start.lock"
if ! flock -w 900 9; then
  echo "wine_start: another start.sh of $state_dir still holds start.lock" >&2
  exit 1
fi

log() { echo "wine_start: $*"; }

display_number=${DISPLAY#:}
display_number=${display_number%%.*}
xvfb_pid_file=$state_dir/xvfb.pid
ready_marker=$WINEPREFIX/.faxjob-prefix-ready
busy_marker=$WINEPREFIX/.faxjob-prefix-initialising

display_answers() { xdpyinfo -display "$DISPLAY" >/dev/null 2>&1; }

start_xvfb() {
  if [[ -f $xvfb_pid_file ]]; then
    local old_pid
    old_pid=$(cat "$xvfb_pid_file")
    if kill -0 "$old_pid" 2>/dev/null && display_answers; then
      log "reusing Xvfb $old_pid on $DISPLAY"
      return
    fi
    if [[ $(cat "/proc/$old_pid/comm" 2>/dev/null) == Xvfb ]]; then kill "$old_pid" || true; fi
    rm -f "$xvfb_pid_file"
  fi
  local lock=/tmp/.X${display_number}-lock
  if [[ -f $lock ]]; then
    local owner
    owner=$(tr -d ' \n' <"$lock")
    if [[ -n $owner ]] && kill -0 "$owner" 2>/dev/null; then
      if display_answers; then
        # Not ours, so not ours to stop either; any X server does for Wine.
        log "display $DISPLAY is served by process $owner, using it"
        return
      fi
      log "display $DISPLAY is held by process $owner but does not answer; choose another" \
          "FAXJOB_WINE_DISPLAY_NUMBER"
      exit 1
    fi
    log "removing the stale lock of display $DISPLAY"
    rm -f "$lock" "/tmp/.X11-unix/X${display_number}"
  fi
  # Detached and without the test's output pipes, so that ctest does not wait for it.
  setsid Xvfb "$DISPLAY" -screen 0 1280x1024x24 -nolisten tcp -noreset \
    >"$state_dir/xvfb.log" 2>&1 9>&- &
  for _ in $(seq 100); do
    if display_answers; then
      tr -d ' \n' <"$lock" >"$xvfb_pid_file"
      log "started Xvfb $(cat "$xvfb_pid_file") on $DISPLAY"
      return
    fi
    sleep 0.2
  done
  log "Xvfb did not come up on $DISPLAY:"
  cat "$state_dir/xvfb.log"
  exit 1
}

# Wine processes of an aborted run may still hold the prefix (a message box nobody closed); the
# server of that run goes with them.
stop_stale_wineserver() {
  [[ -d $WINEPREFIX ]] || return 0
  wineserver -k >/dev/null 2>&1 || true
  timeout 60 wineserver -w >/dev/null 2>&1 || true
}

# Everything Wine starts in the background (services, the desktop process) inherits the standard
# handles of the process that starts it. Started from here, with output into a log file, none of
# it can hold a test's output pipe open.
start_wine() {
  local wine_log=$state_dir/wine.log
  # Only a prefix that this script began to initialise is thrown away.
  if [[ -f $busy_marker ]]; then
    log "removing the half-initialised prefix $WINEPREFIX"
    rm -rf "$WINEPREFIX"
  fi
  mkdir -p "$WINEPREFIX"
  setsid wineserver -p >>"$wine_log" 2>&1 9>&-
  if [[ ! -f $ready_marker ]]; then
    log "initialising the Wine prefix $WINEPREFIX (takes a while under emulation)"
    touch "$busy_marker"
    if ! timeout 1500 wineboot --init >>"$wine_log" 2>&1 9>&-; then
      log "wineboot --init failed:"
      tail -n 30 "$wine_log"
      exit 1
    fi
    touch "$ready_marker"
    rm -f "$busy_marker"
  else
    timeout 600 wineboot >>"$wine_log" 2>&1 9>&- || log "wineboot returned $?, going on"
  fi
}

bash "$here/enable-i386.sh" "$state_dir"
start_xvfb
stop_stale_wineserver
start_wine
log "ready: WINEPREFIX=$WINEPREFIX DISPLAY=$DISPLAY"
