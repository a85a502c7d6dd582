#!/bin/sh
# Builds tindrel and shows the configuration it would run with.
set -e
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$(nproc)" --target tindrel
./build/tindrel -C /nonexistent -c || true
