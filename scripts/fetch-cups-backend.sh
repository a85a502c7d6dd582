#!/bin/sh
# Unpacks the CUPS "socket" backend (the JetDirect client of CUPS, shipped in
# Debian's cups package) for the packaging tests, without installing that
# package or starting the system's print server, and its PostScript filter
# pstops (from cups-core-drivers). The tests run the backend alone and from a
# private scheduler (scripts/packages-cups.txt). The tests look for them under
# /var/cache/tindrel-test (or wherever TINDREL_CUPS_BACKEND points).
# Needs root and a current apt package list; the libraries it links
# (libcups2) come from scripts/packages-test.txt.
set -e

cache=${TINDREL_TEST_CACHE:-/var/cache/tindrel-test}
mkdir -p "$cache/debs"
cd "$cache/debs"
rm -f cups_*.deb
# apt's download user must be able to write here, or apt warns and falls back to root.
chown _apt "$cache/debs" 2>/dev/null || true
apt-get download cups
rm -rf "$cache/cups"
dpkg-deb -x cups_*.deb "$cache/cups"
backend="$cache/cups/usr/lib/cups/backend-available/socket"
test -x "$backend"
echo "CUPS socket backend: $backend"

# CUPS's PostScript filter, which writes the header comments (%%For:,
# %%Title:, %%Pages: (atend)) that tindrel reads for the face page.
rm -f cups-core-drivers_*.deb
apt-get download cups-core-drivers
rm -rf "$cache/cups-filters"
dpkg-deb -x cups-core-drivers_*.deb "$cache/cups-filters"
pstops="$cache/cups-filters/usr/lib/cups/filter/pstops"
test -x "$pstops"
echo "CUPS pstops filter: $pstops"
