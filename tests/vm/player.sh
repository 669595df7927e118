# The player over USB: zk27-player serve --gadget on a FunctionFS gadget
# bound to dummy_hcd's controller (dummy_udc.0), so that zk27 and
# zk27-manager reach it through libusb, usbfs and the kernel's USB host and
# gadget stacks, as they reach a player on a cable. Then what a cable brings:
# the gadget unbound from its controller in the middle of a put, a stalled
# endpoint, a player that stops answering. Each fault fails the command within
# the pipes' time-out with its message, keeps every file stored before, and
# the next command works.
#
# The cases run in order on one gadget and one card: player.attach makes them,
# player.detach takes them down; the files the card must hold are kept, byte
# for byte, in $PRUN/files.

vm_table <<'EOF'
# case                 seconds  function and arguments
player.attach          30       player_attach
player.basic           90       player_basic
player.unplug-put      40       player_fault unplug
player.stall-put       30       player_fault stall
player.stall-get       30       player_stall_get
player.stopped-put     40       player_fault stopped
player.manager         60       player_manager
player.detach          30       player_detach
EOF

# A failed command must end within the pipes' 5-second time-out and what
# follows it on a slow virtual machine.
player_fail_limit_ms=15000

player_env() {
  PG=/sys/kernel/config/usb_gadget/zk27
  PFFS=/run/zk27-ffs
  PRUN=/run/zk27
  PSOCK=$PRUN/player.sock
  Z=$VM_BUILD/bin/zk27
  P=$VM_BUILD/bin/zk27-player
  # The id the gadget presents, listed; no virtual player on a socket to
  # fall back on.
  export ZK27_PLAYERS_FILE=$PRUN/players ZK27_PLAYER_SOCKET=$PSOCK XDG_RUNTIME_DIR=$PRUN/xdg
}
# Every case after player.attach needs the player it started.
player_up() {
  player_env
  [ -s "$PRUN/player.pid" ] || vm_fail "no player: player.attach did not start one"
  # What the player said meanwhile, for the log of a case that fails.
  trap 'echo "== zk27-player:"; tail -n 5 "$PRUN/player.log"; pctl status 2>&1 | tail -n 6' EXIT
  # A case that failed half-way may have left it off the bus.
  player_configured || { pctl plug && vm_wait 10 player_configured; } || vm_fail "the player is not on the bus"
}
pctl() { "$P" ctl --socket "$PSOCK" "$@"; }
player_commands() { pctl status | sed -n 's/^commands: //p'; }
player_configured() { pctl status | grep -q '^usb configured: yes$'; }
player_bind() { echo dummy_udc.0 >"$PG/UDC" && vm_wait 10 player_configured; }

# random NAME BYTES: a PC file of that many random bytes.
random() { head -c "$2" /dev/urandom >"$1"; }

player_attach() {
  player_env
  [ -e /sys/class/udc/dummy_udc.0 ] || vm_fail "no dummy_udc.0: dummy_hcd is not loaded"
  mountpoint -q /sys/kernel/config || mount -t configfs configfs /sys/kernel/config
  mkdir -p "$PRUN/files" "$XDG_RUNTIME_DIR" "$PFFS"
  chmod 700 "$XDG_RUNTIME_DIR"
  echo f0ff:2700 >"$ZK27_PLAYERS_FILE"
  # The configfs side: the id and strings, one configuration with the
  # function, whose functionfs instance the player serves.
  mkdir "$PG" "$PG/strings/0x409" "$PG/configs/c.1" "$PG/functions/ffs.zk27"
  echo 0xf0ff >"$PG/idVendor"
  echo 0x2700 >"$PG/idProduct"
  echo ZK27 >"$PG/strings/0x409/manufacturer"
  echo "ZK27 player" >"$PG/strings/0x409/product"
  ln -s "$PG/functions/ffs.zk27" "$PG/configs/c.1/"
  mount -t functionfs zk27 "$PFFS"
  setsid "$P" serve --card "$PRUN/card.img" --size 16 --socket "$PSOCK" --gadget "$PFFS" \
    --udc-file "$PG/UDC" >"$PRUN/player.log" 2>&1 </dev/null &
  echo $! >"$PRUN/player.pid"
  vm_wait 10 grep -q serving "$PRUN/player.log" || vm_fail "zk27-player did not start: $(cat "$PRUN/player.log")"
  vm_step "bound to dummy_udc.0 and configured" player_bind
  vm_step "zk27 devices" player_devices
}

player_devices() {
  local out
  out=$("$Z" devices) || return 1
  echo "$out"
  grep -q 'f0ff:2700 .*ZK27 ZK27 player *interface 0, IN 0x81, OUT 0x02' <<<"$out" &&
    grep -q 'listed as a player, you may open it' <<<"$out"
}

