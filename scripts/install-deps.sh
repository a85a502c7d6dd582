#!/bin/sh
# Installs the Debian packages that building and testing tindrel need.
# Run as root, or as a user who may use sudo.
set -e
cd "$(dirname "$0")"
as_root=
[ "$(id -u)" -eq 0 ] || as_root=sudo
$as_root apt-get update
DEBIAN_FRONTEND=noninteractive $as_root apt-get install -y $(grep -v '^#' packages.txt)
$as_root sh ./fetch-cups-backend.sh
