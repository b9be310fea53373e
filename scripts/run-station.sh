#!/usr/bin/env bash
# Runs orvanel under a freshly made station root with its own redis-server,
# in debug mode, until Ctrl-C. Everything it started is stopped by pid.
set -euo pipefail
build=${1:-build}
here=$(cd "$(dirname "$0")/.." && pwd)
root=${STATION_RUN_ROOT:-$here/run/station}

"$here/scripts/make-station-root.sh" "$root"
export STATION_ROOT=$root
export PATH="$root/bin:$PATH"

redis-server --port 0 --unixsocket "$root/tmp/redis.sock" --save "" --appendonly no \
    --dir "$root/tmp" --loglevel warning > "$root/tmp/redis.out" 2>&1 &
redis_pid=$!
orvanel_pid=""
stop() {
    [ -n "$orvanel_pid" ] && kill "$orvanel_pid" 2>/dev/null || true
    kill "$redis_pid" 2>/dev/null || true
    wait 2>/dev/null || true
}
trap stop EXIT
trap 'exit 0' INT TERM

for _ in $(seq 100); do
    redis-cli -s "$root/tmp/redis.sock" ping > /dev/null 2>&1 && break
    sleep 0.05
done

echo "Station root: $root"
echo "Redis socket: $root/tmp/redis.sock (try: redis-cli -s $root/tmp/redis.sock)"
echo "Message log:  $root/userdata/log/orvanel.log"
echo "Ctrl-C stops the station."
"$here/$build/bin/orvanel" debug &
orvanel_pid=$!
wait "$orvanel_pid"
