# The player over USB: zk27-player serve --gadget on a FunctionFS gadget
# bound to dummy_hcd's controller (dummy_udc.0), so that zk27 and
# zk27-manager reach it through libusb, usbfs and the kernel's USB host and
# gadget stacks, as they reach a player on a cable. Then what a cable brings:
# the gadget unbound from its controller in the middle of a put, a stalled
# pipe, a player that stops answering. Each fault fails the command within the
# pipes' time-out with its message, keeps every file stored before, and the
# next command works.
#
# The cases run in order on one gadget and one card: player.attach makes them,
# player.detach takes them down; the files the card must hold are kept, byte
# for byte, in $PRUN/files. Every program started costs a second or so on the
# virtual machine, so the checks are the shell's own where they can be.

vm_table <<'EOF'
# case                 seconds  function and arguments
player.attach          30       player_attach
player.basic           60       player_basic
player.unplug-put      40       player_fault unplug
player.stall           40       player_stall
player.stopped-put     40       player_fault stopped
player.manager         60       player_manager
player.detach          30       player_detach
EOF

# A failed command must end within the pipes' 5-second time-out and what
# follows it on a slow virtual machine; a stalled pipe is told at once.
player_fail_limit_ms=15000
player_stall_limit_ms=4000

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

# Every case after player.attach needs the player it started, on the bus (a
# case that failed half-way may have left it off).
player_up() {
  player_env
  [ -s "$PRUN/player.pid" ] || vm_fail "no player: player.attach did not start one"
  # What the player says, in the log of a case that fails.
  trap '[ $? -eq 0 ] || { echo "== zk27-player:"; tail -n 5 "$PRUN/player.log"; pctl status; }' EXIT
  player_configured || { pctl plug && vm_wait 10 player_configured; } || vm_fail "the player is not on the bus"
}

pctl() { "$P" ctl --socket "$PSOCK" "$@"; }
# status FIELD: one line of `ctl status`.
player_status() {
  local s
  s=$(pctl status) || return 1
  s=${s#*$'\n'"$1: "}
  echo "${s%%$'\n'*}"
}
player_configured() { [ "$(player_status 'usb configured')" = yes ]; }
player_bind() { echo dummy_udc.0 >"$PG/UDC" && vm_wait 10 player_configured; }

# random NAME BYTES: a PC file of that many random bytes.
random() { head -c "$2" /dev/urandom >"$1"; }

# has TEXT PART: TEXT holds PART.
has() { [[ $1 == *"$2"* ]]; }

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
  vm_wait 20 pctl status >/dev/null 2>&1 || vm_fail "zk27-player did not start: $(<"$PRUN/player.log")"
  vm_step "bound to dummy_udc.0 and configured" player_bind
  vm_step "zk27 devices" player_devices
}

player_devices() {
  local out
  out=$("$Z" devices) || return 1
  echo "$out"
  [[ $out == *"f0ff:2700  bus "*"ZK27 ZK27 player"*"interface 0, IN 0x81, OUT 0x02"* ]] &&
    has "$out" "listed as a player, you may open it"
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
  rm -rf back && mkdir back && (cd back && "$Z" get -a) && diff -r "$PRUN/files" back
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
  [[ $out == *$'\nfiles: '*' 0 music, 0 voice'* ]]
}

player_get() {
  mkdir got && (cd got && "$Z" get "$@") && cmp m1.mp3 got/m1.mp3 && cmp m2.mp3 got/m2.mp3 &&
    cmp m3.mp3 got/m3.mp3
}