# ls NAME...: the card lists these names, in this order.
player_ls() {
  local got
  got=$("$Z" ls) || return 1
  [ "$got" = "$(printf '%s\n' "$@")" ] || {
    echo "ls gave: $got"
    return 1
  }
}

# The card holds exactly the files kept in $PRUN/files, byte for byte.
player_intact() {
  local d
  d=$(mktemp -d "$PWD/back.XXXXXX")
  (cd "$d" && "$Z" get -a) || return 1
  diff -r "$PRUN/files" "$d" || return 1
  rm -rf "$d"
}

# The card's tables are clean, once mended if the fault left clusters lost.
player_clean() {
  "$Z" check && return 0
  "$Z" check --repair -y && "$Z" check
}

player_info() {
  local out
  out=$("$Z" info) || return 1
  echo "$out"
  grep -q '^files: *0 music, 0 voice$' <<<"$out"
}

# get FOLDER NAME...: fetches the card files NAME..., each the same as FOLDER/NAME.
player_get() {
  local from=$1 n
  shift
  rm -rf got && mkdir got
  (cd got && "$Z" get "$@") || return 1
  for n; do cmp "$from/$n" "got/$n" || return 1; done
}

player_towav() {
  local memo
  memo=$("$Z" ls | grep '\.voc$') || return 1
  "$Z" towav "$memo" || return 1
  # 2 s of 16-bit samples at 8 kHz behind a WAV header.
  [ "$(head -c 4 "${memo%.voc}.wav")" = RIFF ] && [ "$(stat -c %s "${memo%.voc}.wav")" -ge 32044 ]
}

player_basic() {
  player_up
  random m1.mp3 60000
  random m2.mp3 70001
  random m3.mp3 140000
  "$P" tone 2 memo.wav
  vm_step "format" "$Z" format --yes
  vm_step "info" player_info
  vm_step "put of 3 files" "$Z" put m1.mp3 m2.mp3 m3.mp3
  vm_step "ls" player_ls m1.mp3 m2.mp3 m3.mp3
  vm_step "get, byte-exact" player_get . m1.mp3 m2.mp3 m3.mp3
  vm_step "rm" "$Z" rm m2.mp3
  vm_step "ls after rm" player_ls m1.mp3 m3.mp3
  pctl record memo.wav
  vm_step "towav of a memo recorded on the player" player_towav
  vm_step "check" "$Z" check
  cp m1.mp3 m3.mp3 "$PRUN/files/"
  # The memo as the card holds it.
  (cd "$PRUN/files" && "$Z" get "$("$Z" ls | grep '\.voc$')")
  vm_step "every file intact" player_intact
}

# fault KIND: the fault strikes while a put sends the second of its three
# files (f2, large enough to be under way for seconds):
#   unplug   ctl unplug: the gadget is unbound from dummy_udc.0
#   stall    ctl stall: the next data phase, a cluster write's, halts OUT
#   stopped  SIGSTOP: the player answers nothing until SIGCONT
# The put fails with its message within the limit (a stalled pipe at once),
# the first file stays on the card, and after the player is back the next
# command works, the tables are clean and every file stored is intact.
player_fault() {
  player_up
  local kind=$1 rc=0 start struck ms halted
  random "${kind}1.mp3" 70000
  random "${kind}2.mp3" 6000000
  random "${kind}3.mp3" 50000
  start=$(vm_ms)
  # A line a file, each as soon as it is done.
  stdbuf -oL "$Z" put -v "${kind}1.mp3" "${kind}2.mp3" "${kind}3.mp3" >put.out 2>put.err &
  local pid=$!
  vm_wait 30 grep -q "sent ${kind}1.mp3" put.out || vm_fail "${kind}1.mp3 was not sent: $(cat put.err)"
  case $kind in
    unplug) vm_step "ctl unplug: the gadget leaves dummy_udc.0" pctl unplug ;;
    stall) vm_step "ctl stall: the next data phase halts its pipe" pctl stall ;;
    stopped) vm_step "SIGSTOP: the player stops" kill -STOP "$(cat "$PRUN/player.pid")" ;;
  esac
  struck=$(vm_ms)
  wait $pid || rc=$?
  ms=$(($(vm_ms) - struck))
  cat put.out put.err
  vm_say "the put ended with status $rc $(vm_seconds $ms) s after the fault: $(cat put.err)"
  [ $rc -eq 3 ] || vm_fail "the put ended with status $rc, $(vm_seconds $(($(vm_ms) - start))) s after it began"
  grep -qx "zk27: the player stopped answering during ${kind}2.mp3; 1 of 3 files sent" put.err ||
    vm_fail "not the message for this fault"
  [ $ms -le $player_fail_limit_ms ] || vm_fail "the put failed only $(vm_seconds $ms) s after the fault"
  cp "${kind}1.mp3" "$PRUN/files/"
  case $kind in
    unplug) vm_step "ctl plug: bound again and configured" player_plug ;;
    stall)
      halted=$(pctl status | sed -n 's/^halted: //p')
      [ "${halted#* in, }" = "1 out" ] || vm_fail "the OUT pipe was not halted ($halted)"
      # Told at once: no time-out was waited for.
      [ $ms -lt 4000 ] || vm_fail "a stalled pipe took $(vm_seconds $ms) s to fail the put"
      ;;
    stopped) vm_step "SIGCONT: the player goes on" kill -CONT "$(cat "$PRUN/player.pid")" ;;
  esac
  vm_step "the next command: every file stored before intact" player_intact
  vm_step "check" player_clean
}

