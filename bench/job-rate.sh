#!/bin/bash
# Rate of small jobs through the printer relay with the accounting record on
# and off, in one run on this machine.
#
#   bench/job-rate.sh [BINARY]     (default build/tindrel; JOBS=300, ROUNDS=5)
#
# Each job is 1 KiB of PostScript with a header naming its owner and title,
# sent by one client after the other to tindrel, which relays it to a sink
# printer. The two set-ups take turns, ROUNDS times each; each figure is the
# median of the rounds in jobs per second. Needs python3. Builds nothing.
set -eu

binary=$(realpath "${1:-build/tindrel}")
jobs=${JOBS:-300}
rounds=${ROUNDS:-5}
here=$(cd "$(dirname "$0")" && pwd)
peer=(python3 "$here/peer.py")

[ -x "$binary" ] || { echo "no tindrel binary at $binary" >&2; exit 1; }

work=$(mktemp -d /tmp/tindrel-bench-XXXXXX)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

if [ "$(id -u)" = 0 ]; then
    chmod 0777 "$work"
    run_user="user = nobody"
else
    run_user=""
fi
printf '%%!PS-Adobe-3.0\n%% bench face page\n' >"$work/face.ps"
: >"$work/tindrel.db"
chmod 0644 "$work/face.ps" "$work/tindrel.db"
{
    printf '%%!PS-Adobe-3.0\n%%%%Title: (bench.pdf)\n%%%%For: (bench)\n%%%%Pages: 1\n%%%%EndComments\n'
    head -c 1024 /dev/zero | tr '\0' 'x'
} | head -c 1024 >"$work/job"

sink_port=$("${peer[@]}" port)
"${peer[@]}" sink "$sink_port" >/dev/null &
pids+=($!)

median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# one_round ACCOUNTING: prints the jobs per second of one daemon run.
one_round() {
    local accounting=$1 port pid
    port=$("${peer[@]}" port)
    cat >"$work/tindrel.conf" <<EOF
$run_user
working-dir = $work
template-name = $work/face.ps
template-type = ps
logfile = $work/tindrel.log
ip-location = $work/tindrel.db
proxy-ip = 127.0.0.1
proxy-port = $port
printer-ip = 127.0.0.1
printer-port = $sink_port
idletime = 10
retry-printer = 0
accounting = $accounting
EOF
    "$binary" -C "$work/tindrel.conf" -d >"$work/tindrel.out" 2>&1 &
    pid=$!
    pids+=($pid)
    "${peer[@]}" jobs "$port" "$work/job" "$jobs"
    kill "$pid"
    wait "$pid" 2>/dev/null || true
}

: >"$work/off"
: >"$work/on"
for _ in $(seq "$rounds"); do
    one_round "" >>"$work/off"
    one_round "$work/accounting.jsonl" >>"$work/on"
done
records=$(wc -l <"$work/accounting.jsonl")
[ "$records" -eq $((rounds * (jobs + 1))) ] ||
    { echo "expected $((rounds * (jobs + 1))) records, found $records" >&2; exit 1; }
off=$(median <"$work/off")
on=$(median <"$work/on")
echo "tindrel: $binary; $jobs jobs of 1 KiB per round, $rounds rounds each (median)"
printf '%-16s %10s\n' accounting jobs/s off "$off" on "$on"
awk -v a="$on" -v b="$off" 'BEGIN { printf "ratio on/off: %.2f\n", a / b }'
