#!/bin/bash
# Throughput of tindrel side by side with another tindrel build and with the
# bare loop of bench/bare-relay.cpp (one poll, one 1500-byte receive and one
# send or write per pass, nothing else), for the printer relay and the
# device spool, on this machine in one run.
#
#   bench/side-by-side.sh BINARY [BASE_BINARY]   (RUNS=7, SIZE_MIB=64)
#
# TINDREL_CONF and BASE_CONF add configuration lines for BINARY and
# BASE_BINARY: with TINDREL_CONF="printer-status = pjl" and
# BASE_CONF="printer-status = off" one binary is measured against itself
# with and without the printer's word (the sink printer then answers every
# PJL job's end).
# Every peer is started once per mode; the runs then take turns (BINARY,
# BASE_BINARY, bare loop, again), so a load on the machine falls on all
# alike. Each figure is the median of RUNS jobs, timed by the client from
# connected to closed by the far side. The job is a PostScript header whose
# page count stands in the trailer (tindrel scans every byte for it) and
# SIZE_MIB MiB of random bytes. The peers under test run on the last CPU,
# the client and the sink printer on the first, so that where the scheduler
# puts them does not decide the figures. Needs python3, taskset and a C++
# compiler.
set -eu

binary=$(realpath "$1")
base=${2:+$(realpath "$2")}
runs=${RUNS:-7}
mib=${SIZE_MIB:-64}
here=$(cd "$(dirname "$0")" && pwd)
last_cpu=$(($(nproc) - 1))
peer=(taskset -c 0 python3 "$here/peer.py")
under_test=(taskset -c "$last_cpu")

work=$(mktemp -d /tmp/tindrel-bench-XXXXXX)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    [ -n "${KEEP:-}" ] || rm -rf "$work"
}
trap cleanup EXIT

c++ -O2 -std=c++20 -o "$work/bare-relay" "$here/bare-relay.cpp"
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
    printf '%%!PS-Adobe-3.0\n%%%%For: (bench)\n%%%%Pages: (atend)\n%%%%EndComments\n'
    head -c $((mib * 1048576)) /dev/urandom
    printf '\n%%%%Trailer\n%%%%Pages: 7\n%%%%EOF\n'
} >"$work/job"

sink_port=$("${peer[@]}" port)
"${peer[@]}" sink "$sink_port" pjl >"$work/sink.log" &
pids+=($!)

median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# start_peer NAME MODE: starts the peer NAME (a binary path or "bare") for
# MODE, leaving its port in $work/NAME.port.
start_peer() {
    local name=$1 mode=$2 exe=$3 port printer_ip=127.0.0.1 extra
    extra=$([ "$name" = base ] && echo "${BASE_CONF:-}" || echo "${TINDREL_CONF:-}")
    port=$("${peer[@]}" port)
    echo "$port" >"$work/$name.port"
    # Written by tindrel's run user, truncated between runs.
    : >"$work/$name.out"
    chmod 0666 "$work/$name.out"
    if [ "$exe" = bare ]; then
        if [ "$mode" = relay ]; then
            "${under_test[@]}" "$work/bare-relay" relay "$port" "$sink_port" &
        else
            "${under_test[@]}" "$work/bare-relay" spool "$port" "$work/$name.out" &
        fi
    else
        [ "$mode" = spool ] && printer_ip=0.0.0.0
        cat >"$work/$name.conf" <<CONF
$run_user
working-dir = $work
template-name = $work/face.ps
logfile = $work/$name.log
ip-location = $work/tindrel.db
proxy-ip = 127.0.0.1
proxy-port = $port
printer-ip = $printer_ip
printer-port = $sink_port
printer-dev = $work/$name.out
idletime = 10
retry-printer = 0
$extra
CONF
        "${under_test[@]}" "$exe" -C "$work/$name.conf" -d >"$work/$name.stdout" 2>&1 &
    fi
    pids+=($!)
}

names=(tindrel)
exes=("$binary")
if [ -n "$base" ]; then
    names+=(base)
    exes+=("$base")
fi
names+=(bare)
exes+=(bare)

echo "tindrel: $binary${base:+; base: $base}; $mib MiB jobs, median of $runs runs"
for mode in relay spool; do
    for i in "${!names[@]}"; do
        start_peer "${names[$i]}" "$mode" "${exes[$i]}"
        : >"$work/${names[$i]}.times"
    done
    sleep 0.5
    for _ in $(seq "$runs"); do
        for name in "${names[@]}"; do
            "${peer[@]}" client "$(cat "$work/$name.port")" "$work/job" >>"$work/$name.times"
            : >"$work/$name.out"
        done
    done
    line="$mode:"
    bare_secs=$(median <"$work/bare.times")
    own_secs=$(median <"$work/tindrel.times")
    for name in "${names[@]}"; do
        secs=$(median <"$work/$name.times")
        line="$line $(awk -v n="$name" -v m="$mib" -v t="$secs" 'BEGIN { printf "%s %.1f MiB/s,", n, m / t }')"
    done
    line="$line $(awk -v a="$bare_secs" -v b="$own_secs" 'BEGIN { printf "tindrel/bare %.2f", a / b }')"
    if [ -n "$base" ]; then
        base_secs=$(median <"$work/base.times")
        line="$line, $(awk -v a="$base_secs" -v b="$own_secs" 'BEGIN { printf "tindrel/base %.2f", a / b }')"
    fi
    echo "$line"
    for pid in "${pids[@]:1}"; do kill "$pid" 2>/dev/null || true; done
    wait "${pids[@]:1}" 2>/dev/null || true
    pids=("${pids[0]}")
done
