# The VM stage's own machinery, sourced by tests/vm/run on the host and in
# the guest: the tables, the running of the cases in the guest, and what a
# case uses (vm_step, vm_fail, vm_wait, vm_sleep, vm_host). See tests/vm/run for the
# table format.

VM_CASES=() VM_LIMITS=() VM_COMMANDS=()

# vm_table: reads table rows from stdin ("case seconds function args...",
# '#' starts a comment line).
vm_table() {
  local name limit rest
  while read -r name limit rest; do
    case $name in '' | '#'*) continue ;; esac
    VM_CASES+=("$name")
    VM_LIMITS+=("$limit")
    VM_COMMANDS+=("$rest")
  done
}

# The time since the epoch in milliseconds.
vm_ms() {
  local t=${EPOCHREALTIME/[.,]/}
  echo $((t / 1000))
}

# Milliseconds as seconds: 1234 -> 1.23.
vm_seconds() { printf '%d.%02d' $(($1 / 1000)) $(($1 % 1000 / 10)); }

# A line on the console (fd 3 in a case) and in the case's log.
vm_say() {
  echo "vm:   ${VM_CASE:-}: $*" >&3
  echo "== $*"
}

vm_fail() {
  vm_say "FAILED: $*"
  exit 1
}

# vm_step TEXT COMMAND...: runs COMMAND, says how long it took; a failure
# fails the case. VM_STEP_MS holds the step's milliseconds afterwards.
# COMMAND runs without set -e (as any command whose status is tested), so
# a function given to vm_step checks its own steps.
vm_step() {
  local text=$1 start rc=0
  shift
  echo "== $text: $*"
  start=$(vm_ms)
  "$@" || rc=$?
  VM_STEP_MS=$(($(vm_ms) - start))
  if [ $rc -ne 0 ]; then vm_fail "$text: status $rc after $(vm_seconds $VM_STEP_MS) s"; fi
  vm_say "$text ($(vm_seconds $VM_STEP_MS) s)"
}

# vm_sleep SECONDS: a pause without starting a program (which costs the
# guest more than the pause).
vm_sleep() {
  if [ -z "${vm_sleep_fd:-}" ]; then
    local fifo
    fifo=$(mktemp -u /tmp/vm-sleep.XXXXXX)
    mkfifo "$fifo"
    exec {vm_sleep_fd}<>"$fifo"
    rm -f "$fifo"
  fi
  read -r -t "$1" -u "$vm_sleep_fd" _ || true
}

# vm_wait SECONDS COMMAND...: polls COMMAND until it succeeds; status 1 when
# it has not within SECONDS.
vm_wait() {
  local end=$(($(vm_ms) + $1 * 1000))
  shift
  until "$@"; do
    [ "$(vm_ms)" -lt $end ] || return 1
    vm_sleep 0.02
  done
}

# Requests to the host. vm_host_start REQUEST ARG... hands the request over
# and returns, setting vm_request to its id, once the host has begun
# answering it (so that a timer the host starts runs from about then);
# vm_host_wait ID waits for the answer, prints the host's output and returns
# its status. vm_host does both.
vm_host_start() {
  local seq=0
  [ -f /tmp/vm-seq ] && read -r seq </tmp/vm-seq
  seq=$((seq + 1))
  echo $seq >/tmp/vm-seq
  printf -v vm_request '%05d' $seq
  echo "$*" >"$VM_SCRATCH/req-$vm_request"
  mv "$VM_SCRATCH/req-$vm_request" "$VM_SCRATCH/req/$vm_request"
  vm_wait 60 test -e "$VM_SCRATCH/rep/$vm_request.started" || vm_fail "the host did not take up '$*'"
}
vm_host_wait() {
  local rc
  vm_wait 120 test -e "$VM_SCRATCH/rep/$1.rc" || vm_fail "the host did not answer request $1"
  cat "$VM_SCRATCH/rep/$1.out"
  read -r rc <"$VM_SCRATCH/rep/$1.rc"
  return "$rc"
}
vm_host() {
  vm_host_start "$@"
  vm_host_wait "$vm_request"
}

# The guest: runs the cases that match the patterns in order, each in a
# process group of its own, killed after its seconds; records "name
# passed|failed seconds" in the scratch folder's results.
vm_guest_main() {
  local scratch=$1 i name start ms rc p chosen passed=0 failed=0 pid dog argv up
  # shellcheck disable=SC1091
  . "$scratch/env"
  read -r up _ </proc/uptime
  echo "vm: guest up at ${up} s; ${#VM_CASES[@]} cases in the tables"
  set -m
  for i in "${!VM_CASES[@]}"; do
    name=${VM_CASES[$i]}
    chosen=$((${#VM_PATTERNS[@]} == 0))
    for p in "${VM_PATTERNS[@]}"; do
      # shellcheck disable=SC2053
      if [[ $name == $p ]]; then chosen=1; fi
    done
    [ $chosen = 1 ] || continue
    read -r -a argv <<<"${VM_COMMANDS[$i]}"
    start=$(vm_ms)
    (
      VM_CASE=$name
      cd "$(mktemp -d "/tmp/$name.XXXXXX")"
      set -euo pipefail
      "${argv[@]}"
    ) 3>&1 >"$scratch/log/$name" 2>&1 </dev/null &
    pid=$!
    {
      sleep "${VM_LIMITS[$i]}"
      echo "vm:   $name: still running after its ${VM_LIMITS[$i]} s: stopped"
      kill -TERM -- -$pid
      sleep 5
      kill -KILL -- -$pid
    } 2>/dev/null </dev/null &
    dog=$!
    rc=0
    wait $pid || rc=$?
    kill -- -$dog 2>/dev/null || true
    wait $dog 2>/dev/null || true
    ms=$(($(vm_ms) - start))
    if [ $rc -eq 0 ]; then
      echo "vm: $name passed ($(vm_seconds $ms) s)"
      echo "$name passed $(vm_seconds $ms)" >>"$scratch/results"
      passed=$((passed + 1))
    else
      echo "vm: $name FAILED (status $rc, $(vm_seconds $ms) s)"
      { echo "== the end of the kernel's log:"; dmesg | tail -n 25; } >>"$scratch/log/$name"
      echo "$name failed $(vm_seconds $ms)" >>"$scratch/results"
      failed=$((failed + 1))
    fi
  done 2>/dev/null
  echo "vm: guest done: $passed passed, $failed failed"
  : >"$scratch/done"
}
