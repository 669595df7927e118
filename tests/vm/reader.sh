# The card reader over USB: a card image as QEMU's usb-storage device on an
# emulated xHCI controller, reached in the guest as /dev/sdX through the
# kernel's usb-storage and SCSI layers; zk27 --image on it, and the reader
# pulled (QMP device_del) in the middle of a put, an rm and a format. After
# each pull the host reads the image as the reader left it.
#
# reader_basic times its put, rm and format from the moment zk27 has the
# reader's disk open to its end; the pulls come at fractions of that time
# after the open, so that they spread over the command's work on the card
# on any machine.

vm_table <<'EOF'
# case                 seconds  function and arguments
reader.basic           90       reader_basic
reader.pull-put-10     40       reader_pull put 10
reader.pull-put-30     40       reader_pull put 30
reader.pull-put-50     40       reader_pull put 50
reader.pull-put-70     40       reader_pull put 70
reader.pull-put-90     40       reader_pull put 90
reader.pull-rm-25      40       reader_pull rm 25
reader.pull-rm-50      40       reader_pull rm 50
reader.pull-rm-75      40       reader_pull rm 75
reader.pull-format-25  40       reader_pull format 25
reader.pull-format-50  40       reader_pull format 50
reader.pull-format-75  40       reader_pull format 75
EOF

# The files: on the stocked card before each case, and sent by the puts.
reader_stocked=(s1.mp3 s2.mp3 s3.mp3 s4.mp3)
reader_sent=(p1.mp3 p2.mp3 p3.mp3)
reader_removed=(s2.mp3 s3.mp3)
reader_kept=(s1.mp3 s4.mp3)

# --- host side -------------------------------------------------------------

# The files (in the scratch folder's files/, which the guest reads too) and
# the stocked card: formatted, holding reader_stocked.
host_setup_reader() {
  local i=0 n
  mkdir -p files img
  for n in "${reader_stocked[@]}" "${reader_sent[@]}"; do
    i=$((i + 1))
    # Sizes that are not whole clusters, contents that differ everywhere.
    head -c $((i * 200000 + 12345)) /dev/urandom >"files/$n"
  done
  truncate -s 32M img/stocked.img
  "$VM_ZK27" --image img/stocked.img format -y &&
    (cd files && "$VM_ZK27" --image ../img/stocked.img put "${reader_stocked[@]}") || return 1
  # Writes at 2 MB/s, a slow card's speed, so that a put's data is still
  # on its way for a good part of the put, as on a card in a real reader.
  vm_qemu+=(-device qemu-xhci,id=xhci -object throttle-group,id=card-speed,x-bps-write=2000000)
  reader_count=0
}

# attach CARD: a fresh copy of the card CARD (stocked) in the reader.
host_attach() {
  reader_count=$((reader_count + 1))
  reader_node=card$reader_count
  reader_image=$VM_SCRATCH/img/$reader_count.img
  cp "$VM_SCRATCH/img/$1.img" "$reader_image"
  vm_qmp blockdev-add "{\"driver\":\"throttle\",\"node-name\":\"$reader_node\",
    \"throttle-group\":\"card-speed\",\"file\":{\"driver\":\"raw\",
    \"file\":{\"driver\":\"file\",\"filename\":\"$reader_image\"}}}" >/dev/null &&
    vm_qmp device_add "{\"driver\":\"usb-storage\",\"bus\":\"xhci.0\",
      \"drive\":\"$reader_node\",\"id\":\"reader\"}" >/dev/null
}

# detach, or pull [SECONDS]: the reader unplugged (that long after the
# request), its image closed.
host_detach() { host_pull >/dev/null; }
host_pull() {
  vm_qmp device_del '{"id":"reader"}' DEVICE_DELETED "${1:-}" >/dev/null &&
    vm_qmp blockdev-del "{\"node-name\":\"$reader_node\"}" >/dev/null
}

# check NAME... [-- NAME...]: the image the reader left lists every file
# before the '--' and maybe those after it, no other, each with the bytes
# sent; 'check --repair -y' makes it clean and keeps them. The files
# fetched stay in the scratch folder (kept when a case fails).
host_check() {
  local must=() may=() n dash=no out
  for n; do
    if [ "$n" = -- ]; then
      dash=yes
    elif [ $dash = no ]; then
      must+=("$n")
    else
      may+=("$n")
    fi
  done
  out=$(mktemp -d "$VM_SCRATCH/check.XXXXXX")
  reader_verify "$out/before" || return 1
  "$VM_ZK27" --image "$reader_image" check && return 0
  "$VM_ZK27" --image "$reader_image" check --repair -y || true
  "$VM_ZK27" --image "$reader_image" check || {
    echo "not clean after check --repair"
    return 1
  }
  reader_verify "$out/after" || {
    echo "(after check --repair)"
    return 1
  }
}

reader_among() {
  local n=$1 m
  shift
  for m; do [ "$m" != "$n" ] || return 0; done
  return 1
}

# The image's files against what was sent, fetched into the new folder $1.
reader_verify() {
  local names n bad=0
  mkdir -p "$1"
  names=$("$VM_ZK27" --image "$reader_image" ls) || {
    echo "ls of the image failed"
    return 1
  }
  echo "the image lists:" $names
  (cd "$1" && "$VM_ZK27" --image "$reader_image" get -a) || echo "get -a of the image failed"
  for n in "${must[@]}"; do
    grep -qxF -- "$n" <<<"$names" || {
      echo "$n was stored before and is lost"
      bad=1
    }
  done
  while read -r n; do
    [ -n "$n" ] || continue
    if ! reader_among "$n" "${must[@]}" "${may[@]}"; then
      echo "lists $n, which was never sent"
      bad=1
    elif [ ! -f "$1/$n" ]; then
      echo "$n cannot be fetched"
      bad=1
    elif ! cmp -s "$1/$n" "$VM_SCRATCH/files/$n"; then
      echo "$n is listed with bytes other than those sent"
      bad=1
    fi
  done <<<"$names"
  return $bad
}

