# The power-cut test in the guest (vm-test --mode powercut). The host pulls
# the plug (SIGKILL of QEMU) at random moments and boots the same disks
# again; each boot of the installed station runs powercut_boot:
#   1. Redis's MONITOR is copied to the share at once. Redis syncs each write
#      to its append-only file before it answers it and before MONITOR's
#      line leaves, so each push in that copy is one that the station has
#      accepted; the host compares them with the records at the end.
#   2. The checks of the boot after a cut: the units start without a hand,
#      station-check exits 0, the lists drain, system.csv and cdr.csv hold
#      whole lines only, and a door-code lockout in force at the cut is in
#      force again for at least the time it had left.
#   3. The workload, until the plug is pulled: calls that end, key presses
#      and DTMF, door-code lockouts, changes of the settings, and bursts of
#      entries, call records and relay requests of the test's own.
# The boot that follows the last cut (phase "final") checks, drains and
# powers off. /userdata is a disk of its own (vdb), as on a board.
# shellcheck shell=bash

CUT_SHARE=$SHARE/powercut
ACTIVITY=/run/vmtest-activity
LISTS=(writelog-channel writelog-processing cdr-channel cdr-processing output-channel output-processing)

# First boot: /userdata becomes the second disk, as a board's data
# partition, before the package makes its folders there.
userdata_disk() {
    grep -q ' /userdata ' /etc/fstab && return 0
    mkdir -p /userdata /mnt/userdata
    mount LABEL=userdata /mnt/userdata || return 1
    cp -a /userdata/. /mnt/userdata/
    umount /mnt/userdata
    echo 'LABEL=userdata /userdata ext4 defaults 0 2' >>/etc/fstab
    mount /userdata && sync
}

activity() { echo "$1" >"$ACTIVITY"; }

# The heartbeat: every half second, the time, the lockout's time left (ms,
# from Redis) and what the workload does, appended to the boot's own file
# in the share, which the host reads to choose the moment of the cut.
heartbeat() {
    local file=$CUT_SHARE/heartbeat-$1 left
    while :; do
        left=$(redis PTTL dtmf-lockout 2>/dev/null)
        echo "$EPOCHREALTIME ${left:--3} $(cat "$ACTIVITY" 2>/dev/null)" >>"$file"
        nap 0.5
    done
}

# Bursts of items of the test's own, each unique, through one redis-cli:
# 15 entries at once (the writer takes five a second, so they wait in the
# list), a call record, and every third burst a relay request on and off.
pusher() {
    local boot=$1 n=0 i burst=0
    while :; do
        for ((i = 0; i < 15; i++)); do
            echo "LPUSH writelog-channel VMTEST,ITEM,$boot-$n"
            n=$((n + 1))
        done
        echo "LPUSH cdr-channel $(date +%F,%T,%T),sip:vmtest@$PBX_V4,vmtest-$boot-$n,0,out,ANSWERED,vmtest"
        n=$((n + 1))
        if [ $((burst % 3)) = 0 ]; then
            echo 'LPUSH output-channel "{\"id\":\"gpio135\",\"type\":\"On\"}"'
            echo 'LPUSH output-channel "{\"id\":\"gpio135\",\"type\":\"Off\"}"'
        fi
        burst=$((burst + 1))
        nap 6
    done | redis-cli -s "$REDIS_SOCKET" >/dev/null 2>&1
}

# The settings as a device's software writes them: a new file, synced,
# renamed over the old, the folder synced.
set_setting_durably() {
    local conf=/etc/speaker.conf fresh=/etc/.speaker.conf.vmtest
    cp -p "$conf" "$fresh"
    set_setting "$fresh" "$@"
    sync "$fresh" && mv "$fresh" "$conf" && sync /etc
}
key1_number() { sed -n '/^\[button-gpio140\]/,/^\[/s/^next_number_1 *= *//p' /etc/speaker.conf; }
transport() { sed -n '/^\[account_info_1\]/,/^\[/s/^transport *= *//p' /etc/speaker.conf; }

