# A fetch onto a USB stick formatted exFAT, as most sticks and SD cards come,
# through the kernel's own exFAT driver: its folders do not tell upper from
# lower case, so a card's Memo.voc and memo.voc are one file there, and they
# refuse a name with a '?'. The stick is a loop device; the card an image.

vm_table <<'EOF_TABLE'
# case                 seconds  function and arguments
stick.names            60       stick_names
EOF_TABLE

stick_names() {
  vm_step "an exFAT stick mounted" stick_mount
  vm_step "a card holding what?.mp3, song.mp3, Memo.voc and memo.voc" stick_card
  vm_step "get -a onto the stick skips what?.mp3 and memo.voc, fetches the others whole" stick_fetch
  umount stick
}

stick_mount() {
  truncate -s 64M stick.img && mkfs.exfat stick.img >/dev/null && mkdir -p stick &&
    mount -t exfat -o loop stick.img stick && touch stick/probe && [ -e stick/PROBE ] && rm stick/probe
}

stick_card() {
  head -c 3000 /dev/urandom >'what?.mp3' && head -c 4000 /dev/urandom >song.mp3 &&
    head -c 5000 /dev/urandom >Memo.voc && head -c 7000 /dev/urandom >memo.voc &&
    truncate -s 32M card.img && "$VM_ZK27" --image card.img format -y &&
    "$VM_ZK27" --image card.img put 'what?.mp3' song.mp3 Memo.voc memo.voc
}

stick_fetch() {
  local rc=0 said
  said=$(cd stick && "$VM_ZK27" --image ../card.img get -a 2>&1) || rc=$?
  echo "$said"
  [ $rc -ne 0 ] || { echo "get -a ended with status 0: one file was not fetched"; return 1; }
  grep -q "memo.voc: .*other capitals" <<<"$said" || { echo "no word of memo.voc's clash"; return 1; }
  grep -q "what?.mp3: .*characters" <<<"$said" || { echo "no word of what?.mp3's name"; return 1; }
  [ "$(ls stick | tr '\n' ' ')" = "Memo.voc song.mp3 " ] || { echo "the stick holds:" $(ls stick); return 1; }
  cmp stick/Memo.voc Memo.voc && cmp stick/song.mp3 song.mp3
}
