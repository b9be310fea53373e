# The VM test's scenarios, run in the booted guest by ./run. Each ends in
# PASS or FAIL lines with their evidence (lib.sh: pass, fail) and some leave
# figures for docs/testing.md (figure).
# shellcheck shell=bash

# The units the package ships, and those that docs/installing.md has an
# installer enable.
package_units() {
    local path
    for path in $(dpkg -L orvanel-station | grep '^/usr/lib/systemd/system/[^/]*$'); do
        [ -f "$path" ] && basename "$path"
    done
}
ENABLED_UNITS=(outputd.service orvanel.service station-baresip.service sipbridge.service
               station-filter.service station-filter.path station-filter.timer station-sip-config.path
               station-sitelog-config.path station-metrics.timer)
# Enabled as well, but idle until [site] names a log server, or an account
# uses TLS.
SITE_UNITS=(station-sitelog.service station-tls.service)
STATION_UNITS=(redis-server@station.service outputd.service orvanel.service station-baresip.service
               sipbridge.service)

# Runs a command as the station's user, as its services run.
as_station() { setpriv --reuid=station --regid=station --init-groups -- "$@"; }

# The operation log's writer takes five entries a second: waits until the
# file holds the entry.
wait_entry() { wait_for "${4:-15}" has_entry "$1" "$2" "$3"; }

# ---------------------------------------------------------------- install

