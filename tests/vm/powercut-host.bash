# vm-test --mode powercut, the host's half (sourced by vm-test once QEMU
# runs the first boot). The guest installs the package with /userdata on a
# disk of its own and reboots into the phase "powercut"; then the plug is
# pulled (SIGKILL of QEMU) CUTS times and the same disks booted again:
#   cut 1      during the first boot of the installed station, at a random
#              moment while its units start;
#   the others while the guest's workload runs (tests/vm/guest/powercut.sh),
#              each aimed in turn at a call that ends, key presses and DTMF,
#              a door-code lockout in force and a change of the settings,
#              a random time into it; one boot's workload runs on a full
#              /userdata.
# The moments come from the seed (--seed repeats a run's). Each boot after
# a cut checks itself; the boot after the last checks, drains and powers
# off. Then fsck -n on both disks, and the tally of what was accepted
# against what the records hold (tests/vm/powercut-tally).
# vm-test runs with set -e: every command here that may fail on purpose says
# so.
# shellcheck shell=bash

share=$run/share
cut_share=$share/powercut
mkdir -p "$cut_share"
: >"$cut_share/cuts"
: >"$cut_share/ready"
fill_at=$((cuts / 2))
[ "$fill_at" -ge 2 ] || fill_at=2
echo "$fill_at" >"$cut_share/fill-at"
RANDOM=$seed
note "power cuts: $cuts, seed $seed (--seed $seed repeats the moments); /userdata is full during boot $fill_at's workload"

shown=0
show_results() {
    local lines
    lines=$(wc -l <"$share/results")
    if [ "$lines" -gt "$shown" ]; then
        tail -n +"$((shown + 1))" "$share/results" | head -n "$((lines - shown))"
        shown=$lines
    fi
}
# until_true SECONDS COMMAND...: polls every 0.2 s, showing results; false
# at the deadline or when QEMU has ended.
until_true() {
    local end=$((SECONDS + $1))
    shift
    until "$@"; do
        show_results
        kill -0 "$qemu_pid" 2>/dev/null || return 1
        [ "$SECONDS" -lt "$end" ] || return 1
        sleep 0.2
    done
}
phase_is() { [ "$(cat "$share/phase" 2>/dev/null)" = "$1" ]; }
boots_begun() { if [ -f "$cut_share/boots" ]; then wc -l <"$cut_share/boots"; else echo 0; fi; }
ready_count() { wc -l <"$cut_share/ready"; }
# The board's platform says on the console when it has exported the lines,
# early in each boot, before the station's units start.
second_boot() { [ "$(grep -c 'station-platform: GPIO lines' "$run/console.log" 2>/dev/null)" -ge 2 ]; }
last_heartbeat() { tail -n 1 "$cut_share/heartbeat-$(boots_begun)" 2>/dev/null || true; }
# The workload does what the cut aims at: an activity it names, or a
# lockout in force (time left in Redis).
aimed_at() {
    local beat
    beat=$(last_heartbeat)
    case "$1" in
        lockout) echo "$beat" | awk '{ exit !($2 > 3000) }' ;;
        *) [ "$(echo "$beat" | awk '{ print $3 }')" = "$1" ] ;;
    esac
}
powercut_fail() { echo "FAIL $1: $2" | tee -a "$share/results"; shown=$((shown + 1)); }

# Pulls the plug: QEMU killed at once, the moment and what the guest was
# doing written down, and the disks booted again.
cut_count=0
pull_plug() {
    local target=$1 boots beat left activity
    boots=$(boots_begun)
    beat=$(last_heartbeat)
    kill -9 "$qemu_pid" 2>/dev/null || true
    wait "$qemu_pid" 2>/dev/null || true
    left=$(echo "$beat" | awk '{ print ($2 > 0) ? $2 : 0 }')
    activity=$(echo "$beat" | awk '{ print ($3 == "") ? "starting" : $3 }')
    [ -n "$beat" ] || activity=booting
    cut_count=$((cut_count + 1))
    echo "$boots $EPOCHREALTIME $target ${activity:-booting} ${left:-0}" >>"$cut_share/cuts"
    note "cut $cut_count of $cuts at $((SECONDS - started)) s: aimed at $target, the guest was at ${activity:-booting} (boot $boots, lockout ${left:-0} ms left)"
    start_qemu "$run/console-$cut_count.log"
}

