#!/bin/sh
# Builds tindrel and runs it in the foreground on a demonstration set-up in
# demo-run/: jobs sent to port 9100 land, face page first, in
# demo-run/printer.out, and every job leaves lines in demo-run/tindrel.log.
set -e
cd "$(dirname "$0")/.."
# The test suite is left out: its library (GoogleTest) comes with the test
# command's set-up only.
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTINDREL_TESTS=OFF
cmake --build build -j "$(nproc)" --target tindrel

run=$(pwd)/demo-run
mkdir -p "$run"
cp share/tindrel.ps share/tindrel.txt share/tindrel.db "$run/"
: > "$run/printer.out"
user=
if [ "$(id -u)" -eq 0 ]; then
    # Started as root the daemon switches to this account, which must be able
    # to read the templates and write the log and the output file: the
    # folder and the output file become its own, writable by it alone.
    user="user = nobody"
    chown "nobody:$(id -g nobody)" "$run" "$run/printer.out"
    chmod 0755 "$run"
    chmod 0644 "$run/printer.out" "$run"/tindrel.*
    [ ! -e "$run/tindrel.log" ] || chown "nobody:$(id -g nobody)" "$run/tindrel.log"
fi
cat > "$run/tindrel.conf" <<CONF
# Demonstration: spool every job into a plain file instead of a printer.
$user
working-dir = $run
template-name = tindrel.ps
template-type = ps
logfile = tindrel.log
ip-location = tindrel.db
proxy-port = ${TINDREL_DEMO_PORT:-9100}
proxy-ip = 127.0.0.1
printer-ip = 0.0.0.0
printer-dev = $run/printer.out
idletime = 10
CONF
echo "tindrel demo: send a job with   nc -N 127.0.0.1 ${TINDREL_DEMO_PORT:-9100} < some-file"
echo "              results land in   $run/printer.out  (log: $run/tindrel.log)"
exec ./build/tindrel -C "$run/tindrel.conf" -v -d
