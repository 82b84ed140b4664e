#!/usr/bin/env bash
# nginx's resident memory through the script side's churn under load: the relay
# serves a 4 KiB file to wrk on 127.0.0.1 while one Lua process reloads, disables
# and enables it in a loop; prints the master's and current worker's memory before
# and after (the workers of earlier configurations gone).
#   bench/load-memory.sh [seconds]    (default 12; BUILD, BENCH_DIR as for bench/run)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-12}
bin="$(pwd)/${BUILD:-build}/bin"
work=${BENCH_DIR:-/tmp/kwa-bench}/load-memory
rm -rf "$work"
mkdir -p "$work/home/plugins/kwa_core"
chmod 0711 "$work" "$work/home" "$work/home/plugins"
export KWA_HOME="$work/home" KWA_IP_VERSIONS=4
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj /CN=bench-ca \
    -keyout "$work/ca.key" -out "$work/home/plugins/kwa_core/kw_agent_kwm.crt" >/dev/null 2>&1
lua5.2 bench/relay-ctl.lua "$bin" construct
head -c 4096 /dev/zero >"$work/home/plugins/relay/www/packages/small.bin"
lua5.2 bench/relay-ctl.lua "$bin" publish
trap 'lua5.2 bench/relay-ctl.lua "$bin" stop >/dev/null 2>&1 || true' EXIT
lua5.2 bench/relay-ctl.lua "$bin" start "$port"
pidfile="$work/home/plugins/relay/nginx.pid"
for _ in $(seq 500); do [ -s "$pidfile" ] && break; sleep 0.01; done
rss() { # KiB of the master and its children
    local master total=0 pid
    master=$(cat "$pidfile")
    for pid in "$master" $(pgrep -P "$master"); do
        total=$((total + $(awk '/VmRSS/ { print $2 }' "/proc/$pid/status" 2>/dev/null || echo 0)))
    done
    echo "$total"
}
curl -sk -o /dev/null "https://127.0.0.1:$port/packages/small.bin"
before=$(rss)
wrk -t1 -c4 -d"${seconds}s" "https://127.0.0.1:$port/packages/small.bin" >"$work/wrk.out" 2>&1 &
wrk_pid=$!
lua5.2 -e "package.cpath = '$bin/?.so;' .. package.cpath
    local host = require 'kwacore'; require 'relay'
    host.set('kwp.RelayServer.address.v4', '127.0.0.1')
    local rs = SLB.RelayServer()
    rs:UpdateConfig{port = $port, tlsProtocols = 'TLSv1.2 TLSv1.3'}
    local reloads, stop = 0, os.time() + $seconds
    while os.time() < stop do
        for _, call in ipairs({'ReloadWebServerConfig', 'DisableWebServer', 'EnableWebServer'}) do
            assert(rs[call](rs), call); reloads = reloads + 1
        end
        os.execute('sleep 0.05')
    end
    print(reloads .. ' reloads')"
wait "$wrk_pid"
for _ in $(seq 500); do [ "$(pgrep -cP "$(cat "$pidfile")")" = 1 ] && break; sleep 0.01; done
after=$(rss)
grep -E 'requests in|Non-2xx|Socket errors' "$work/wrk.out" || true
echo "nginx resident memory: $before KiB before, $after KiB after ($(( (after - before) * 100 / before ))%)"