player_plug() {
  local out
  out=$("$Z" ls 2>&1) && return 1  # unplugged, nothing to reach
  grep -q 'no player is attached' <<<"$out" || return 1
  pctl plug && vm_wait 10 player_configured
}

# A get under `ctl stall`: its first read's IN pipe halts, the host sees a
# stalled pipe and fails the command at once; the next get works.
player_stall_get() {
  player_up
  local rc=0 ms halted
  pctl stall
  ms=$(vm_ms)
  "$Z" get m1.mp3 2>get.err || rc=$?
  ms=$(($(vm_ms) - ms))
  cat get.err
  halted=$(pctl status | sed -n 's/^halted: //p')
  vm_say "the get ended with status $rc after $(vm_seconds $ms) s, halted: $halted: $(cat get.err)"
  [ $rc -eq 3 ] || vm_fail "status $rc"
  grep -q '^zk27: .*the player stopped answering' get.err || vm_fail "not the message for a stalled pipe"
  [ ! -e m1.mp3 ] || vm_fail "a failed get left a file"
  [ "${halted%% in,*}" = 1 ] || vm_fail "the IN pipe was not halted"
  [ $ms -lt 4000 ] || vm_fail "the stalled get took $(vm_seconds $ms) s"
  vm_step "the next command: every file stored before intact" player_intact
}

# The desktop program starts over the gadget and reaches its main window:
# the window writes its settings file only when it closes, and SIGTERM
# closes it as its close box does.
player_manager() {
  player_up
  local before now last quiet=0 rc=0 ms
  export HOME=$PWD/home XDG_CONFIG_HOME=$PWD/config QT_QPA_PLATFORM=offscreen
  mkdir -p "$HOME"
  before=$(player_commands)
  last=$before
  ms=$(vm_ms)
  "$VM_BUILD/bin/zk27-manager" >manager.out 2>&1 &
  local pid=$!
  # Up once it has asked the player and then heard nothing more for a while.
  for _ in $(seq 1 200); do
    sleep 0.1
    now=$(player_commands)
    if [ "$now" != "$before" ] && [ "$now" = "$last" ]; then
      quiet=$((quiet + 1))
      [ $quiet -ge 6 ] && break
    else
      quiet=0
    fi
    last=$now
  done
  [ $quiet -ge 6 ] || vm_fail "the window did not come up: $(cat manager.out)"
  vm_say "the window is up after $(vm_seconds $(($(vm_ms) - ms))) s, $((now - before)) commands"
  kill -TERM $pid
  vm_wait 10 sh -c "! kill -0 $pid 2>/dev/null" || vm_fail "zk27-manager still runs 10 s after SIGTERM"
  wait $pid || rc=$?
  [ $rc -eq 0 ] || vm_fail "zk27-manager ended with status $rc: $(cat manager.out)"
  [ -f "$XDG_CONFIG_HOME/zk27/ZK27dir.ini" ] || vm_fail "no settings file: the main window never closed"
  vm_step "every file intact" player_intact
}

# The player quits: its function closed, the kernel takes the gadget off
# the controller and the device is gone from the bus.
player_detach() {
  player_up
  local pid rc=0
  pid=$(cat "$PRUN/player.pid")
  vm_step "ctl quit" pctl quit
  vm_wait 10 sh -c "! kill -0 $pid 2>/dev/null" || vm_fail "zk27-player still runs"
  vm_step "the device is gone" player_gone
  umount "$PFFS"
  rm "$PG/configs/c.1/ffs.zk27"
  rmdir "$PG/configs/c.1" "$PG/functions/ffs.zk27" "$PG/strings/0x409" "$PG"
}

player_gone() {
  local udc
  udc=$(cat "$PG/UDC")
  [ -z "$udc" ] || {
    echo "still bound to $udc"
    return 1
  }
  vm_wait 10 sh -c "! '$Z' devices | grep -q f0ff:2700" || {
    "$Z" devices
    return 1
  }
}
