#!/usr/bin/env bash
# Installs what is needed, builds Tarnwick and converts the sample image.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
bash scripts/build.sh build -DCMAKE_BUILD_TYPE=Release -DTARNWICK_TESTS=OFF
mkdir -p out
set -x
./build/tarnwick samples/sample.jpg -O"$PWD/out/sample.png" -P3 -W320 -H240 -F3 || true