# --- guest side ------------------------------------------------------------

# Whether the kernel has the reader's disk; sets reader_dev to it (/dev/sdX).
reader_disk() {
  local d size
  for d in /sys/block/sd*; do
    [ -e "$d/size" ] || continue
    read -r size <"$d/size"
    [ "$size" -gt 0 ] && [ -b "/dev/${d##*/}" ] || continue
    reader_dev=/dev/${d##*/}
    return 0
  done
  return 1
}
# Whether every disk of the kernel's has gone, not only its size and node.
reader_gone() { ! compgen -G '/sys/block/sd*' >/dev/null; }

# Attaches a copy of the card $1 and sets reader_dev to its disk.
reader_attach() {
  vm_step "reader plugged in with a $1 card" reader_plug "$1"
}
reader_plug() {
  vm_host attach "$1" && vm_wait 30 reader_disk
}

reader_detach() {
  vm_step "reader unplugged" reader_unplug
}
reader_unplug() {
  vm_host detach && vm_wait 30 reader_gone
}

zk() { "$VM_ZK27" --image "$reader_dev" "$@"; }

# reader_start ARG...: zk ARG... in the background (reader_pid); returns
# once it has the reader's disk open (or has ended), with reader_opened the
# time of that (ms).
reader_start() {
  "$VM_ZK27" --image "$reader_dev" "$@" &
  reader_pid=$!
  until reader_open_in $reader_pid || [ ! -d /proc/$reader_pid ]; do vm_sleep 0.005; done
  reader_opened=$(vm_ms)
}
reader_open_in() {
  local f
  for f in /proc/"$1"/fd/*; do [ ! "$f" -ef "$reader_dev" ] || return 0; done 2>/dev/null
  return 1
}

# reader_timed OPERATION ARG...: zk OPERATION ARG..., the time from its
# open of the disk to its end kept for the pulls of OPERATION.
reader_timed() {
  local rc=0
  reader_start "$@"
  wait $reader_pid || rc=$?
  echo $(($(vm_ms) - reader_opened)) >"/tmp/reader-$1.ms"
  return $rc
}

# The card lists the files named and no other, each fetched byte for byte.
reader_same() {
  local names n
  names=$(zk ls) || return 1
  [ "$names" = "$(printf '%s\n' "$@")" ] || {
    echo "the card lists:" $names "instead of" "$@"
    return 1
  }
  [ $# -eq 0 ] || zk get "$@" || return 1
  for n; do cmp "$n" "$VM_SCRATCH/files/$n" || return 1; done
}

reader_basic() {
  reader_attach stocked
  vm_say "the reader is $reader_dev, $(($(cat "/sys/block/${reader_dev#/dev/}/size") >> 11)) MiB"
  vm_step "put of ${#reader_sent[@]} files" reader_timed put "${reader_sent[@]/#/$VM_SCRATCH/files/}"
  vm_step "ls and get, byte for byte" reader_same "${reader_stocked[@]}" "${reader_sent[@]}"
  vm_step "rm of ${#reader_removed[@]} files" reader_timed rm "${reader_removed[@]}"
  vm_step check zk check
  reader_detach
  vm_step "the image on the host" vm_host check "${reader_kept[@]}" "${reader_sent[@]}"
  reader_attach stocked
  vm_step format reader_timed format -y
  vm_step "ls after format: nothing" reader_same
  reader_detach
}

# reader_pull OPERATION PERCENT: the reader pulled PERCENT of the way
# through OPERATION (put, rm, format) on a stocked card, as reader_basic
# timed it from zk27's open of the disk; then the image must keep what it
# must, and be made clean by a repair.
reader_pull() {
  local op=$1 ms delay rc=0 pulled args must may
  read -r ms <"/tmp/reader-$op.ms" || vm_fail "no time for $op: reader.basic runs first"
  delay=$(vm_seconds $((ms * $2 / 100)))
  case $op in
    put)
      args=(put "${reader_sent[@]/#/$VM_SCRATCH/files/}")
      must=("${reader_stocked[@]}") may=("${reader_sent[@]}")
      ;;
    rm)
      args=(rm "${reader_removed[@]}")
      must=("${reader_kept[@]}") may=("${reader_removed[@]}")
      ;;
    format)
      args=(format -y)
      must=() may=("${reader_stocked[@]}")
      ;;
  esac
  reader_attach stocked
  # zk27 is held (SIGSTOP) at the moment chosen while the host pulls the
  # reader, so that the pull comes at that point of its work however long
  # the request takes to reach the host; the kernel's writes go on.
  reader_start "${args[@]}"
  vm_sleep "$delay"
  kill -STOP $reader_pid 2>/dev/null || true
  pulled=$(($(vm_ms) - reader_opened))
  vm_host pull
  kill -CONT $reader_pid 2>/dev/null || true
  wait $reader_pid || rc=$?
  vm_say "pulled with zk27 held $(vm_seconds $pulled) s after it opened the disk; $op ended with status $rc"
  case $rc in 0 | 3) ;; *) vm_fail "$op ended with status $rc, neither done nor a device failure" ;; esac
  vm_wait 30 reader_gone || vm_fail "the reader's disk stayed after the pull"
  vm_step "the image on the host" vm_host check "${must[@]}" -- "${may[@]}"
}
