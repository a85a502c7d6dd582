#!/bin/sh
# Builds tindrel and runs it in the foreground on a demonstration set-up:
# jobs sent to port 9100 (TINDREL_DEMO_PORT) land, face page first, in
# printer.out, and every job leaves lines in tindrel.log and one record in
# accounting.jsonl.
#
# Run by an ordinary user the files are in demo-run/ of the repository.
# Started as root the daemon runs as the user nobody, which may not reach the
# repository (a clone in /root, mode 0700): the files then go into a new
# folder /tmp/tindrel-demo-XXXXXX that belongs to root and that everyone may
# enter, where nobody owns only the three files it writes.
#
# TINDREL_DEMO_BINARY names a built tindrel to run instead of building one
# here (the build takes minutes; the tests use it).
set -e
cd "$(dirname "$0")/.."
if [ -n "${TINDREL_DEMO_BINARY:-}" ]; then
    bin=$TINDREL_DEMO_BINARY
else
    # The test suite is left out: its library (GoogleTest) comes with the
    # test command's set-up only.
    cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTINDREL_TESTS=OFF
    cmake --build build -j "$(nproc)" --target tindrel
    bin=./build/tindrel
fi
port=${TINDREL_DEMO_PORT:-9100}

user=
if [ "$(id -u)" -eq 0 ]; then
    # mktemp makes a new folder that no one else can have made or linked
    # beforehand; root keeps it, so the daemon's user cannot put links into
    # it that root would then follow.
    run=$(mktemp -d /tmp/tindrel-demo-XXXXXX)
    chmod 0755 "$run"
    user="user = nobody"
else
    run=$(pwd)/demo-run
    mkdir -p "$run"
fi
cp share/tindrel.ps share/tindrel.txt share/tindrel.db "$run/"
: >"$run/printer.out"
if [ -n "$user" ]; then
    # The files the daemon writes, its job number among them.
    touch "$run/tindrel.log" "$run/accounting.jsonl" "$run/tindrel.lastjob"
    chmod 0644 "$run"/*
    chown "nobody:$(id -g nobody)" "$run/printer.out" "$run/tindrel.log" "$run/accounting.jsonl" \
        "$run/tindrel.lastjob"
fi
cat >"$run/tindrel.conf" <<CONF
# Demonstration: spool every job into a plain file instead of a printer.
$user
working-dir = $run
template-name = tindrel.ps
template-type = ps
logfile = tindrel.log
ip-location = tindrel.db
accounting = accounting.jsonl
proxy-port = $port
proxy-ip = 127.0.0.1
printer-ip = 0.0.0.0
printer-dev = $run/printer.out
idletime = 10
CONF
# What -d would refuse is said now, before the hints.
"$bin" -C "$run/tindrel.conf" -t
echo "tindrel demo: run files in      $run"
echo "              send a job with   nc -N 127.0.0.1 $port < some-file"
echo "              results land in   $run/printer.out  (log: tindrel.log)"
echo "              one record a job  $run/accounting.jsonl, for example"
echo "              jq -r '[.start, .client, .user, .pages, .outcome] | @tsv' $run/accounting.jsonl"
exec "$bin" -C "$run/tindrel.conf" -v -d
