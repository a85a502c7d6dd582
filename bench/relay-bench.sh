#!/bin/bash
# Throughput of tindrel against socat moving the same job on loopback with the
# same 1500-byte chunk, for the printer relay and for the device spool, plus
# tindrel's peak resident memory per job size.
#
#   bench/relay-bench.sh [BINARY]        (default build/tindrel; RUNS=5)
#
# Relay: client -> tindrel | socat -b 1500 -> sink printer (reads to /dev/null).
# Spool: client -> tindrel | socat -u -b 1500 -> file in a temporary directory.
# Each figure is the median of RUNS jobs, timed by the client from connected
# to closed by the far side (so the whole job has gone through). tindrel also
# sends its face page (a tiny template) and writes its log per job; socat
# does neither. Each job starts with a PostScript header whose page count
# stands in the trailer, which tindrel looks for as the job passes. VmHWM is read from /proc just before tindrel is stopped.
# Needs python3 and socat. Builds nothing.
set -eu

binary=$(realpath "${1:-build/tindrel}")
runs=${RUNS:-5}
sizes_mib=${SIZES_MIB:-"1 256"}
here=$(cd "$(dirname "$0")" && pwd)
peer=(python3 "$here/peer.py")

[ -x "$binary" ] || { echo "no tindrel binary at $binary" >&2; exit 1; }
command -v socat >/dev/null || { echo "socat is needed" >&2; exit 1; }

work=$(mktemp -d /tmp/tindrel-bench-XXXXXX)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# Started by root tindrel runs as "nobody", which must write here.
if [ "$(id -u)" = 0 ]; then
    chmod 0777 "$work"
    run_user="user = nobody"
else
    run_user=""
fi
printf '%%!PS-Adobe-3.0\n%% bench face page\n' >"$work/face.ps"
: >"$work/tindrel.db"
chmod 0644 "$work/face.ps" "$work/tindrel.db"

median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
mibps() { awk -v m="$1" -v t="$2" 'BEGIN { printf "%.1f", m / t }'; }

wait_listening() {
    local port=$1 tries=0
    until (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; do
        tries=$((tries + 1))
        [ $tries -lt 500 ] || { echo "nothing listens on $port" >&2; exit 1; }
        sleep 0.01
    done
}

sink_port=$("${peer[@]}" port)
"${peer[@]}" sink "$sink_port" >"$work/sink.log" &
pids+=($!)
wait_listening "$sink_port"

# write_conf MODE PORT: relay to the sink, or spool into $work/spool.out.
write_conf() {
    local mode=$1 port=$2 printer_ip=127.0.0.1
    [ "$mode" = spool ] && printer_ip=0.0.0.0
    cat >"$work/tindrel.conf" <<EOF
$run_user
working-dir = $work
template-name = $work/face.ps
template-type = ps
logfile = $work/tindrel.log
ip-location = $work/tindrel.db
proxy-ip = 127.0.0.1
proxy-port = $port
printer-ip = $printer_ip
printer-port = $sink_port
printer-dev = $work/spool.out
idletime = 10
retry-printer = 0
EOF
}

# tindrel_runs MODE JOB: sets t_secs (median) and hwm (VmHWM in kB).
tindrel_runs() {
    local mode=$1 job=$2 port pid
    port=$("${peer[@]}" port)
    write_conf "$mode" "$port"
    "$binary" -C "$work/tindrel.conf" -d >"$work/tindrel.out" 2>&1 &
    pid=$!
    pids+=($pid)
    for _ in $(seq "$runs"); do
        "${peer[@]}" client "$port" "$job"
        if [ "$mode" = spool ]; then
            [ "$(stat -c %s "$work/spool.out")" -gt "$(stat -c %s "$job")" ] ||
                { echo "tindrel spooled too little" >&2; exit 1; }
            : >"$work/spool.out"
        else
            [ "$(tail -n 1 "$work/sink.log")" -gt "$(stat -c %s "$job")" ] ||
                { echo "tindrel relayed too little" >&2; exit 1; }
        fi
    done >"$work/times"
    hwm=$(awk '/^VmHWM/ { print $2 }' "/proc/$pid/status")
    kill "$pid"
    wait "$pid" 2>/dev/null || true
    t_secs=$(median <"$work/times")
}

# socat_runs MODE JOB: sets s_secs (median).
socat_runs() {
    local mode=$1 job=$2 port pid
    for _ in $(seq "$runs"); do
        port=$("${peer[@]}" port)
        if [ "$mode" = spool ]; then
            socat -u -b 1500 "TCP-LISTEN:$port,reuseaddr,bind=127.0.0.1" \
                "OPEN:$work/socat.out,creat,append" &
        else
            socat -b 1500 "TCP-LISTEN:$port,reuseaddr,bind=127.0.0.1" "TCP:127.0.0.1:$sink_port" &
        fi
        pid=$!
        "${peer[@]}" client "$port" "$job"
        wait "$pid"
        if [ "$mode" = spool ]; then
            [ "$(stat -c %s "$work/socat.out")" -eq "$(stat -c %s "$job")" ] ||
                { echo "socat spooled a wrong size" >&2; exit 1; }
            rm -f "$work/socat.out"
        else
            [ "$(tail -n 1 "$work/sink.log")" -eq "$(stat -c %s "$job")" ] ||
                { echo "socat relayed a wrong size" >&2; exit 1; }
        fi
    done >"$work/times"
    s_secs=$(median <"$work/times")
}

echo "tindrel: $binary; runs per figure: $runs (median); chunk 1500 bytes"
printf '%-6s %8s %14s %12s %7s %16s\n' mode job tindrel_MiB/s socat_MiB/s ratio tindrel_VmHWM_kB
for mib in $sizes_mib; do
    job="$work/job-$mib"
    # A PostScript header that leaves the page count to the trailer, so the
    # relay scans every byte of the job for it.
    {
        printf '%%!PS-Adobe-3.0\n%%%%For: (bench)\n%%%%Pages: (atend)\n%%%%EndComments\n'
        head -c $((mib * 1048576)) /dev/urandom
        printf '\n%%%%Trailer\n%%%%Pages: 7\n%%%%EOF\n'
    } >"$job"
    for mode in relay spool; do
        tindrel_runs "$mode" "$job"
        socat_runs "$mode" "$job"
        t_rate=$(mibps "$mib" "$t_secs")
        s_rate=$(mibps "$mib" "$s_secs")
        ratio=$(awk -v a="$s_secs" -v b="$t_secs" 'BEGIN { printf "%.2f", a / b }')
        printf '%-6s %6sMiB %14s %12s %7s %16s\n' "$mode" "$mib" "$t_rate" "$s_rate" "$ratio" "$hwm"
    done
    rm -f "$job"
done
