# The guest's helpers for the VM test's scenarios: results, waits with
# deadlines, the kernel's GPIO lines, Redis, the records and the peers' logs.
# shellcheck shell=bash

RESULTS=$SHARE/results
SYSTEM_CSV=/userdata/system.csv
CDR_CSV=/userdata/cdr.csv
REDIS_SOCKET=/run/redis-station/redis.sock
STATION_AOR_KEY=baresip-call-status-$STATION_NUMBER-$PBX_V4

# result PASS|FAIL NAME EVIDENCE: one line of the test's report.
result() {
    local line="$1 $2: $3"
    echo "$line" >>"$RESULTS"
    echo "vmtest: $line" >/dev/console
}
pass() { result PASS "$1" "$2"; }
fail() { result FAIL "$1" "$2"; }
# A figure for docs/testing.md: "figure NAME: VALUE".
figure() {
    echo "figure $1: $2" >>"$RESULTS"
    echo "vmtest: figure $1: $2" >/dev/console
}
say() { echo "vmtest: $*" >/dev/console; }

# The host's factor for the waits below: 1, or more where the guest's
# instructions are translated one by one (an arm64 guest on amd64).
WAIT_SCALE=$(cat "$SHARE/wait-scale" 2>/dev/null || echo 1)

# wait_for SECONDS COMMAND...: true once the command succeeds, false when
# the deadline (times WAIT_SCALE) passes first. Polls every 50 ms.
wait_for() {
    local seconds=$1
    shift
    local deadline=$((${EPOCHREALTIME/./} + seconds * WAIT_SCALE * 1000000))
    until "$@"; do
        [ "${EPOCHREALTIME/./}" -lt "$deadline" ] || return 1
        sleep 0.05
    done
}

# Seconds between two EPOCHREALTIME readings, as text with 3 decimals.
elapsed() {
    local from=${1/./} to=${2/./}
    local micro=$((to - from))
    printf '%d.%03d' $((micro / 1000000)) $((micro % 1000000 / 1000))
}

# A pause without a process (sleep would start one per call): a read with
# a time-out on a pipe that never carries anything.
exec {NAP_FD}<> <(:)
nap() { read -r -t "$1" -u "$NAP_FD" || true; }

# wait_high LINE SECONDS FILE: polls the line every 2 ms until it reads 1,
# then writes the wall-clock time to FILE; nothing when the time is up.
wait_high() {
    local deadline=$((${EPOCHREALTIME/./} + $2 * 1000000)) level=0
    while [ "${EPOCHREALTIME/./}" -lt "$deadline" ]; do
        read -r level <"/sys/class/gpio/gpio$1/value"
        if [ "$level" = 1 ]; then
            echo "$EPOCHREALTIME" >"$3"
            return 0
        fi
        nap 0.002
    done
    return 1
}

redis() { redis-cli -s "$REDIS_SOCKET" "$@"; }
call_status() { redis --raw GET "$STATION_AOR_KEY" 2>/dev/null; }
status_is() { [ "$(call_status)" = "{\"status\":\"$1\"}" ]; }

# The level of a GPIO line, as its sysfs value file reads (no process
# started: the samples of a blink are 100 ms apart).
gpio() {
    local value
    read -r value <"/sys/class/gpio/gpio$1/value"
    echo "$value"
}
# Pulls an input line through the mock: the kernel sees an edge.
pull() { echo "$2" >"/run/station-platform/gpio$1-pull"; }
# press LINE [SECONDS]: a key pressed for 0.15 s (or SECONDS) and released;
# RELEASED holds the wall-clock time of the release.
press() {
    pull "$1" 0
    sleep "${2:-0.15}"
    RELEASED=$EPOCHREALTIME
    pull "$1" 1
}

# sample_leds MILLISECONDS LINE...: the levels each line showed, sampled
# every 100 ms: "131:01 130:0" is a line seen at 0 and at 1, and one at 0.
sample_leds() {
    local end=$((${EPOCHREALTIME/./} + $1 * 1000)) line
    shift
    local -A seen=()
    while [ "${EPOCHREALTIME/./}" -lt "$end" ]; do
        for line in "$@"; do
            case ${seen[$line]:-} in *"$(gpio "$line")"*) ;; *) seen[$line]+=$(gpio "$line") ;; esac
        done
        sleep 0.1
    done
    local out=""
    for line in "$@"; do
        out+="$line:$(echo "${seen[$line]}" | grep -o . | sort | tr -d '\n') "
    done
    echo "${out% }"
}

# The number of lines of a record file, and the lines after a count.
lines_of() { if [ -f "$1" ]; then wc -l <"$1"; else echo 0; fi; }
lines_after() { tail -n +"$(($2 + 1))" "$1" 2>/dev/null; }
# has_entry FILE FROM TEXT: the file holds TEXT in a line after line FROM.
has_entry() { lines_after "$1" "$2" | grep -qF -- "$3"; }

# Kamailio's log lines ("{TIME} PBX ...") after a count of lines.
pbx_lines() { wc -l <"$PEERS/kamailio.log"; }
pbx_after() { tail -n +"$(($1 + 1))" "$PEERS/kamailio.log" | grep 'PBX '; }
# The wall-clock time Kamailio stamped on the first line after FROM that
# holds TEXT.
pbx_time() { pbx_after "$1" | grep -F -- "$2" | head -n 1 | sed -n 's/^.*{\([0-9.]*\)}.*$/\1/p'; }

far() { "$SHARE/guest/far-phone" "$@"; }
far_ok() { far "$@" | grep -q '"ok":true'; }
far_log_lines() { wc -l <"$PEERS/far_phone.log"; }
far_after() { tail -n +"$(($1 + 1))" "$PEERS/far_phone.log"; }

# A unit's property as systemctl shows it.
unit_property() { systemctl show -p "$2" --value "$1"; }

# set_setting FILE SECTION KEY VALUE: the key's line in the INI file's
# section becomes "KEY = VALUE" (added at the section's end when missing),
# as an installer edits the file; the file is rewritten in place, so its
# owner and mode stay.
set_setting() {
    local file=$1 section=$2 key=$3 value=$4 text
    text=$(awk -v section="[$section]" -v key="$key" -v value="$value" '
        function put() { print key " = " value; done = 1 }
        /^\[/ { if (inside && !done) put(); inside = ($0 == section) }
        inside && !done && $0 ~ "^" key "[ \t]*=" { put(); next }
        { print }
        END { if (inside && !done) put() }' "$file")
    printf '%s\n' "$text" >"$file"
}
