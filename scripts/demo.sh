#!/usr/bin/env bash
# Installs what is missing, builds, and runs a whole update on the demo
# installation against a package served from 127.0.0.1.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo > build.configure.log 2>&1 \
    || { cat build.configure.log; exit 1; }
cmake --build build -j"$(nproc)" --target update standins
python3 scripts/demo.py --build build "$@"