# First boot: the package and the settings, as docs/installing.md tells an
# installer.
install_package() {
    local deb log=$SHARE/install.log
    deb=$(ls "$SHARE"/package/*.deb | head -n 1)
    cp "$deb" /tmp/
    if apt-get install -y "/tmp/$(basename "$deb")" >"$log" 2>&1 &&
        dpkg-query -W -f '${Status}' orvanel-station | grep -q 'install ok installed'; then
        pass "install.package" "apt-get install ./$(basename "$deb") in the guest, offline: its dependencies were in the image; users $(id -nu station 2>/dev/null) and $(id -nu station-sip 2>/dev/null) made"
    else
        fail "install.package" "apt-get install ./$(basename "$deb") failed: $(tail -n 3 "$log" | tr '\n' ' ')"
        return
    fi

    # The settings: the example with the site's account, numbers and code.
    local conf=/etc/speaker.conf examples=/usr/share/doc/orvanel-station/examples
    install -m 0640 -g station "$examples/speaker.conf" "$conf"
    mkdir -p /oem/etc
    install -m 0644 "$examples/volctrl.conf" /oem/etc/volctrl.conf
    set_setting "$conf" account_info_1 username "$STATION_NUMBER"
    set_setting "$conf" account_info_1 domain "$PBX_V4"
    set_setting "$conf" account_info_1 server ""
    set_setting "$conf" account_info_1 password "'$STATION_PASSWORD'"
    # The station offers TLS to callers too (baresip listens on 5061 with
    # a certificate of its own).
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 30 \
        -subj "/CN=$STATION_V4" -keyout /etc/station/sip-key.pem -out /etc/station/sip-cert.pem 2>/dev/null
    (umask 077 && cat /etc/station/sip-cert.pem /etc/station/sip-key.pem >/etc/station/sip.pem)
    rm -f /etc/station/sip-key.pem /etc/station/sip-cert.pem
    set_setting "$conf" sip certificate /etc/station/sip.pem
    set_setting "$conf" button-gpio140 next_number_1 "$FAR_NUMBER"
    set_setting "$conf" button-gpio140 next_number_2 ""
    set_setting "$conf" button-gpio140 next_number_3 ""
    set_setting "$conf" button-gpio140 no_reply no
    set_setting "$conf" button-gpio140 busy_or_unuse no
    set_setting "$conf" button-gpio67 next_number_1 "$FAR_NUMBER"
    set_setting "$conf" relay_ctrl dtmf_code "$DOOR_CODE"
    # No web server on this site; the tamper switch's own sound.
    local url
    for url in on off; do
        set_setting "$conf" relay_action_url "${url}_enable" no
        set_setting "$conf" relay_action_url "${url}_url" ""
    done
    install -m 0644 /home/kovrin/target/share/sounds/beep.mp3 /userdata/alarm.mp3
    pass "install.settings" "/etc/speaker.conf from the example ($(stat -c '%a %U:%G' "$conf")): account $STATION_NUMBER at $PBX_V4 with a password of ';', blanks and quotes, key 1 calls $FAR_NUMBER, door code $DOOR_CODE, a TLS certificate"

    # The enabling steps of docs/installing.md.
    local out
    if out=$(systemctl disable --now redis-server 2>&1 && systemctl enable --now "${ENABLED_UNITS[@]}" "${SITE_UNITS[@]}" 2>&1); then
        pass "install.enable" "systemctl disable --now redis-server; systemctl enable --now ${ENABLED_UNITS[*]} ${SITE_UNITS[*]}: exit 0"
    else
        fail "install.enable" "$(echo "$out" | grep -v '^Created symlink' | tail -n 3 | tr '\n' ' ')"
    fi
    # The user agent must never listen before the filter guards its ports,
    # not even at its very first start.
    local loaded started
    loaded=$(unit_property station-filter.service ExecMainExitTimestampMonotonic)
    started=$(unit_property station-baresip.service ExecMainStartTimestampMonotonic)
    if [ "$(unit_property station-filter.service Result)" = success ] && [ "${loaded:-0}" -gt 0 ] &&
        [ "$loaded" -le "${started:-0}" ] && nft list table inet orvanel_station >/dev/null 2>&1; then
        pass "install.filter-first" "the packet filter was loaded at $(seconds_of "$loaded") s, before baresip started at $(seconds_of "$started") s"
    else
        fail "install.filter-first" "filter: result $(unit_property station-filter.service Result), loaded at $(seconds_of "${loaded:-0}") s; baresip started at $(seconds_of "${started:-0}") s; table: $(nft list tables 2>&1 | tr '\n' ' ')"
    fi
}

# Microseconds of the monotonic clock as seconds.
seconds_of() { printf '%d.%03d' $(($1 / 1000000)) $(($1 % 1000000 / 1000)); }

# ---------------------------------------------------------------- a. boot

scenario_boot() {
    local state
    state=$(timeout 240 systemctl is-system-running --wait 2>&1)
    if [ "$state" = running ]; then
        pass "a.running" "systemctl is-system-running: running"
    else
        fail "a.running" "systemctl is-system-running: $state; failed: $(systemctl --failed --plain --no-legend | awk '{print $1}' | tr '\n' ' ')"
    fi

    # Every unit of the package: those docs/installing.md enables active (a
    # one-shot succeeded), none failed; the Redis instance they need.
    local unit good=() bad=()
    for unit in $(package_units) redis-server@station.service; do
        local active result type
        active=$(unit_property "$unit" ActiveState)
        result=$(unit_property "$unit" Result)
        type=$(unit_property "$unit" Type)
        if [ "$active" = failed ] || { [ -n "$result" ] && [ "$result" != success ]; }; then
            bad+=("$unit $active ($result)")
        elif [[ " ${ENABLED_UNITS[*]} ${STATION_UNITS[*]} " == *" $unit "* ]]; then
            if [ "$type" = oneshot ]; then
                [ "$(unit_property "$unit" ExecMainExitTimestampMonotonic)" != 0 ] &&
                    good+=("$unit succeeded") || bad+=("$unit never ran")
            elif [ "$active" = active ]; then
                good+=("$unit active")
            else
                bad+=("$unit $active")
            fi
        else
            good+=("$unit $active")
        fi
    done
    if [ ${#bad[@]} -eq 0 ]; then
        pass "a.units" "$(IFS=,; echo "${good[*]}" | sed 's/,/, /g')"
    else
        fail "a.units" "$(IFS=,; echo "${bad[*]}" | sed 's/,/, /g')"
    fi

    # Ready once registered: then the installer's check.
    wait_for 60 status_is idle
    station_ready "a.station-check" "after the boot"
}

# station_ready NAME WHEN: the installer's check, as the user station,
# exits 0.
station_ready() {
    local report status
    report=$(as_station station-check --problems 2>&1)
    status=$?
    if [ $status -eq 0 ]; then
        pass "$1" "$2: station-check as the user station exits 0, \"$(echo "$report" | tail -n 1)\""
    else
        fail "$1" "$2: station-check as the user station exits $status: $(echo "$report" | grep -E 'WARNING|ERROR|ok,' | tr '\n' ' ')"
    fi
}

# Lines that the platform exports (again) while the station runs: the
# services' sandboxes fixed their writable paths when they started, so the
# new value files must still reach them. The platform unexports and exports
# the LED lines and the relay line as it did at boot.
reexport() {
    echo "$1" >/sys/class/gpio/unexport
    echo "$1" >/sys/class/gpio/export
    echo low >"/sys/class/gpio/gpio$1/direction"
}
scenario_lines() {
    local orvanel outputd
    orvanel=$(unit_property orvanel.service MainPID)
    outputd=$(unit_property outputd.service MainPID)
    wait_for 5 eval '[ "$(gpio 131)" = 1 ]'
    local line
    for line in 131 130 65 64 66; do reexport "$line"; done
    if wait_for 15 eval '[ "$(gpio 131)$(gpio 65)" = 11 ]' && wait_for 5 eval '[ "$(gpio 130)$(gpio 64)" = 00 ]'; then
        pass "a.late-line-led" "the LED lines exported anew (low) while orvanel ran (pid $orvanel): orvanel lights both keys' blue LEDs again (pid now $(unit_property orvanel.service MainPID), $(unit_property orvanel.service ActiveState)); value file $(stat -L -c '%a %U:%G' /sys/class/gpio/gpio131/value)"
    else
        fail "a.late-line-led" "the LED lines exported anew while orvanel ran: 131 130 65 64 read $(gpio 131) $(gpio 130) $(gpio 65) $(gpio 64) after 15 s; value file $(stat -L -c '%a %U:%G' /sys/class/gpio/gpio131/value); orvanel pid $orvanel, now $(unit_property orvanel.service MainPID) ($(unit_property orvanel.service ActiveState)); journal: $(journalctl -b -u orvanel.service -n 2 --no-pager -o cat | tr '\n' ' ')"
    fi
    # outputd must be able to drive the relay line it got anew.
    wait_for 10 eval '[ "$(unit_property outputd.service ActiveState)" = active ]'
    redis LPUSH output-channel '{"id":"gpio135","type":"On"}' >/dev/null
    if wait_for 5 eval '[ "$(gpio 66)" = 1 ]'; then
        redis LPUSH output-channel '{"id":"gpio135","type":"Off"}' >/dev/null
        wait_for 5 eval '[ "$(gpio 66)" = 0 ]'
        pass "a.late-line-relay" "gpio66 exported anew while outputd ran (pid $outputd): a relay request switched it on and off (pid now $(unit_property outputd.service MainPID))"
    else
        redis LPUSH output-channel '{"id":"gpio135","type":"Off"}' >/dev/null
        fail "a.late-line-relay" "gpio66 exported anew while outputd ran: a relay request left it low; outputd pid $outputd, now $(unit_property outputd.service MainPID); journal: $(journalctl -b -u outputd.service -n 3 --no-pager -o cat | tr '\n' ' ')"
    fi
}

# ---------------------------------------------------------------- b. visitor

# The far phone's incoming call on ACCOUNT is answered; true when accepted.
far_answers() { far uafind "sip:$1@$PBX_V4:$PBX_PORT" >/dev/null && far_ok accept; }

# door_opens NAME: the far phone sends the door code as RFC 2833 events,
# one digit at a time; the relay line gpio66 must switch and fall back as
# set (relay_ctrl:dtmf_reset_duration). Says how long the last digit took
# to reach the line: from the far phone's command, and from its reply (the
# digit's first packet leaves within a packet time of the reply).
door_opens() {
    local name=$1 digits=${DOOR_CODE%?} last=${DOOR_CODE: -1} i told sent on off watcher
    if [ "$(gpio 66)" != 0 ]; then
        fail "$name" "the relay line gpio66 was already high before the code"
        return
    fi
    for ((i = 0; i < ${#digits}; i++)); do
        far sndcode "${digits:i:1}" >/dev/null
        sleep 0.25
    done
    rm -f "$PEERS/relay-on"
    wait_high 66 10 "$PEERS/relay-on" &
    watcher=$!
    told=$EPOCHREALTIME
    far sndcode "$last" >/dev/null
    sent=$EPOCHREALTIME
    wait "$watcher"
    if [ ! -s "$PEERS/relay-on" ]; then
        fail "$name" "the far phone sent $DOOR_CODE as RFC 2833; gpio66 stayed low for 10 s"
        return
    fi
    on=$(cat "$PEERS/relay-on")
    local after_reply="$(elapsed "$sent" "$on") s after its reply"
    [ "${on/./}" -lt "${sent/./}" ] && after_reply="before its reply came back"
    if wait_for 10 eval '[ "$(gpio 66)" = 0 ]'; then
        off=$EPOCHREALTIME
        pass "$name" "the far phone sent $DOOR_CODE as RFC 2833: gpio66 rose $(elapsed "$told" "$on") s after the far phone was told to send the last digit ($after_reply) and fell back after $(elapsed "$on" "$off") s (relay_ctrl:dtmf_reset_duration = $(dtmf_reset_duration))"
        figure "last DTMF digit to gpio66 high ($name)" "$(elapsed "$told" "$on") s from the far phone's command, $after_reply"
    else
        fail "$name" "gpio66 rose $(elapsed "$told" "$on") s after the last digit but did not fall back within 10 s"
    fi
}
dtmf_reset_duration() { sed -n 's/^dtmf_reset_duration *= *//p' /etc/speaker.conf; }

# leds_are NAME SAMPLE WANT: the sampled levels of the LED lines (see
# sample_leds) against what the station must show.
leds_are() {
    if [ "$2" = "$3" ]; then pass "$1" "levels seen from the kernel's lines: $2"; else fail "$1" "levels seen: $2, wanted: $3"; fi
}

scenario_visitor() {
    local system cdr pbx far_log invite_at
    system=$(lines_of "$SYSTEM_CSV")
    cdr=$(lines_of "$CDR_CSV")
    pbx=$(pbx_lines)
    far_log=$(far_log_lines)
    leds_are "b.leds-ready" "$(sample_leds 1000 131 130 65 64)" "131:1 130:0 65:1 64:0"

    # Held past the key beep (half a second and its sound), so that the
    # release is taken at once and its way to the INVITE is measured.
    press 140 1.5
    if wait_for 10 eval 'pbx_after $pbx | grep -q "PBX INVITE .*sip:$FAR_NUMBER@"' &&
        wait_for 10 eval 'far_after $far_log | grep -qi "incoming call"'; then
        invite_at=$(pbx_time "$pbx" "PBX INVITE")
        pass "b.key-rings-far-phone" "key 1 held for 1.5 s through the kernel's line: INVITE at Kamailio $(elapsed "$RELEASED" "$invite_at") s after the release, the far phone $FAR_NUMBER rings: \"$(far_after "$far_log" | grep -i 'incoming call' | head -n 1 | cut -c1-100)\""
        figure "key release in the kernel to INVITE at Kamailio" "$(elapsed "$RELEASED" "$invite_at") s"
    else
        fail "b.key-rings-far-phone" "no INVITE for $FAR_NUMBER reached the far phone within 10 s of the press; Kamailio: $(pbx_after "$pbx" | tail -n 3 | tr '\n' ' ')"
        return
    fi
    # Ringing: key 1's blue LED blinks slowly, its other LED stays off.
    leds_are "b.leds-ringing" "$(sample_leds 2500 131 130)" "131:01 130:0"

    if far_answers "$FAR_NUMBER" && wait_for 10 status_is answer; then
        pass "b.far-phone-answers" "the far phone accepted; the station's call status: $(call_status)"
    else
        fail "b.far-phone-answers" "the call was not established: call status $(call_status)"
        far hangup >/dev/null
        return
    fi
    # The ringing pattern ends its 2-second blink before it looks again.
    sleep 2.2
    leds_are "b.leds-in-call" "$(sample_leds 1500 131 130)" "131:1 130:0"
    door_opens "b.door-code"

    far hangup >/dev/null
    if wait_for 10 status_is idle && wait_entry "$SYSTEM_CSV" "$system" "CALL CLOSED" &&
        wait_for 15 eval '[ "$(lines_of "$CDR_CSV")" -gt "$cdr" ]'; then
        local entries
        entries=$(lines_after "$SYSTEM_CSV" "$system" | cut -d, -f2- | tr '\n' '|')
        local missing=""
        for want in "BUTTON,KEY_GPIO140 Press" "BUTTON,KEY_GPIO140 Release" "FUNCTION,KEY1 Call,key_gpio140 $FAR_NUMBER" \
            "SIP STATE,CALL ESTABLISHED,outgoing" "FUNCTION,RECEIVE DTMF" "FUNCTION,RELAY Control" "SIP STATE,CALL CLOSED"; do
            [[ "$entries" == *"$want"* ]] || missing+=" \"$want\""
        done
        if [ -z "$missing" ] && lines_after "$CDR_CSV" "$cdr" | grep -q "$FAR_NUMBER"; then
            pass "b.records" "system.csv: ${entries%|}; cdr.csv: $(lines_after "$CDR_CSV" "$cdr" | tail -n 1)"
        else
            fail "b.records" "missing in system.csv:$missing; system.csv: ${entries%|}; cdr.csv: $(lines_after "$CDR_CSV" "$cdr" | tr '\n' '|')"
        fi
    else
        fail "b.records" "after the far phone hung up: call status $(call_status), system.csv: $(lines_after "$SYSTEM_CSV" "$system" | tail -n 3 | tr '\n' '|'), cdr.csv lines $(lines_of "$CDR_CSV") (were $cdr)"
    fi
    leds_are "b.leds-after" "$(sample_leds 1000 131 130)" "131:1 130:0"
}

# ---------------------------------------------------------------- c. incoming

# The far phone calls the station; true once the station rings.
far_calls_station() {
    far uafind "sip:$FAR_NUMBER@$PBX_V4:$PBX_PORT" >/dev/null &&
        far_ok dial "$STATION_NUMBER" && wait_for 10 status_is ring
}

scenario_incoming() {
    local system cdr
    system=$(lines_of "$SYSTEM_CSV")
    cdr=$(lines_of "$CDR_CSV")
    if far_calls_station; then
        pass "c.station-rings" "the far phone dialled $STATION_NUMBER through Kamailio: call status $(call_status)"
    else
        fail "c.station-rings" "the station did not ring within 10 s: call status $(call_status)"
        far hangup >/dev/null
        return
    fi
    # Both keys' blue LEDs blink slowly while the station rings.
    leds_are "c.leds-ringing" "$(sample_leds 2500 131 130 65 64)" "131:01 130:0 65:01 64:0"
    press 67
    if wait_for 10 status_is answer && wait_entry "$SYSTEM_CSV" "$system" "CALL ESTABLISHED,incoming"; then
        pass "c.key-2-answers" "key 2 pressed through the kernel's line: call status $(call_status), \"CALL ESTABLISHED,incoming\" in system.csv"
    else
        fail "c.key-2-answers" "key 2 did not answer: call status $(call_status); system.csv: $(lines_after "$SYSTEM_CSV" "$system" | tr '\n' '|')"
        far hangup >/dev/null
        return
    fi
    door_opens "c.door-code"
    far hangup >/dev/null
    if wait_for 10 status_is idle && wait_for 15 eval '[ "$(lines_of "$CDR_CSV")" -gt "$cdr" ]' &&
        wait_entry "$SYSTEM_CSV" "$system" "CALL CLOSED"; then
        pass "c.records" "system.csv: $(lines_after "$SYSTEM_CSV" "$system" | cut -d, -f2- | tr '\n' '|'); cdr.csv: $(lines_after "$CDR_CSV" "$cdr" | tail -n 1)"
    else
        fail "c.records" "call status $(call_status); cdr.csv lines $(lines_of "$CDR_CSV") (were $cdr)"
    fi
}

# Someone opens the station: the tamper switch through the kernel's line,
# with the example's action (active = 3: the tamper sound, played by the
# bridge's local player).
scenario_tamper() {
    local system since
    system=$(lines_of "$SYSTEM_CSV")
    since=$(date '+%Y-%m-%d %H:%M:%S')
    pull 3 1
    if wait_entry "$SYSTEM_CSV" "$system" "BUTTON,KEY_GPIO3 trigger" &&
        wait_entry "$SYSTEM_CSV" "$system" "FUNCTION,KEY1 Play Auido,File: /userdata/alarm.mp3"; then
        local refused
        refused=$(journalctl -u sipbridge.service --since "$since" --no-pager -o cat | grep -E 'play refused|not played')
        if [ -z "$refused" ]; then
            pass "d.tamper" "the tamper switch opened through the kernel's line gpio3: $(lines_after "$SYSTEM_CSV" "$system" | cut -d, -f2- | tr '\n' '|')"
        else
            fail "d.tamper" "the tamper sound was not played: $refused"
        fi
    else
        fail "d.tamper" "opening the tamper switch left no entry: $(lines_after "$SYSTEM_CSV" "$system" | tr '\n' '|')"
    fi
    pull 3 0
}

# ---------------------------------------------------------------- d. protection

# The drop counters of the filter's sip chain, IPv4 and IPv6 together.
sip_drops() {
    nft list chain inet orvanel_station sip | awk '/counter packets .* drop/ { for (i = 1; i < NF; i++) if ($i == "packets") n += $(i + 1) } END { print n + 0 }'
}

# invite_over HOW FROM: an INVITE to the station as a stranger would send
# it (From and Contact forged as the registrar's), from the namespace FROM
# (stranger or pbx) over udp, tcp or tls, IPv4 or IPv6. True when the
# station answered with 180 Ringing; a call that rang is cancelled.
invite_over() {
    local how=$1 from=$2 station source port=5060 transport
    case "$how" in *6) station=$STATION_V6 ;; *) station=$STATION_V4 ;; esac
    if [ "$from" = pbx ]; then source=$PBX_V4; else source=$STRANGER_V4; fi
    [[ "$how" == *6 ]] && { [ "$from" = pbx ] && source=$PBX_V6 || source=$STRANGER_V6; }
    local log=$PEERS/invite-$how-$from.log
    case "$how" in
        udp*|tcp*)
            transport=u1
            [[ "$how" == tcp* ]] && transport=t1
            local target=$station
            [[ "$how" == *6 ]] && target="[$station]"
            # The stranger waits 3 s for the ringing, then gives up.
            timeout 20 ip netns exec "$from" sipp "$target:$port" -sf "$SHARE/peers/stranger.xml" -t "$transport" \
                -i "$source" -p 5099 -m 1 -s "$STATION_NUMBER" -key registrar "$PBX_V4:$PBX_PORT" \
                -key via "$source:5099" -recv_timeout 3000 -timeout 10 -nostdin -trace_err \
                -error_file "$log.err" >"$log" 2>&1
            ;;
        tls*)
            tls_invite "$station" "$source" "$from" >"$log" 2>&1
            grep -q '^SIP/2.0 180' "$log"
            ;;
    esac
}

