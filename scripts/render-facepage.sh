#!/bin/sh
# Renders the shipped face page to docs/facepage.png. The page is made by the
# real daemon: it runs in device-spool mode with share/tindrel.ps, a user
# database that lists 127.0.0.1, and a plain file as the printer device; one
# small job from 127.0.0.1 that names its owner and document leaves its face
# page, with every line filled, and the job in that file. Ghostscript then
# renders the first page, the face page, at 100 dpi.
#
#   scripts/render-facepage.sh [path/to/tindrel]     (default: build/tindrel)
#
# Needs Ghostscript (gs) and netcat (nc). Started as root, the daemon runs as
# the user nobody.
set -eu
cd "$(dirname "$0")/.."

bin=${1:-build/tindrel}
case "$bin" in /*) ;; *) bin=$(pwd)/$bin ;; esac
if [ ! -x "$bin" ]; then
    echo "render-facepage: no daemon at $bin; build it first or give its path" >&2
    exit 2
fi
for tool in gs nc; do
    command -v "$tool" >/dev/null || { echo "render-facepage: $tool is not installed" >&2; exit 2; }
done

work=$(mktemp -d /tmp/tindrel-facepage-XXXXXX)
daemon=
cleanup() {
    [ -n "$daemon" ] && kill "$daemon" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# The run user writes the device file and the log here.
chmod 0777 "$work"
cp share/tindrel.ps "$work/tindrel.ps"
printf '127.0.0.1   B-214   5550152\n' >"$work/tindrel.db"
chmod 0644 "$work/tindrel.ps" "$work/tindrel.db"

user_line=
[ "$(id -u)" -eq 0 ] && user_line="user = nobody"

for attempt in 1 2 3 4 5; do
    port=$((20000 + $(od -An -N2 -tu2 /dev/urandom) % 40000))
    cat >"$work/tindrel.conf" <<EOF
$user_line
working-dir = $work
template-name = tindrel.ps
template-type = ps
logfile = tindrel.log
ip-location = tindrel.db
proxy-ip = 127.0.0.1
proxy-port = $port
printer-port = 0
printer-dev = $work/printer.ps
idletime = 5
EOF
    "$bin" -v -C "$work/tindrel.conf" -d >"$work/daemon.out" 2>&1 &
    daemon=$!
    tries=100
    while [ "$tries" -gt 0 ] && ! grep -q "waiting for requests" "$work/daemon.out"; do
        kill -0 "$daemon" 2>/dev/null || break
        tries=$((tries - 1))
        sleep 0.1
    done
    grep -q "waiting for requests" "$work/daemon.out" && break
    kill "$daemon" 2>/dev/null || true
    daemon=
    grep -q bind "$work/daemon.out" || { cat "$work/daemon.out" >&2; exit 1; }
done
[ -n "$daemon" ] || { echo "render-facepage: the daemon did not start" >&2; exit 1; }

# An empty job gets no face page: the job must hold something.
printf '%%!PS-Adobe-3.0\n%%%%For: wiwang\n%%%%Title: Quarterly report.pdf\n%%%%EndComments\nshowpage\n' |
    timeout 30 nc -N 127.0.0.1 "$port"
tries=300
while [ "$tries" -gt 0 ] && ! grep -q "Sent bytes" "$work/tindrel.log" 2>/dev/null; do
    tries=$((tries - 1))
    sleep 0.1
done
grep -q "Sent bytes" "$work/tindrel.log" || { cat "$work/daemon.out" >&2; exit 1; }
kill "$daemon"
daemon=

grep -q '(JOB OWNER : wiwang) N' "$work/printer.ps" || { echo "render-facepage: no face page" >&2; exit 1; }

mkdir -p docs
rm -f docs/facepage.png
gs -q -dSAFER -dBATCH -dNOPAUSE -dLastPage=1 -sDEVICE=png16m -r100 -dTextAlphaBits=4 \
    -dGraphicsAlphaBits=4 -sOutputFile=docs/facepage.png "$work/printer.ps"
[ -s docs/facepage.png ] || { echo "render-facepage: Ghostscript wrote no picture" >&2; exit 1; }
echo "render-facepage: wrote docs/facepage.png"
