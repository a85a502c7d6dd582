#!/bin/sh
# Checks the Debian package on this machine: builds it with cpack, runs
# lintian on it (any error fails), installs it with dpkg, checks the run user,
# the working directory, the units and the logrotate file, runs the installed
# daemon (on a copy of the installed configuration pointed at a fake printer
# on loopback), sends one job through it, and purges the package again,
# checking that nothing of it is left.
#
# It changes the system (a package, the user tindrelusr, which a purge keeps),
# so it runs only as root and only when CI=true or with --yes.
#
#   scripts/check-package.sh --yes [--build-dir DIR]
#
# DIR (default build-package) is configured and built without the tests.
set -eu
cd "$(dirname "$0")/.."
src=$(pwd)

yes=
build=build-package
while [ $# -gt 0 ]; do
    case "$1" in
    --yes) yes=1 ;;
    --build-dir) build=$2; shift ;;
    *) echo "usage: $0 --yes [--build-dir DIR]" >&2; exit 2 ;;
    esac
    shift
done
[ "${CI:-}" = true ] && yes=1
if [ "$(id -u)" -ne 0 ] || [ -z "$yes" ]; then
    echo "check-package: installs and purges the tindrel package on this machine;" >&2
    echo "run it as root with --yes (or CI=true)" >&2
    exit 2
fi
if dpkg-query -W -f='${Status}\n' tindrel 2>/dev/null | grep -qv 'not-installed'; then
    echo "check-package: a tindrel package is already on this machine; not touching it" >&2
    exit 2
fi
if [ -e /etc/tindrel.conf ] || [ -e /var/lib/tindrel ]; then
    echo "check-package: /etc/tindrel.conf or /var/lib/tindrel exists; not touching it" >&2
    exit 2
fi

