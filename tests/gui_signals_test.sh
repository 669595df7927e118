#!/usr/bin/env bash
# zk27-manager itself, on Qt's offscreen platform against zk27-player: SIGTERM
# and SIGINT (Ctrl-C in the terminal it runs in) close its window as the close
# box does. It exits with status 0, not killed by the signal, and the window
# wrote the settings file on its way out, as it does only when it closes.
# Usage: gui_signals_test.sh BIN_DIR
set -eu
bin=$1
work=$(mktemp -d "${TMPDIR:-/tmp}/zk27-signals-test-XXXXXX")
player_pid=""
cleanup() {
  if [ -n "$player_pid" ]; then
    kill -TERM "$player_pid" 2>/dev/null || true
    wait "$player_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
# Background jobs with job control keep SIGINT, as a program started in a
# terminal's foreground has it.
set -m

export HOME="$work/home" XDG_CONFIG_HOME="$work/config" XDG_RUNTIME_DIR="$work/run"
export ZK27_PLAYER_SOCKET="$work/player.sock" QT_QPA_PLATFORM=offscreen
mkdir -p "$HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
settings="$XDG_CONFIG_HOME/zk27/ZK27dir.ini"

"$bin/zk27-player" serve --card "$work/card.img" --size 16 >"$work/player.out" 2>&1 &
player_pid=$!
for _ in $(seq 1 200); do
  grep -q serving "$work/player.out" 2>/dev/null && break
  sleep 0.05
done
grep -q serving "$work/player.out" || { echo "zk27-player did not start:"; cat "$work/player.out"; exit 1; }
"$bin/zk27" format --yes >"$work/format.out" 2>&1 || { echo "zk27 format failed:"; cat "$work/format.out"; exit 1; }

commands() { "$bin/zk27-player" ctl status | sed -n 's/^commands: //p'; }

fail=0
for sig in TERM INT; do
  rm -f "$settings"
  before=$(commands)
  "$bin/zk27-manager" >"$work/manager.out" 2>&1 &
  pid=$!
  # The window is up once the player has been asked and has heard nothing
  # more for a moment: the window is idle.
  last=$before
  quiet=0
  for _ in $(seq 1 200); do
    sleep 0.05
    now=$(commands)
    if [ "$now" != "$before" ] && [ "$now" = "$last" ]; then
      quiet=$((quiet + 1))
      [ "$quiet" -ge 6 ] && break
    else
      quiet=0
    fi
    last=$now
  done
  if [ "$quiet" -lt 6 ]; then echo "SIG$sig: the window did not come up"; fail=1; fi
  kill -"$sig" "$pid"
  status=0
  for _ in $(seq 1 100); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
  done
  if kill -0 "$pid" 2>/dev/null; then
    echo "SIG$sig: zk27-manager still runs 5 s later"
    kill -KILL "$pid"
    fail=1
  fi
  wait "$pid" || status=$?
  if [ "$status" -ne 0 ]; then echo "SIG$sig: zk27-manager ended with status $status"; fail=1; fi
  if [ ! -f "$settings" ]; then echo "SIG$sig: the settings file was not written"; fail=1; fi
  if [ "$fail" -ne 0 ]; then cat "$work/manager.out"; fi
done
exit "$fail"