# An INVITE over TLS to the station's port 5061 with openssl s_client (SIPp
# in Debian 12 has no TLS), and its CANCEL a second later.
tls_invite() {
    local station=$1 source=$2 from=$3 call=vmtest-$RANDOM branch=z9hG4bK$RANDOM$RANDOM
    local target=$station
    [[ "$station" == *:* ]] && target="[$station]"
    local head="sip:$STATION_NUMBER@$target:5061;transport=tls SIP/2.0
Via: SIP/2.0/TLS $source:5099;branch=$branch
From: <sip:4000@$PBX_V4:$PBX_PORT>;tag=stranger
To: <sip:$STATION_NUMBER@$target:5061>
Call-ID: $call
Max-Forwards: 70"
    local sdp="v=0
o=stranger 1 1 IN IP4 $STRANGER_V4
s=-
c=IN IP4 $STRANGER_V4
t=0 0
m=audio 40000 RTP/AVP 0
a=rtpmap:0 PCMU/8000
"
    {
        printf 'INVITE %s\r\nCSeq: 1 INVITE\r\nContact: <sip:4000@%s:%s>\r\nContent-Type: application/sdp\r\nContent-Length: %d\r\n\r\n%s' \
            "${head//$'\n'/$'\r\n'}" "$PBX_V4" "$PBX_PORT" "${#sdp}" "$sdp"
        sleep 2
        printf 'CANCEL %s\r\nCSeq: 1 CANCEL\r\nContent-Length: 0\r\n\r\n' "${head//$'\n'/$'\r\n'}"
        sleep 1
    } | timeout 8 ip netns exec "$from" openssl s_client -quiet -connect "$target:5061" 2>&1
}