# A visitor's call: key 1, the far phone answers, the door code, hang up.
visitor_call() {
    local number far_log
    number=$(key1_number)
    far_log=$(far_log_lines)
    wait_for 20 status_is idle || return 1
    press 140
    wait_for 10 eval 'far_after $far_log | grep -qi "incoming call"' || { far hangup >/dev/null; return 1; }
    far_answers "$number" && wait_for 10 status_is answer || { far hangup >/dev/null; return 1; }
    local i
    for ((i = 0; i < ${#DOOR_CODE}; i++)); do
        far sndcode "${DOOR_CODE:i:1}" >/dev/null
        nap 0.25
    done
    nap 1
    far hangup >/dev/null
    wait_for 10 status_is idle
}

# Key presses and DTMF: the far phone calls, key 2 answers, a few wrong
# digits, key 1 pressed during the call, hang up.
keys_call() {
    wait_for 20 status_is idle || return 1
    far_calls_station || { far hangup >/dev/null; return 1; }
    press 67
    wait_for 10 status_is answer || { far hangup >/dev/null; return 1; }
    far sndcode 1 >/dev/null
    nap 0.2
    press 140
    far sndcode 2 >/dev/null
    nap 0.5
    far hangup >/dev/null
    wait_for 10 status_is idle
}

# A door-code lockout: wrong digits worth three calls' tries.
make_lockout() {
    local i
    for ((i = 0; i < 3; i++)); do
        [ "$(redis PTTL dtmf-lockout)" -gt 0 ] && return 0
        wrong_digits_call $((3 * ${#DOOR_CODE})) || far hangup >/dev/null
    done
}

# A change of the settings: the account's transport and key 1's number
# flip; the user agent registers again through the path units.
change_settings() {
    local pbx want number
    pbx=$(pbx_lines)
    if [ "$(transport)" = tcp ]; then want=udp; else want=tcp; fi
    if [ "$(key1_number)" = "$FAR_NUMBER" ]; then number=$FAR_OTHER_NUMBER; else number=$FAR_NUMBER; fi
    set_setting_durably button-gpio140 next_number_1 "$number"
    set_setting_durably account_info_1 transport "$want"
    wait_for 60 eval 'pbx_after $pbx | grep -q "PBX REGISTERED $want sip:$STATION_NUMBER@"'
}

workload() {
    local boot=$1 round=0
    heartbeat "$boot" &
    pusher "$boot" &
    while :; do
        if [ $((round % 3)) = 0 ] && [ "$(redis PTTL dtmf-lockout)" -le 0 ]; then
            activity lockout
            make_lockout
        fi
        activity call
        visitor_call
        activity keys
        keys_call
        activity settings
        change_settings
        round=$((round + 1))
    done
}

# ------------------------------------------------------------ after a cut

lists_empty() {
    local list
    for list in "${LISTS[@]}"; do
        [ "$(redis LLEN "$list" 2>/dev/null)" = 0 ] || return 1
    done
}
list_lengths() {
    local list out=""
    for list in "${LISTS[@]}"; do out+="$list $(redis LLEN "$list" 2>/dev/null) "; done
    echo "$out"
}

# Whole lines only: the file ends with a line end, holds no NUL byte, and
# each line starts as the station starts its lines.
whole_lines() {
    local file=$1 pattern=$2
    [ -s "$file" ] || return 0
    [ "$(tail -c 1 "$file" | od -An -c | tr -d ' ')" = '\n' ] || { echo "does not end with a line end"; return 1; }
    if grep -qaP '\x00' "$file"; then echo "holds NUL bytes"; return 1; fi
    local bad
    bad=$(grep -cvE "$pattern" "$file")
    [ "$bad" = 0 ] || { echo "$bad lines that are not whole: $(grep -vE "$pattern" "$file" | head -n 2 | cut -c1-80 | tr '\n' '|')"; return 1; }
}

# A lockout in force at the cut must hold again after the boot for the time
# it had left or longer: orvanel says at its start how long the lockout it
# found still holds.
check_lockout() {
    local boot=$1 left_at_cut restored
    # The host pulled the plug right after it read the last heartbeat, and
    # wrote down the lockout's time left that it showed (ms; the heartbeat
    # is half a second old at most, so a second is allowed).
    left_at_cut=$(awk -v b="$((boot - 1))" '$1 == b { left = $5 } END { if (left > 0) printf "%d", left / 1000 }' "$CUT_SHARE/cuts")
    [ -n "$left_at_cut" ] && [ "$left_at_cut" -gt 1 ] || return 0
    restored=$(journalctl -b -u orvanel.service -o cat --no-pager | grep -o 'DTMF locked for [0-9]* s more' | tail -n 1 | tr -dc 0-9)
    if [ -n "$restored" ] && [ "$restored" -ge $((left_at_cut - 1)) ]; then
        echo "lockout kept $boot $left_at_cut $restored" >>"$CUT_SHARE/lockouts"
        echo "a lockout with $left_at_cut s left at the cut holds $restored s more after the boot"
    else
        echo "lockout lost $boot $left_at_cut ${restored:-none}" >>"$CUT_SHARE/lockouts"
        echo "LOST: a lockout with $left_at_cut s left at the cut; after the boot orvanel says: ${restored:-nothing} s"
        return 1
    fi
}

# The filler that takes all of /userdata, for one boot's workload.
# All the room that users other than root have, in one file and at once:
# nothing keeps writing after (a filler that did would take the room that
# Redis's reserve frees when Redis first finds the storage full). What ext4
# keeps back for root alone stays free, as on a board.
fill_userdata() {
    fallocate -l "$(($(stat -f -c '%a' /userdata) * $(stat -f -c '%S' /userdata)))" /userdata/vmtest-filler
    sync
    echo "$1 $(df -Pk /userdata | awk 'NR == 2 { print $4 }')" >"$CUT_SHARE/filled"
    say "/userdata filled: $(cut -d' ' -f2 "$CUT_SHARE/filled") kB left"
}

# A full /userdata at the cut: the station must boot and run all the same.
# Then the filler goes and what waited drains.
check_full_userdata() {
    local boot=$1 pbx left
    left=$(cut -d' ' -f2 "$CUT_SHARE/filled")
    if [ "${left:-0}" -ge 1024 ]; then
        fail "powercut.full-userdata" "/userdata could not be filled: $left kB were left"
    fi
    wait_for 60 eval '[ "$(unit_property orvanel.service ActiveState)" = active ]'
    wait_for 60 eval '[ "$(redis PING 2>/dev/null)" = PONG ]'
    wait_for 60 status_is idle
    pbx=$(pbx_lines)
    press 140
    if wait_for 15 eval 'pbx_after $pbx | grep -q "PBX INVITE .*sip:$(key1_number)@"'; then
        pass "powercut.full-userdata" "cut with /userdata full ($left kB left when it was filled, $(df -Pk /userdata | awk 'NR == 2 { print $4 }') kB now): the station booted, Redis answers, key 1 still calls $(key1_number); the Redis server's journal: $(journalctl -b -u redis-server@station.service -o cat --no-pager | grep -m 1 -E 'is full|reserve' | cut -c1-120)"
    else
        fail "powercut.full-userdata" "cut with /userdata full: key 1 made no INVITE; Redis $(redis PING 2>&1); units: $(systemctl is-active "${STATION_UNITS[@]}" | tr '\n' ' ')"
    fi
    far hangup >/dev/null
    wait_for 20 status_is idle
    rm -f /userdata/vmtest-filler
    sync
    rm -f "$CUT_SHARE/filled"
}

check_after_cut() {
    local boot=$1 started=$EPOCHREALTIME problems=() notes=() unit
    [ -s "$CUT_SHARE/filled" ] && check_full_userdata "$boot"

    # The units start without a hand.
    local units_at
    if wait_for 120 eval '[ "$(systemctl is-active "${STATION_UNITS[@]}" | sort -u)" = active ]'; then
        units_at=$(elapsed "$started" "$EPOCHREALTIME")
        notes+=("units active")
    else
        problems+=("units: $(for unit in "${STATION_UNITS[@]}"; do printf '%s %s; ' "$unit" "$(systemctl is-active "$unit")"; done)")
    fi
    local failed
    failed=$(systemctl --failed --plain --no-legend | awk '{print $1}' | tr '\n' ' ')
    [ -z "$failed" ] || problems+=("failed units: $failed")

    # Ready: the installer's check, which needs the registration. A door-code
    # lockout kept across the cut is its one warning until it ends by itself.
    local report status=1
    wait_for 90 eval 'as_station station-check --problems >/dev/null 2>&1'
    report=$(as_station station-check --problems 2>&1)
    status=$?
    if [ $status = 0 ]; then
        notes+=("station-check 0")
    elif [ $status = 1 ] && [ "$(echo "$report" | grep -cE 'WARNING|ERROR')" = 1 ] &&
        echo "$report" | grep -q 'WARNING  *door code lockout'; then
        notes+=("station-check 1 for the kept lockout alone")
    else
        problems+=("station-check exits $status: $(echo "$report" | grep -E 'WARNING|ERROR' | head -n 3 | tr '\n' ' ')")
    fi

    # What waited drains.
    if wait_for 180 lists_empty; then
        notes+=("the lists drained")
    else
        problems+=("the lists did not drain in 180 s: $(list_lengths)")
    fi

    # Whole lines, and a copy for the host's comparison.
    # An entry's line starts with its time stamp; a call record's has nine
    # fields (a record of a call whose start orvanel did not see has blanks
    # where the start would be, but it is whole).
    local why file
    local -A whole=([system.csv]='^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2},' [cdr.csv]='^([^,]*,){8}[^,]*$')
    for file in system.csv cdr.csv; do
        if why=$(whole_lines "/userdata/$file" "${whole[$file]}"); then
            notes+=("$file $(lines_of "/userdata/$file") whole lines")
        else
            problems+=("$file: $why")
        fi
    done
    mkdir -p "$CUT_SHARE/files-$boot"
    cp /userdata/system.csv /userdata/cdr.csv "$CUT_SHARE/files-$boot/" 2>/dev/null

    local lockout
    if lockout=$(check_lockout "$boot"); then
        [ -n "$lockout" ] && notes+=("$lockout")
    else
        problems+=("$lockout")
    fi
    local what
    what=$(awk -v b="$((boot - 1))" '$1 == b { print $4 " (aimed at " $3 ")" }' "$CUT_SHARE/cuts" | tail -n 1)
    if [ ${#problems[@]} = 0 ]; then
        pass "powercut.boot-$boot" "after the cut during ${what:-?}: $(IFS=,; echo "${notes[*]}" | sed 's/,/, /g') (units in ${units_at:-?} s)"
    else
        fail "powercut.boot-$boot" "after the cut during ${what:-?}: $(IFS=,; echo "${problems[*]}" | sed 's/,/, /g')"
    fi
}

# What /userdata's disk takes, from the kernel's count of sectors written to
# it (the data, the file system's journal and its metadata): at rest, per
# operation-log entry and per call, once, before the first workload that
# runs.
sectors_written() { awk '{ print $7 }' /sys/block/vdb/stat; }
flash_figures() {
    local before after i n=100 calls=5 made=0
    wait_for 180 lists_empty
    wait_for 60 status_is idle
    before=$(sectors_written)
    nap 120
    after=$(sectors_written)
    figure "flash at rest" "$(((after - before) * 512 * 30 / 1024)) kB an hour (/userdata's disk over 120 s)"
    before=$(sectors_written)
    for ((i = 0; i < n; i++)); do echo "LPUSH writelog-channel VMTEST,FLASH,$i"; done | redis-cli -s "$REDIS_SOCKET" >/dev/null
    wait_for 120 lists_empty
    nap 6
    after=$(sectors_written)
    figure "flash per operation-log entry" "$(((after - before) * 512 / n / 1024)) kB ($n entries pushed at once and stored)"
    before=$(sectors_written)
    for ((i = 0; i < calls; i++)); do visitor_call && made=$((made + 1)); done
    wait_for 120 lists_empty
    nap 6
    after=$(sectors_written)
    [ "$made" -gt 0 ] && figure "flash per call" "$(((after - before) * 512 / made / 1024)) kB ($made visitor calls with the door code: key 1, answered, the code, the relay, hung up; entries, record and the user agent's call states)"
}

# Each boot in the phases powercut and final.
powercut_boot() {
    local phase=$1 boot
    mkdir -p "$CUT_SHARE"
    boot=$(($(wc -l 2>/dev/null <"$CUT_SHARE/boots" || echo 0) + 1))
    echo "$boot $EPOCHREALTIME $(cut -d' ' -f1 /proc/uptime)" >>"$CUT_SHARE/boots"
    # Copied again whenever the server goes (on a full disk it ends and
    # comes back); what passes meanwhile is only not counted.
    while :; do
        stdbuf -oL redis-cli -s "$REDIS_SOCKET" MONITOR >>"$CUT_SHARE/monitor-$boot.log" 2>/dev/null
        nap 0.2
    done &
    say "power-cut boot $boot ($phase)"
    # After a cut (the host wrote down how many boots had begun by then).
    if awk -v b="$((boot - 1))" '$1 == b { found = 1 } END { exit !found }' "$CUT_SHARE/cuts" 2>/dev/null; then
        check_after_cut "$boot"
    fi
    if [ "$phase" = final ]; then
        return 0
    fi
    if [ ! -e "$CUT_SHARE/flash-measured" ]; then
        flash_figures
        touch "$CUT_SHARE/flash-measured"
    fi
    [ "$boot" = "$(cat "$CUT_SHARE/fill-at" 2>/dev/null)" ] && fill_userdata "$boot"
    echo "ready $boot" >>"$CUT_SHARE/ready"
    workload "$boot"
}
