#!/usr/bin/env bash
# Installs what is needed, builds Tarnwick and converts the sample image.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
bash scripts/build.sh build-release -DCMAKE_BUILD_TYPE=Release -DTARNWICK_TESTS=OFF
mkdir -p out
# The main job: a JPEG photo fitted into 320 x 240 with the Lanczos filter, written as PNG.
args=(samples/sample.jpg "-O$PWD/out/sample.png" -P3 -W320 -H240 -F3)
echo "\$ tarnwick ${args[*]}"
rc=0
./build-release/tarnwick "${args[@]}" || rc=$?
echo "exit code: $rc"
exit $rc