scenario_protection() {
    # A stranger's INVITE never rings, over each transport and IP version;
    # the same INVITE from the trusted registrar's address does (IPv4: the
    # station listens on eth0's IPv4 address).
    local how rang=() held=() before after
    for how in udp tcp tls; do
        if invite_over "$how" pbx; then rang+=("$how"); fi
        wait_for 10 status_is idle
    done
    if [ ${#rang[@]} -eq 3 ]; then
        pass "d.trusted-rings" "the same INVITE from the registrar's address $PBX_V4 rang the station over ${rang[*]} (so the probes below can ring)"
    else
        fail "d.trusted-rings" "from the registrar's address only ${rang[*]:-nothing} rang, of udp tcp tls: the probes prove nothing"
    fi
    before=$(sip_drops)
    for how in udp tcp tls udp6 tcp6 tls6; do
        if invite_over "$how" stranger; then
            rang+=("stranger:$how")
        else
            held+=("$how")
        fi
    done
    after=$(sip_drops)
    if [ ${#held[@]} -eq 6 ] && [ "$after" -gt "$before" ] && status_is idle; then
        pass "d.stranger-never-rings" "INVITEs from $STRANGER_V4 and $STRANGER_V6 over ${held[*]}: none rang; the filter's sip chain dropped $((after - before)) packets"
    else
        fail "d.stranger-never-rings" "a stranger's INVITE rang over: ${rang[*]}; drops $before -> $after"
    fi

    # A local user with no business here: nobody.
    local reached=()
    setpriv --reuid=nobody --regid=nogroup --clear-groups -- redis-cli -s /tmp/redis.sock PING >/dev/null 2>&1 &&
        reached+=("Redis")
    setpriv --reuid=nobody --regid=nogroup --clear-groups -- bash -c 'exec 3<>/dev/tcp/127.0.0.1/4444' 2>/dev/null &&
        reached+=("the user agent's control port")
    setpriv --reuid=nobody --regid=nogroup --clear-groups -- cat /var/lib/station-sip/accounts >/dev/null 2>&1 &&
        reached+=("the accounts file")
    setpriv --reuid=nobody --regid=nogroup --clear-groups -- cat /etc/speaker.conf >/dev/null 2>&1 &&
        reached+=("speaker.conf")
    if [ ${#reached[@]} -eq 0 ]; then
        pass "d.nobody" "a nobody shell reaches neither Redis (/tmp/redis.sock), nor 127.0.0.1:4444, nor /var/lib/station-sip/accounts, nor /etc/speaker.conf"
    else
        fail "d.nobody" "a nobody shell reached: ${reached[*]}"
    fi

    if nft list ruleset | grep -q '^table inet orvanel_station'; then
        pass "d.ruleset" "nft list ruleset shows table inet orvanel_station: $(nft list chain inet orvanel_station sip | grep -c accept) accept and $(nft list chain inet orvanel_station sip | grep -c drop) drop rules in its sip chain"
    else
        fail "d.ruleset" "no table inet orvanel_station: $(nft list tables | tr '\n' ' ')"
    fi

    local unit scores=() bad=() score
    for unit in $(package_units | grep '\.service$') redis-server@station.service; do
        score=$(systemd-analyze security --no-pager "$unit" 2>/dev/null | sed -n 's/.*Overall exposure level for .*: \([0-9.]*\) .*/\1/p')
        scores+=("$unit $score")
        if [ -z "$score" ] || ! awk -v s="$score" 'BEGIN { exit !(s < 4.0) }'; then bad+=("$unit ${score:-none}"); fi
    done
    if [ ${#bad[@]} -eq 0 ]; then
        pass "d.security" "systemd-analyze security in the guest: $(IFS=,; echo "${scores[*]}" | sed 's/,/, /g')"
    else
        fail "d.security" "at 4.0 or above: ${bad[*]}; all: ${scores[*]}"
    fi
}

# ---------------------------------------------------------------- g. site

# The site's log server in the pbx namespace: rsyslogd with TLS on
# PBX_V4:6514 under a certificate of the site's CA, writing each message as
# it arrives.
SITE_DIR=$PEERS/site
SITE_LOG_NAME=logs.site.test
site_server_listens() { ip netns exec pbx ss -Hltn "sport = :6514" | grep -q .; }
site_received() { grep -cF -- "$1" "$SITE_DIR/received.log" 2>/dev/null || echo 0; }
site_arrived() { [ "$(site_received "$1")" -ge 1 ]; }

start_site_server() {
    mkdir -p "$SITE_DIR/work"
    local ec=(-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes)
    openssl req -x509 "${ec[@]}" -days 30 -subj "/CN=Site CA" -keyout "$SITE_DIR/ca.key" \
        -out "$SITE_DIR/ca.pem" 2>/dev/null &&
        openssl req "${ec[@]}" -subj "/CN=$SITE_LOG_NAME" -keyout "$SITE_DIR/server.key" \
            -out "$SITE_DIR/server.csr" 2>/dev/null &&
        printf 'subjectAltName=DNS:%s\n' "$SITE_LOG_NAME" >"$SITE_DIR/server.ext" &&
        openssl x509 -req -in "$SITE_DIR/server.csr" -CA "$SITE_DIR/ca.pem" -CAkey "$SITE_DIR/ca.key" \
            -CAcreateserial -days 30 -extfile "$SITE_DIR/server.ext" -out "$SITE_DIR/server.pem" 2>/dev/null ||
        return 1
    cat >"$SITE_DIR/server.conf" <<CONF
global(workDirectory="$SITE_DIR/work" maxMessageSize="64k"
       DefaultNetstreamDriverCAFile="$SITE_DIR/ca.pem"
       DefaultNetstreamDriverCertFile="$SITE_DIR/server.pem"
       DefaultNetstreamDriverKeyFile="$SITE_DIR/server.key")
module(load="imtcp" StreamDriver.Name="gtls" StreamDriver.Mode="1" StreamDriver.AuthMode="anon")
template(name="received_line" type="string" string="%rawmsg%\n")
input(type="imtcp" address="$PBX_V4" port="6514" ruleset="received")
ruleset(name="received") {
    action(type="omfile" file="$SITE_DIR/received.log" template="received_line")
}
CONF
    ip netns exec pbx rsyslogd -n -iNONE -f "$SITE_DIR/server.conf" >"$PEERS/site_server.log" 2>&1 </dev/null &
    echo $! >"$PEERS/site_server.pid"
    wait_for 20 site_server_listens
}

stop_site_server() {
    [ -s "$PEERS/site_server.pid" ] || return 0
    local pid
    pid=$(cat "$PEERS/site_server.pid")
    kill "$pid" 2>/dev/null
    wait_for 10 eval "! kill -0 $pid 2>/dev/null" || kill -9 "$pid" 2>/dev/null
    rm -f "$PEERS/site_server.pid"
}

# What the instance does with what it was sent, and whether its sandbox is
# the cause: the socket's queue, its threads and connections, then the
# same with parts of the sandbox lifted by a drop-in.
site_diagnose() {
    local pid
    pid=$(unit_property station-sitelog.service MainPID)
    say "site: socket $(ss -xa | grep station-sitelog | tr -s ' ' | tr '\n' '|')"
    say "site: threads $(cat /proc/"$pid"/task/*/comm 2>/dev/null | tr '\n' ' '); tcp $(ss -tnp | grep "pid=$pid," | tr -s ' ' | tr '\n' '|')"
    say "site: queue $(ls -la /userdata/sitelog 2>&1 | tr -s ' ' | tr '\n' '|')"
    say "site: journal $(journalctl -b -u station-sitelog.service --no-pager -o cat | tail -n 20 | tr '\n' '|')"
    local lift n=0
    # First a plain restart: an instance that forwards then was slow or
    # stuck, not held by its sandbox.
    for lift in "" "SystemCallFilter=\nSystemCallFilter=@system-service\nSystemCallFilter=~@privileged" "SystemCallFilter=\nSystemCallFilter=@system-service" "SystemCallFilter="; do
        n=$((n + 1))
        mkdir -p /run/systemd/system/station-sitelog.service.d
        printf '[Service]\n%b\n' "$lift" >/run/systemd/system/station-sitelog.service.d/lift.conf
        systemctl daemon-reload
        systemctl restart station-sitelog.service
        wait_for 20 test -S /run/station-sitelog/log.sock
        redis LPUSH writelog-channel "Other Event,site try $n," >/dev/null
        if wait_for 90 site_arrived "Other Event,site try $n,"; then
            if [ -z "$lift" ]; then
                say "site: arrives after a plain restart: the first instance was slow or stuck, not held by its sandbox"
            else
                say "site: arrives with $(echo -e "$lift" | tr '\n' ' ')"
                fail "g.sandbox" "the instance forwards only with $(echo -e "$lift" | tr '\n' ' ')"
            fi
            break
        fi
        say "site: still nothing with $(echo -e "$lift" | tr '\n' ' '): $(journalctl -b -u station-sitelog.service --no-pager -o cat | tail -n 5 | tr '\n' '|')"
    done
    rm -rf /run/systemd/system/station-sitelog.service.d
    systemctl daemon-reload
}

# The settings name the site's server as docs/records.md tells an installer:
# the station's instance starts, forwards over TLS, the metrics follow;
# unnamed again, the instance stops.
sitelog_user() { ps -o user= -p "$(unit_property station-sitelog.service MainPID)" 2>/dev/null | tr -d ' '; }
sitelog_runs_as_its_user() { [ "$(sitelog_user)" = station-log ]; }

scenario_site() {
    local conf=/etc/speaker.conf
    if ! start_site_server; then
        fail "g.server" "the site's log server did not listen on $PBX_V4:6514: $(tail -n 3 "$PEERS/site_server.log" | tr '\n' ' ')"
        return
    fi
    install -m 0644 "$SITE_DIR/ca.pem" /etc/station/site-ca.pem
    # The server last, so that no state between the writes is refused.
    grep -q '^\[site\]' "$conf" || printf '\n[site]\n' >>"$conf"
    set_setting "$conf" site name door-vm
    set_setting "$conf" site log_ca /etc/station/site-ca.pem
    set_setting "$conf" site log_name "$SITE_LOG_NAME"
    set_setting "$conf" site log_server "$PBX_V4"
    # Active comes as systemd forks the instance, a moment before the child
    # gives up root for its user: the user is looked at once it has.
    if wait_for 30 systemctl -q is-active station-sitelog.service && wait_for 10 sitelog_runs_as_its_user; then
        pass "g.instance" "[site] log_server = $PBX_V4: station-sitelog.service active as $(sitelog_user), $(stat -c '%a %U:%G' /run/station-sitelog) /run/station-sitelog, exposure $(systemd-analyze security station-sitelog.service 2>/dev/null | awk '/Overall exposure/ {print $(NF-2), $(NF-1)}')"
    else
        fail "g.instance" "station-sitelog.service $(unit_property station-sitelog.service ActiveState) as $(sitelog_user); config service: $(unit_property station-sitelog-config.service Result); $(journalctl -b -u station-sitelog-config.service -u station-sitelog.service --no-pager -n 5 | tr '\n' '|')"
        stop_site_server
        return
    fi

    # orvanel sends nothing while the socket is not there yet.
    wait_for 20 test -S /run/station-sitelog/log.sock
    # A tamper opening, as the site sees it.
    local system mac
    system=$(lines_of "$SYSTEM_CSV")
    mac=$(cat /sys/class/net/eth0/address)
    pull 3 1
    # The instance's first connection may come late under emulation (one
    # run's first start spent 25 s of processor time before it connected);
    # what it was sent waits in its queue meanwhile, and a failed attempt
    # is tried again within 60 s.
    local sent=$SECONDS
    if wait_entry "$SYSTEM_CSV" "$system" "BUTTON,KEY_GPIO3 trigger," && wait_for 90 site_arrived "BUTTON,KEY_GPIO3 trigger,"; then
        local message
        message=$(grep -F -- "BUTTON,KEY_GPIO3 trigger," "$SITE_DIR/received.log" | tail -n 1)
        if [[ "$message" == "<132>1 "*" door-vm orvanel "*" tamper [meta sequenceId=\""*"[station@32473 name=\"door-vm\" mac=\"$mac\"]"* ]]; then
            pass "g.forwarded" "a tamper opening at the site's server over TLS within $((SECONDS - sent)) s: $message"
        else
            fail "g.forwarded" "not the station's form: $message"
        fi
    else
        fail "g.forwarded" "the tamper opening did not reach the server: $(tail -n 2 "$SITE_DIR/received.log" 2>/dev/null | tr '\n' '|'); instance: $(journalctl -b -u station-sitelog.service --no-pager -n 5 | tr '\n' '|')"
        site_diagnose
    fi

    pull 3 0

    # The metrics, now that a server is named.
    # The timer's check must find what the check as the station's user
    # finds at the same moment (a lockout of the door code, say, makes both
    # not ready): it runs between two of those, which must agree.
    local prom=/run/station-metrics/orvanel-station.prom before after
    before=$(as_station station-check >/dev/null 2>&1 && echo 1 || echo 0)
    systemctl start station-metrics.service
    after=$(as_station station-check >/dev/null 2>&1 && echo 1 || echo 0)
    if grep -q '^orvanel_station_check_success 1' "$prom" 2>/dev/null && [ "$before" = "$after" ] &&
        ! grep -q "^orvanel_station_ready $after\$" "$prom"; then
        # What the check finds in the timer's sandbox that it does not
        # find outside it: the same run with its problems in the journal.
        mkdir -p /run/systemd/system/station-metrics.service.d
        printf '[Service]\nExecStart=\nExecStart=/usr/bin/station-check --problems --prometheus %s\nLogLevelMax=info\n' "$prom" \
            >/run/systemd/system/station-metrics.service.d/problems.conf
        systemctl daemon-reload
        systemctl start station-metrics.service
        say "site: metrics not ready: $(journalctl -b -u station-metrics.service --no-pager -o cat | tail -n 12 | tr '\n' '|')"
        fail "g.metrics-ready" "the timer's check says ready $(grep '^orvanel_station_ready ' "$prom" | cut -d' ' -f2) where the check as station says $after: $(journalctl -b -u station-metrics.service --no-pager -o cat | grep -E 'WARNING|ERROR' | tail -n 4 | tr '\n' '|')"
        rm -rf /run/systemd/system/station-metrics.service.d
        systemctl daemon-reload
    fi
    if grep -q '^orvanel_station_check_success 1' "$prom" 2>/dev/null; then
        pass "g.metrics" "station-metrics.service wrote $prom ($(stat -c '%a %U' "$prom")): $(grep -E '^orvanel_station_(ready|account_registered|tamper_open)' "$prom" | tr '\n' ' ')"
    else
        fail "g.metrics" "$prom: $(head -c 300 "$prom" 2>&1 | tr '\n' ' '); $(unit_property station-metrics.service Result)"
    fi
    local plugin status
    plugin=$(as_station station-check --plugin 2>&1)
    status=$?
    if [[ "$plugin" == "STATION "* ]] && [ "$status" -le 2 ]; then
        pass "g.plugin" "station-check --plugin as station: exit $status, \"$(head -n 1 <<<"$plugin")\""
    else
        fail "g.plugin" "exit $status: $(head -n 3 <<<"$plugin" | tr '\n' '|')"
    fi

    # No server named: the configuration goes and the instance stops.
    set_setting "$conf" site log_server ""
    if wait_for 30 eval "! systemctl -q is-active station-sitelog.service" && [ ! -e /var/lib/station-sitelog/rsyslog.conf ]; then
        pass "g.unset" "log_server emptied: configuration removed, station-sitelog.service $(unit_property station-sitelog.service ActiveState)"
    else
        fail "g.unset" "station-sitelog.service $(unit_property station-sitelog.service ActiveState); config $(ls /var/lib/station-sitelog 2>&1 | tr '\n' ' ')"
    fi
    stop_site_server
}

# ---------------------------------------------------------------- e. change

scenario_change() {
    local boot_id baresip_before filter_before pbx system
    boot_id=$(cat /proc/sys/kernel/random/boot_id)
    baresip_before=$(unit_property station-baresip.service ExecMainStartTimestampMonotonic)
    filter_before=$(unit_property station-filter.service ExecMainExitTimestampMonotonic)
    pbx=$(pbx_lines)
    system=$(lines_of "$SYSTEM_CSV")

    # The installer edits the settings: key 1 calls another number, and the
    # account registers over TCP.
    set_setting /etc/speaker.conf button-gpio140 next_number_1 "$FAR_OTHER_NUMBER"
    set_setting /etc/speaker.conf account_info_1 transport tcp
    if wait_for 60 eval 'pbx_after $pbx | grep -q "PBX REGISTERED tcp sip:$STATION_NUMBER@"' &&
        wait_for 30 eval '[ "$(unit_property station-baresip.service ExecMainStartTimestampMonotonic)" -gt "$baresip_before" ]'; then
        pass "e.registers-again" "speaker.conf edited (key 1 calls $FAR_OTHER_NUMBER, transport tcp): station-sip-config restarted baresip, which registered again over TCP: \"$(pbx_after "$pbx" | grep -m 1 "PBX REGISTERED tcp" | sed 's/.*PBX /PBX /')\""
    else
        fail "e.registers-again" "no TCP registration within 60 s of the edit; station-sip-config: $(unit_property station-sip-config.service Result); Kamailio: $(pbx_after "$pbx" | tail -n 2 | tr '\n' ' ')"
    fi
    if wait_for 30 eval '[ "$(unit_property station-filter.service ExecMainExitTimestampMonotonic)" -gt "$filter_before" ]' &&
        [ "$(unit_property station-filter.service Result)" = success ]; then
        pass "e.filter-renewed" "station-filter.path renewed the filter after the edit: station-filter.service last ended at $(seconds_of "$(unit_property station-filter.service ExecMainExitTimestampMonotonic)") s, result success"
    else
        fail "e.filter-renewed" "the filter was not renewed: last run at $(seconds_of "$(unit_property station-filter.service ExecMainExitTimestampMonotonic)") s (before: $(seconds_of "$filter_before") s), result $(unit_property station-filter.service Result)"
    fi

    wait_for 30 status_is idle
    pbx=$(pbx_lines)
    local far_log
    far_log=$(far_log_lines)
    press 140
    if wait_for 10 eval 'pbx_after $pbx | grep -q "PBX INVITE tcp .*sip:$FAR_OTHER_NUMBER@"'; then
        if wait_for 10 eval 'far_after $far_log | grep -qi "incoming call"' && far_answers "$FAR_OTHER_NUMBER" &&
            wait_for 10 status_is answer; then
            pass "e.new-number" "key 1 now calls $FAR_OTHER_NUMBER over TCP, and the far phone answered: \"$(pbx_after "$pbx" | grep -m 1 "PBX INVITE tcp" | sed 's/.*PBX /PBX /')\""
        else
            fail "e.new-number" "key 1 called $FAR_OTHER_NUMBER over TCP, but the call was not established: call status $(call_status)"
        fi
        far hangup >/dev/null
        wait_for 10 status_is idle
    else
        fail "e.new-number" "no INVITE for $FAR_OTHER_NUMBER over TCP within 10 s: $(pbx_after "$pbx" | grep INVITE | head -n 2 | tr '\n' ' ')"
        far hangup >/dev/null
    fi
    if [ "$(cat /proc/sys/kernel/random/boot_id)" = "$boot_id" ]; then
        pass "e.no-reboot" "the same boot throughout ($(cut -d' ' -f1 /proc/uptime) s since the kernel started)"
    else
        fail "e.no-reboot" "the guest rebooted"
    fi
}

# ---------------------------------------------------------------- h. PBX over TLS

tls_relay_user() { ps -o user= -p "$(unit_property station-tls.service MainPID)" 2>/dev/null | tr -d ' '; }
tls_relay_runs_as_its_user() {
    systemctl -q is-active station-tls.service && [ "$(tls_relay_user)" = station-tls ]
}
tls_verdict() { cat /run/station-tls/verdict-pbx1 2>/dev/null; }
# The relay's memory: the unit's, and each process's resident and
# proportional share (libraries shared with others counted in part).
tls_relay_memory() {
    local out pid
    out="MemoryCurrent $(($(unit_property station-tls.service MemoryCurrent) / 1024)) kB"
    for pid in $(unit_property station-tls.service MainPID) $(pgrep -P "$(unit_property station-tls.service MainPID)"); do
        out+=", $(cat /proc/"$pid"/comm) resident $(awk '/^Rss:/ {print $2}' /proc/"$pid"/smaps_rollup) kB, proportional $(awk '/^Pss:/ {print $2}' /proc/"$pid"/smaps_rollup) kB"
    done
    echo "$out"
}
tls_verdict_is() { tls_verdict | grep -q "^$1 "; }

# The account moves to the PBX's TLS port as docs/pbx.md tells an installer:
# the authority that signed the PBX's certificate in [sip] cafile, the name
# in tls_name (the server is an address). The relay verifies the PBX, the
# registration and a call go through it, the relay's ports are closed to
# other users; then a CA that did not sign the certificate: no registration,
# and the failed entry says why. The account goes back as it was.
scenario_pbxtls() {
    local conf=/etc/speaker.conf pbx system transport server
    transport=$(sed -n '/^\[account_info_1\]/,/^\[/s/^transport *= *//p' "$conf" | head -n 1)
    server=$(sed -n '/^\[account_info_1\]/,/^\[/s/^server *= *//p' "$conf" | head -n 1)
    install -m 0644 "$PEERS/tls/pbx-ca.pem" /etc/station/pbx-ca.pem
    pbx=$(pbx_lines)
    # The transport last, so that no state between the writes is refused.
    set_setting "$conf" sip cafile /etc/station/pbx-ca.pem
    set_setting "$conf" account_info_1 tls_name "$PBX_TLS_NAME"
    set_setting "$conf" account_info_1 server "$PBX_V4:$PBX_TLS_PORT"
    set_setting "$conf" account_info_1 transport tls
    if wait_for 60 eval 'pbx_after $pbx | grep -q "PBX REGISTERED tls sip:$STATION_NUMBER@"'; then
        pass "h.registers" "[sip] cafile, tls_name = $PBX_TLS_NAME, server = $PBX_V4:$PBX_TLS_PORT, transport = tls: \"$(pbx_after "$pbx" | grep -m 1 "PBX REGISTERED tls" | sed 's/.*PBX /PBX /')\"; relay's verdict: $(tls_verdict)"
    else
        fail "h.registers" "no TLS registration within 60 s; verdict: $(tls_verdict); baresip: $(unit_property station-baresip.service ActiveState); relay: $(journalctl -b -u station-tls.service --no-pager -o cat | tail -n 6 | tr '\n' '|'); sipbridge: $(journalctl -b -u station-baresip.service --no-pager -o cat | grep sipbridge | tail -n 3 | tr '\n' '|')"
    fi
    if wait_for 10 tls_relay_runs_as_its_user; then
        pass "h.relay" "station-tls.service active as $(tls_relay_user) ($(ps -o comm= --ppid "$(unit_property station-tls.service MainPID)" | tr '\n' ' ')), exposure $(systemd-analyze security station-tls.service 2>/dev/null | awk '/Overall exposure/ {print $(NF-2), $(NF-1)}'), $(stat -c '%a %U:%G' /var/lib/station-tls) /var/lib/station-tls"
    else
        fail "h.relay" "station-tls.service $(unit_property station-tls.service ActiveState) as $(tls_relay_user)"
    fi
    local check
    check=$(as_station station-check 2>&1)
    if echo "$check" | grep -q "tls $PBX_V4:$PBX_TLS_PORT: .*verified against \[sip\] cafile"; then
        pass "h.check" "station-check as station: $(echo "$check" | grep -m 1 "tls $PBX_V4" | sed 's/^ *//')"
    else
        fail "h.check" "station-check as station says: $(echo "$check" | grep -i "tls" | tr '\n' '|')"
    fi
    # No other user reaches the PBX through the relay in the station's name.
    local nobody
    if nobody=$(setpriv --reuid=nobody --regid=nogroup --clear-groups -- bash -c 'exec 3<>/dev/tcp/127.0.0.1/15061' 2>&1); then
        fail "h.nobody" "a nobody shell connected to the relay's port 127.0.0.1:15061"
    else
        pass "h.nobody" "a nobody shell is refused at the relay's port 127.0.0.1:15061: $(echo "$nobody" | tail -n 1)"
    fi

    # What the relay costs at rest: its memory, and its processor time over
    # 10 s of a registered station.
    local cpu_rest cpu_call
    cpu_rest=$(unit_property station-tls.service CPUUsageNSec)
    nap 10
    figure "TLS relay at rest" "$(tls_relay_memory); processor $(( ($(unit_property station-tls.service CPUUsageNSec) - cpu_rest) / 1000000 )) ms in 10 s"

    # A call over TLS through the relay: its INVITE at Kamailio.
    wait_for 30 status_is idle
    pbx=$(pbx_lines)
    cpu_call=$(unit_property station-tls.service CPUUsageNSec)
    # Key 1 calls whichever of the far phone's numbers the settings give it
    # by now: the phone answers on the one that rings.
    local far_log called
    far_log=$(far_log_lines)
    press 140
    if wait_for 10 eval 'pbx_after $pbx | grep -q "PBX INVITE tls from .* sip:$STATION_NUMBER@"' &&
        wait_for 10 eval 'far_after $far_log | grep -qi "incoming call"'; then
        called=$(far_after "$far_log" | grep -i -m 1 "incoming call" | sed -n 's/^sip:\([0-9]*\)@.*/\1/p')
        if far_answers "$called" && wait_for 10 status_is answer; then
            pass "h.call" "key 1 over TLS, answered on $called: \"$(pbx_after "$pbx" | grep -m 1 "PBX INVITE tls" | sed 's/.*PBX /PBX /' | cut -c1-160)\""
        else
            fail "h.call" "the far phone's $called did not answer the call over TLS: call status $(call_status)"
        fi
    else
        fail "h.call" "no INVITE over TLS within 10 s of the press: $(pbx_after "$pbx" | tail -n 2 | tr '\n' ' ')"
    fi
    nap 10
    far hangup >/dev/null
    # Whatever happened, the next steps start from an idle station.
    wait_for 20 status_is idle || { press 140; wait_for 20 status_is idle; }
    figure "TLS relay in a call" "$(tls_relay_memory); processor $(( ($(unit_property station-tls.service CPUUsageNSec) - cpu_call) / 1000000 )) ms for a call of 10 s, its signalling through the relay"

    # The CA of another authority: the relay refuses the PBX, which gets no
    # REGISTER, and the entry names the reason. The settings are written
    # again, so that the path unit applies the new CA file.
    install -m 0644 "$PEERS/tls/other-ca.pem" /etc/station/pbx-ca.pem
    system=$(lines_of "$SYSTEM_CSV")
    set_setting "$conf" sip cafile /etc/station/pbx-ca.pem
    if wait_entry "$SYSTEM_CSV" "$system" "REGISTER FAILED <sip:$STATION_NUMBER@$PBX_V4>,TLS: certificate not trusted" 90 &&
        tls_verdict_is not-trusted; then
        pass "h.untrusted" "$(lines_after "$SYSTEM_CSV" "$system" | grep -m 1 "REGISTER FAILED" | cut -d, -f2-); relay's verdict: $(tls_verdict)"
    else
        fail "h.untrusted" "no failed entry for an untrusted PBX within 90 s; verdict: $(tls_verdict); entries: $(lines_after "$SYSTEM_CSV" "$system" | grep "SIP STATE" | tail -n 3 | tr '\n' '|')"
    fi

    # Back as it was.
    pbx=$(pbx_lines)
    install -m 0644 "$PEERS/tls/pbx-ca.pem" /etc/station/pbx-ca.pem
    set_setting "$conf" account_info_1 transport "$transport"
    set_setting "$conf" account_info_1 server "$server"
    set_setting "$conf" account_info_1 tls_name ""
    set_setting "$conf" sip cafile ""
    if wait_for 60 eval 'pbx_after $pbx | grep -q "PBX REGISTERED ${transport:-udp} sip:$STATION_NUMBER@"' &&
        wait_for 30 eval '! systemctl -q is-active station-tls.service'; then
        pass "h.back" "transport ${transport:-udp} again: registered, and the relay stopped with its configuration"
    else
        fail "h.back" "after the account's TLS settings went: relay $(unit_property station-tls.service ActiveState); Kamailio: $(pbx_after "$pbx" | tail -n 2 | tr '\n' ' ')"
    fi
}

# ---------------------------------------------------------------- lockout

# wrong_digits_call N: the far phone calls, key 2 answers, N wrong digits.
wrong_digits_call() {
    local n=$1 i
    far_calls_station || return 1
    press 67
    wait_for 10 status_is answer || return 1
    for ((i = 0; i < n; i++)); do
        far sndcode 1 >/dev/null
        sleep 0.12
    done
    sleep 0.5
    far hangup >/dev/null
    wait_for 10 status_is idle
}

# Wrong digits worth three calls' tries lock the door code, for 60 s the
# first time and 120 s the second; a second round waits for the first
# lockout to end. Before the reboot the records as they stand are kept in
# the share, to be compared after it.
LOCKOUT_ROUND=0
scenario_lockout() {
    local system tries=3 calls=3 i seconds
    LOCKOUT_ROUND=$((LOCKOUT_ROUND + 1))
    seconds=$((60 << (LOCKOUT_ROUND - 1)))
    wait_for 75 eval '[ "$(redis TTL dtmf-lockout)" -le 0 ]'
    system=$(lines_of "$SYSTEM_CSV")
    for ((i = 0; i < calls; i++)); do
        wrong_digits_call $((tries * ${#DOOR_CODE})) || break
    done
    if wait_entry "$SYSTEM_CSV" "$system" "FUNCTION,DTMF LOCKED,$seconds s" 20 && [ "$(redis TTL dtmf-lockout)" -gt 0 ]; then
        pass "f.locked-$LOCKOUT_ROUND" "$calls calls of $((tries * ${#DOOR_CODE})) wrong digits: \"DTMF LOCKED,$seconds s\" in system.csv, dtmf-lockout expires in $(redis TTL dtmf-lockout) s"
    else
        fail "f.locked-$LOCKOUT_ROUND" "no lockout of $seconds s: system.csv: $(lines_after "$SYSTEM_CSV" "$system" | grep DTMF | tail -n 3 | tr '\n' '|'); dtmf-lockout TTL $(redis TTL dtmf-lockout); call status $(call_status); message log: $(tail -n 3 /userdata/log/orvanel.log | cut -d']' -f3- | tr '\n' '|')"
    fi
    local file
    for file in system.csv cdr.csv; do
        sha256sum <"/userdata/$file" >"$SHARE/$file.sha"
        wc -c <"/userdata/$file" >"$SHARE/$file.size"
    done
}

# ---------------------------------------------------------------- f. reboot

# The first SIZE bytes of a record file hash as before the reboot.
kept() { [ "$(head -c "$(cat "$SHARE/$1.size")" "/userdata/$1" | sha256sum)" = "$(cat "$SHARE/$1.sha")" ]; }

scenario_reboot() {
    wait_for 120 status_is idle
    local ttl
    ttl=$(redis TTL dtmf-lockout)
    if [ "${ttl:--2}" -gt 0 ]; then
        pass "f.lockout-kept" "after the reboot dtmf-lockout still expires in $ttl s; dtmf-guard: $(redis GET dtmf-guard)"
    else
        fail "f.lockout-kept" "after the reboot dtmf-lockout is gone (TTL ${ttl:-none})"
    fi
    # The right code during the lockout opens nothing.
    local system
    system=$(lines_of "$SYSTEM_CSV")
    if far_calls_station && press 67 && wait_for 10 status_is answer; then
        local i
        for ((i = 0; i < ${#DOOR_CODE}; i++)); do
            far sndcode "${DOOR_CODE:i:1}" >/dev/null
            sleep 0.25
        done
        local levels
        levels=$(sample_leds 3000 66)
        far hangup >/dev/null
        wait_for 10 status_is idle
        if [ "$levels" = "66:0" ] && grep -q "DTMF ignored: the door code is locked" /userdata/log/orvanel.log; then
            pass "f.locked-after-reboot" "the right code in an answered call after the reboot: gpio66 stayed low; message log: \"$(grep -h "DTMF ignored: the door code is locked" /userdata/log/orvanel.log | tail -n 1 | cut -d']' -f3-)\""
        else
            fail "f.locked-after-reboot" "the right code during the kept lockout: gpio66 $levels"
        fi
    else
        fail "f.locked-after-reboot" "the far phone's call was not answered after the reboot: call status $(call_status)"
        far hangup >/dev/null
    fi
    local file lost=()
    for file in system.csv cdr.csv; do kept "$file" || lost+=("$file"); done
    if [ ${#lost[@]} -eq 0 ]; then
        pass "f.records-kept" "system.csv and cdr.csv hold every byte they held before the reboot ($(cat "$SHARE/system.csv.size") and $(cat "$SHARE/cdr.csv.size") bytes), now $(wc -c <"$SYSTEM_CSV") and $(wc -c <"$CDR_CSV")"
    else
        fail "f.records-kept" "changed across the reboot: ${lost[*]}"
    fi

    # The lockout ends by itself, and then the station is ready again.
    ttl=$(redis TTL dtmf-lockout)
    if wait_entry "$SYSTEM_CSV" "$system" "FUNCTION,DTMF UNLOCKED" $((${ttl#-} + 20)); then
        station_ready "f.ready" "\"DTMF UNLOCKED\" in system.csv when the lockout ended"
    else
        fail "f.ready" "no \"DTMF UNLOCKED\" within $((${ttl#-} + 20)) s: $(lines_after "$SYSTEM_CSV" "$system" | grep DTMF | tr '\n' '|')"
    fi
}

# ---------------------------------------------------------------- figures

# From the kernel's start: multi-user, each station unit, the registration;
# each unit's memory after the scenarios.
scenario_figures() {
    local unit at boot_realtime registered up
    figure "multi-user.target reached" "$(seconds_of "$(unit_property multi-user.target ActiveEnterTimestampMonotonic)") s after the kernel started"
    # The first start of each unit in this boot (the scenarios restart some).
    for unit in "${STATION_UNITS[@]}"; do
        at=$(journalctl -b -o short-monotonic -u "$unit" --no-pager | grep -m 1 ' Started ' | sed 's/^\[ *\([0-9]*\.[0-9]\{3\}\).*/\1/')
        figure "$unit active" "${at:-?} s"
    done
    at=$(journalctl -b -o short-monotonic -u station-filter.service --no-pager | grep -m 1 'filter loaded' | sed 's/^\[ *\([0-9]*\.[0-9]\{3\}\).*/\1/')
    figure "packet filter loaded" "${at:-?} s"
    # Kamailio stamps the registration with the wall clock.
    read -r up _ </proc/uptime
    boot_realtime=$(awk -v now="$EPOCHREALTIME" -v up="$up" 'BEGIN { printf "%.3f", now - up }')
    registered=$(grep "PBX REGISTERED .*sip:$STATION_NUMBER@" "$PEERS/kamailio.log" | head -n 1 | sed -n 's/^.*{\([0-9.]*\)}.*$/\1/p')
    [ -n "$registered" ] && figure "account registered" "$(awk -v a="$registered" -v b="$boot_realtime" 'BEGIN { printf "%.1f", a - b }') s after the kernel started"
    # systemd's figure is the cgroup's: the process and the page cache of
    # the files it wrote; the resident set is the process's alone.
    local current peak cgroup rss
    for unit in "${STATION_UNITS[@]}"; do
        cgroup=/sys/fs/cgroup$(unit_property "$unit" ControlGroup)
        current=$(unit_property "$unit" MemoryCurrent)
        peak=$(cat "$cgroup/memory.peak" 2>/dev/null || echo 0)
        rss=$(awk '/^VmRSS:/ { print $2 }' "/proc/$(unit_property "$unit" MainPID)/status" 2>/dev/null)
        figure "$unit memory" "MemoryCurrent $((current / 1024)) kB, peak $((peak / 1024)) kB (since its last start); resident ${rss:-?} kB"
    done
}