# The memo recorded on the player, to WAV: 2 s of 16-bit samples at 8 kHz
# behind a WAV header.
player_towav() {
  local memo magic
  memo=$("$Z" ls) || return 1
  memo=${memo##*$'\n'}
  [[ $memo == *.voc ]] || return 1
  "$Z" towav "$memo" || return 1
  read -r -n 4 magic <"${memo%.voc}.wav"
  [ "$magic" = RIFF ] && [ "$(stat -c %s "${memo%.voc}.wav")" -ge 32044 ] || return 1
  # The memo as the card holds it, to be kept there.
  (cd "$PRUN/files" && "$Z" get "$memo")
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
  vm_step "get, byte-exact" player_get m1.mp3 m2.mp3 m3.mp3
  vm_step "rm" "$Z" rm m2.mp3
  pctl record memo.wav
  cp m1.mp3 m3.mp3 "$PRUN/files/"
  vm_step "towav of a memo recorded on the player" player_towav
  vm_step "check" "$Z" check
  vm_step "every file intact" player_intact
}

# sent NAME: put.out says NAME was sent.
player_sent() {
  local line
  while read -r line; do [[ $line == "sent $1 "* ]] && return 0; done <put.out
  return 1
}

# fault KIND: the fault strikes while a put sends the second of its three
# files (f2, large enough to be under way for seconds):
#   unplug   ctl unplug: the gadget is unbound from dummy_udc.0
#   stall    ctl stall: the next data phase, a cluster write's, halts OUT
#   stopped  SIGSTOP: the player answers nothing until SIGCONT
# The put fails with its message within the limit, the first file stays on
# the card, and once the player is back the next command finds every file
# stored intact and the tables clean.
player_fault() {
  player_up
  local kind=$1 rc=0 struck ms halted limit=$player_fail_limit_ms
  random "${kind}1.mp3" 70000
  random "${kind}2.mp3" 6000000
  random "${kind}3.mp3" 50000
  # A line a file, each as soon as it is done.
  stdbuf -oL "$Z" put -v "${kind}1.mp3" "${kind}2.mp3" "${kind}3.mp3" >put.out 2>put.err &
  local pid=$!
  vm_wait 30 player_sent "${kind}1.mp3" || vm_fail "${kind}1.mp3 was not sent: $(<put.err)"
  case $kind in
    unplug) vm_step "ctl unplug: the gadget leaves dummy_udc.0" pctl unplug ;;
    stall)
      vm_step "ctl stall: the next data phase halts its pipe" pctl stall
      limit=$player_stall_limit_ms
      ;;
    stopped) vm_step "SIGSTOP: the player stops" kill -STOP "$(<"$PRUN/player.pid")" ;;
  esac
  struck=$(vm_ms)
  wait $pid || rc=$?
  ms=$(($(vm_ms) - struck))
  vm_say "the put ended with status $rc $(vm_seconds $ms) s after the fault: $(<put.err)"
  [ $rc -eq 3 ] || vm_fail "the put ended with status $rc"
  # An unplug is seen either as a transfer that never completes or, when the
  # host has taken the device away first, as the player gone: both say the
  # truth, and which comes first depends on the host's timing.
  local said
  said=$(<put.err)
  [ "$said" = "zk27: the player stopped answering during ${kind}2.mp3; 1 of 3 files sent" ] ||
    { [ "$kind" = unplug ] && [ "$said" = "zk27: connection to the player lost during ${kind}2.mp3; 1 of 3 files sent" ]; } ||
    vm_fail "not the message for this fault"
  [ $ms -le $limit ] || vm_fail "the put failed only $(vm_seconds $ms) s after the fault"
  cp "${kind}1.mp3" "$PRUN/files/"
  case $kind in
    unplug) vm_step "ctl plug: bound again and configured" player_plug ;;
    stall)
      halted=$(player_status halted)
      [ "$halted" = "0 in, 1 out" ] || vm_fail "the OUT pipe was not halted ($halted)"
      ;;
    stopped) vm_step "SIGCONT: the player goes on" kill -CONT "$(<"$PRUN/player.pid")" ;;
  esac
  vm_step "the next command: every file stored before intact" player_intact
  vm_step "check" player_clean
}

player_plug() {
  local out
  out=$("$Z" ls 2>&1) && return 1  # unplugged, nothing to reach
  has "$out" "no player is attached" && pctl plug && vm_wait 10 player_configured
}

# stall: the OUT pipe halted under a cluster write of a put, then the IN
# pipe under the first read of a get. The host sees a stalled pipe, clears it
# and fails the command at once; the next command works.
player_stall() {
  player_fault stall
  local rc=0 ms halted out
  pctl stall
  ms=$(vm_ms)
  out=$("$Z" get m1.mp3 2>&1) || rc=$?
  ms=$(($(vm_ms) - ms))
  vm_say "the get ended with status $rc after $(vm_seconds $ms) s: $out"
  [ $rc -eq 3 ] || vm_fail "status $rc"
  [ "$out" = "zk27: the player stopped answering; reconnect it and try again" ] ||
    vm_fail "not the message for a stalled pipe"
  [ ! -e m1.mp3 ] || vm_fail "a failed get left a file"
  halted=$(player_status halted)
  [ "$halted" = "1 in, 1 out" ] || vm_fail "the IN pipe was not halted ($halted)"
  [ $ms -le $player_stall_limit_ms ] || vm_fail "the stalled get took $(vm_seconds $ms) s"
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
  before=$(player_status commands)
  last=$before
  ms=$(vm_ms)
  "$VM_BUILD/bin/zk27-manager" >manager.out 2>&1 &
  local pid=$!
  # Up once it has asked the player and then heard nothing more for a while.
  while [ $(($(vm_ms) - ms)) -lt 40000 ]; do
    sleep 0.2
    now=$(player_status commands)
    if [ "$now" != "$before" ] && [ "$now" = "$last" ]; then
      quiet=$((quiet + 1))
      [ $quiet -ge 4 ] && break
    else
      quiet=0
    fi
    last=$now
  done
  [ $quiet -ge 4 ] || vm_fail "the window did not come up: $(<manager.out)"
  vm_say "the window is up after $(vm_seconds $(($(vm_ms) - ms))) s, $((now - before)) commands"
  kill -TERM $pid
  vm_wait 10 eval "! kill -0 $pid 2>/dev/null" || vm_fail "zk27-manager still runs 10 s after SIGTERM"
  wait $pid || rc=$?
  [ $rc -eq 0 ] || vm_fail "zk27-manager ended with status $rc: $(<manager.out)"
  [ -f "$XDG_CONFIG_HOME/zk27/ZK27dir.ini" ] || vm_fail "no settings file: the main window never closed"
}

# The player quits: its function closed, the kernel takes the gadget off
# the controller and the device is gone from the bus.
player_detach() {
  player_up
  local pid
  pid=$(<"$PRUN/player.pid")
  vm_step "ctl quit" pctl quit
  vm_wait 10 eval "! kill -0 $pid 2>/dev/null" || vm_fail "zk27-player still runs"
  vm_step "the device is gone" player_gone
  umount "$PFFS"
  rm "$PG/configs/c.1/ffs.zk27"
  rmdir "$PG/configs/c.1" "$PG/functions/ffs.zk27" "$PG/strings/0x409" "$PG"
}

player_gone() {
  local udc out
  udc=$(<"$PG/UDC")
  [ -z "$udc" ] || {
    echo "still bound to $udc"
    return 1
  }
  out=$("$Z" devices) || true
  echo "$out"
  ! has "$out" "f0ff:2700  bus"
}