work=$(mktemp -d /tmp/tindrel-package-XXXXXX)
chmod 0755 "$work"
installed=
daemon=
printer=
cleanup() {
    [ -n "$daemon" ] && kill "$daemon" 2>/dev/null || true
    [ -n "$printer" ] && kill "$printer" 2>/dev/null || true
    if [ -n "$installed" ]; then
        dpkg --purge tindrel >/dev/null 2>&1 || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

fail() {
    echo "check-package: FAILED: $*" >&2
    if [ -f "$work/daemon.out" ]; then
        echo "--- daemon output" >&2
        cat "$work/daemon.out" >&2
    fi
    exit 1
}
step() { echo "check-package: $*"; }

# Waits up to $1 seconds for the command that follows to succeed.
wait_for() {
    limit=$1
    shift
    tries=$((limit * 10))
    while ! "$@" >/dev/null 2>&1; do
        tries=$((tries - 1))
        [ "$tries" -gt 0 ] || return 1
        sleep 0.1
    done
}

# A port in 20000-59999; the caller retries when it turns out taken.
random_port() { echo $((20000 + $(od -An -N2 -tu2 /dev/urandom) % 40000)); }

step "building the package"
cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTINDREL_TESTS=OFF >"$work/build.log" 2>&1 ||
    { cat "$work/build.log" >&2; fail "cmake configure"; }
cmake --build "$build" -j "$(nproc)" >>"$work/build.log" 2>&1 || { cat "$work/build.log" >&2; fail "build"; }
(cd "$build" && cpack -G DEB -B "$work/deb") >>"$work/build.log" 2>&1 || { cat "$work/build.log" >&2; fail "cpack"; }
deb=$(ls "$work"/deb/tindrel_*.deb)
step "built $(basename "$deb")"

step "running lintian"
command -v lintian >/dev/null || fail "lintian is not installed"
# Errors fail; warnings are shown and must be fixed or overridden with a reason.
lintian --fail-on error --display-level '>=warning' "$deb" || fail "lintian reports errors"

step "installing"
installed=1
dpkg -i "$deb" || fail "dpkg -i"
# A second configure (as on an upgrade) must work on what the first left.
dpkg -i "$deb" >/dev/null || fail "dpkg -i over the installed package"

step "checking the run user and the working directory"
entry=$(getent passwd tindrelusr) || fail "no user tindrelusr"
uid=$(echo "$entry" | cut -d: -f3)
[ "$uid" -gt 0 ] && [ "$uid" -lt 1000 ] || fail "tindrelusr is not a system user: $entry"
[ "$(echo "$entry" | cut -d: -f6)" = /var/lib/tindrel ] || fail "home of tindrelusr: $entry"
[ "$(echo "$entry" | cut -d: -f7)" = /usr/sbin/nologin ] || fail "shell of tindrelusr: $entry"
id -nG tindrelusr | tr ' ' '\n' | grep -qx lp || fail "tindrelusr is not in the group lp: $(id tindrelusr)"
[ "$(stat -c '%U:%G %a' /var/lib/tindrel)" = "tindrelusr:tindrelusr 750" ] ||
    fail "/var/lib/tindrel is $(stat -c '%U:%G %a' /var/lib/tindrel)"
cmp -s /etc/tindrel.conf "$src/etc/tindrel.conf" || fail "/etc/tindrel.conf is not the sample configuration"
for f in /etc/tindrel.conf /etc/logrotate.d/tindrel; do
    dpkg-query -W -f='${Conffiles}\n' tindrel | grep -q " $f " || fail "$f is no conffile"
done
for f in tindrel.ps tindrel.txt tindrel.db; do
    cmp -s "/var/lib/tindrel/$f" "$src/share/$f" || fail "/var/lib/tindrel/$f is not the shipped sample"
    [ "$(stat -c '%U %a' "/var/lib/tindrel/$f")" = "root 644" ] ||
        fail "/var/lib/tindrel/$f is $(stat -c '%U %a' "/var/lib/tindrel/$f")"
done
dpkg -L tindrel | grep -q '^/var/' && fail "the package owns files under /var: $(dpkg -L tindrel | grep '^/var/')"
for f in /usr/sbin/tindrel /usr/share/tindrel/tindrel.ps /usr/share/doc/tindrel/README.md.gz \
    /lib/systemd/system/tindrel.service \
    /lib/systemd/system/tindrel@.service /lib/systemd/system/tindrel.socket \
    /lib/systemd/system/tindrel@.socket; do
    [ -e "$f" ] || fail "$f is missing"
done
if command -v systemd-analyze >/dev/null; then
    for unit in tindrel.service tindrel.socket tindrel@.service tindrel@.socket; do
        out=$(systemd-analyze verify "/lib/systemd/system/$unit" 2>&1) || fail "systemd-analyze $unit: $out"
        [ -z "$out" ] || fail "systemd-analyze $unit: $out"
    done
fi
if command -v logrotate >/dev/null; then
    logrotate -d /etc/logrotate.d/tindrel >"$work/logrotate.out" 2>&1 ||
        { cat "$work/logrotate.out" >&2; fail "logrotate does not accept /etc/logrotate.d/tindrel"; }
    grep -qi '^error' "$work/logrotate.out" &&
        { cat "$work/logrotate.out" >&2; fail "logrotate reports errors on /etc/logrotate.d/tindrel"; }
fi
dpkg -L tindrel | sort >"$work/package-files"

step "serving one job with the installed daemon"
printf '%%!PS-Adobe-3.0\n/Helvetica findfont 20 scalefont setfont\n72 700 moveto (TINDREL CHECK JOB) show\nshowpage\n' \
    >"$work/job.ps"
for attempt in 1 2 3 4 5; do
    pport=$(random_port)
    socat -u "TCP-LISTEN:$pport,bind=127.0.0.1,reuseaddr" "OPEN:$work/printed,creat,trunc" 2>"$work/printer.err" &
    printer=$!
    sleep 0.3
    kill -0 "$printer" 2>/dev/null && break
    printer=
done
[ -n "$printer" ] || fail "no port for the fake printer"

for attempt in 1 2 3 4 5; do
    proxy=$(random_port)
    sed -e "s/^proxy-port = .*/proxy-port = $proxy/" \
        -e "s/^proxy-ip = .*/proxy-ip = 127.0.0.1/" \
        -e "s/^printer-port = .*/printer-port = $pport/" \
        -e "s/^idletime = .*/idletime = 10/" \
        -e "s/^retry-printer = .*/retry-printer = 0/" /etc/tindrel.conf >"$work/tindrel.conf"
    /usr/sbin/tindrel -v -C "$work/tindrel.conf" -d >"$work/daemon.out" 2>&1 &
    daemon=$!
    wait_for 10 grep -q "waiting for requests" "$work/daemon.out" && break
    kill "$daemon" 2>/dev/null || true
    daemon=
    grep -q "bind" "$work/daemon.out" || fail "the installed daemon did not start"
done
[ -n "$daemon" ] || fail "no port for the daemon"
[ "$(ps -o uid= -p "$daemon" | tr -d ' ')" = "$uid" ] || fail "the daemon runs as uid $(ps -o uid= -p "$daemon")"

timeout 30 nc -N 127.0.0.1 "$proxy" <"$work/job.ps" || fail "sending the job"
wait_for 30 grep -q "Sent bytes =\[$(wc -c <"$work/job.ps")\]" /var/lib/tindrel/tindrel.log ||
    fail "no end-of-job line in /var/lib/tindrel/tindrel.log"
job_arrived() { tail -c "$(wc -c <"$work/job.ps")" "$work/printed" | cmp -s - "$work/job.ps"; }
wait_for 10 job_arrived || fail "the job did not arrive whole at the printer"
size=$(wc -c </var/lib/tindrel/tindrel.ps)
cmp -s -n "$size" /var/lib/tindrel/tindrel.ps "$work/printed" || fail "the printer did not get the face page first"
grep -q '(IP ADDRESS : 127.0.0.1) N' "$work/printed" || fail "the face page lacks the client's address"
[ "$(stat -c %U /var/lib/tindrel/tindrel.log)" = tindrelusr ] || fail "the job log is not the run user's"
kill "$daemon"
wait "$daemon" 2>/dev/null || true
daemon=

step "purging"
dpkg --purge tindrel || fail "dpkg --purge"
installed=
[ ! -e /etc/tindrel.conf ] || fail "/etc/tindrel.conf is left after the purge"
[ ! -e /var/lib/tindrel ] || fail "/var/lib/tindrel is left after the purge: $(ls -A /var/lib/tindrel)"
while read -r f; do
    # Shared directories such as /usr/share/man stay; anything else of the package must go.
    [ -d "$f" ] || [ ! -e "$f" ] || fail "$f is left after the purge"
done <"$work/package-files"
[ ! -e /usr/share/tindrel ] || fail "/usr/share/tindrel is left after the purge"
left=$(find /etc/systemd/system /var/lib/systemd/deb-systemd-helper-enabled \
    /var/lib/systemd/deb-systemd-helper-masked -name 'tindrel*' 2>/dev/null || true)
[ -z "$left" ] || fail "systemd links or state left after the purge: $left"
getent passwd tindrelusr >/dev/null || fail "the purge removed the user tindrelusr"

step "all checks passed"