outcome=""
# The installation, then the first boot of the installed station.
if ! until_true "${deadline[install]}" phase_is powercut; then
    outcome="the installation did not end within ${deadline[install]} s"
elif ! until_true "${deadline[reboot]}" second_boot; then
    outcome="the first boot after the installation did not start"
else
    # While its units start, which under TCG takes up to half a minute.
    sleep "$((RANDOM % (8 * scale))).$((RANDOM % 10))"
    pull_plug first-boot
fi

kinds=(call keys lockout settings)
while [ -z "$outcome" ] && [ "$cut_count" -lt "$cuts" ]; do
    ready=$(ready_count)
    if ! until_true "${deadline[boot]}" eval '[ "$(ready_count)" -gt "$ready" ]'; then
        outcome="the boot after cut $cut_count did not reach its workload within ${deadline[boot]} s"
        break
    fi
    target=${kinds[$(((cut_count - 1) % ${#kinds[@]}))]}
    if ! until_true 300 aimed_at "$target"; then
        powercut_fail "powercut.cut-$((cut_count + 1))" "the workload did not come to $target within 300 s; cut where it was"
    fi
    # A random time into it, in tenths of a second.
    case "$target" in
        lockout) delay=$((RANDOM % 150)) ;;
        settings) delay=$((RANDOM % 80)) ;;
        *) delay=$((RANDOM % 60)) ;;
    esac
    sleep "$((delay / 10)).$((delay % 10))"
    pull_plug "$target"
done

# The boot after the last cut checks, drains and powers off.
if [ -z "$outcome" ] || [ "$cut_count" -gt 0 ]; then
    echo final >"$share/phase"
    if ! until_true "${deadline[boot]}" phase_is done; then
        [ -n "$outcome" ] || outcome="the boot after the last cut did not end within ${deadline[boot]} s"
    fi
    # It powers itself off: QEMU ends.
    until_true 120 false || true
fi
stop_qemu
trap - EXIT
show_results
[ -n "$outcome" ] && powercut_fail "powercut" "$outcome; the console's last lines: $(tail -n 8 "$run/console-$cut_count.log" 2>/dev/null | tr -d '\r' | tr '\n' '|')"

# The file systems after all the cuts and their replays.
if e2fsck -fn "$run/userdata.img" >"$run/fsck-userdata.txt" 2>&1; then
    echo "PASS powercut.fsck-userdata: e2fsck -fn on /userdata's disk after the run: clean ($(tail -n 1 "$run/fsck-userdata.txt"))" | tee -a "$share/results"
else
    powercut_fail "powercut.fsck-userdata" "e2fsck -fn on /userdata's disk: $(tail -n 6 "$run/fsck-userdata.txt" | tr '\n' '|')"
fi
qemu-img convert -O raw "$run/disk.qcow2" "$run/root.raw"
if e2fsck -fn "$run/root.raw" >"$run/fsck-root.txt" 2>&1; then
    echo "PASS powercut.fsck-root: e2fsck -fn on the root disk after the run: clean ($(tail -n 1 "$run/fsck-root.txt"))" | tee -a "$share/results"
else
    powercut_fail "powercut.fsck-root" "e2fsck -fn on the root disk: $(tail -n 6 "$run/fsck-root.txt" | tr '\n' '|')"
fi
rm -f "$run/root.raw"

# What was accepted against what the records hold.
python3 "$here/powercut-tally" "$cut_share" | tee -a "$share/results" || true

results=$share/results
passed=$(grep -c '^PASS ' "$results" || true)
failed=$(grep -c '^FAIL ' "$results" || true)
note "$((SECONDS - started)) s in all, seed $seed"
echo
grep -E '^(PASS|FAIL) ' "$results"
grep -E '^(tally|figure) ' "$results" || true
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ] && [ "$passed" -gt 0 ] && [ -z "$outcome" ]
