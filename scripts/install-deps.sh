#!/bin/sh
# Installs the Debian packages that building and running tindrel need
# (scripts/packages.txt); with --tests also those of the test suite
# (scripts/packages-test.txt), the CUPS scheduler and clients the tests run
# (scripts/packages-cups.txt) and the CUPS backend they use.
# Run as root, or as a user who may use sudo.
set -e
cd "$(dirname "$0")"
lists=packages.txt
case "${1:-}" in
"") ;;
--tests) lists="packages.txt packages-test.txt" ;;
*)
    echo "usage: install-deps.sh [--tests]" >&2
    exit 2
    ;;
esac
as_root=
[ "$(id -u)" -eq 0 ] || as_root=sudo
$as_root apt-get update
# shellcheck disable=SC2046,SC2086 # one word per package
DEBIAN_FRONTEND=noninteractive $as_root apt-get install -y $(cat $lists | grep -v '^#')
[ "${1:-}" = --tests ] || exit 0
# shellcheck disable=SC2046 # one word per package
DEBIAN_FRONTEND=noninteractive $as_root apt-get install -y --no-install-recommends $(grep -v '^#' packages-cups.txt)
$as_root sh ./fetch-cups-backend.sh
