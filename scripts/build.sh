#!/usr/bin/env bash
# Configures and builds one build tree: scripts/build.sh <dir> [cmake options...]
# Builds are serialised through a lock file, so two builds never share the CPUs.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:?build directory}
shift
jobs=${TARNWICK_JOBS:-$(nproc)}
exec 9>"${TMPDIR:-/tmp}/tarnwick-build.lock"
flock 9
cmake -S . -B "$dir" "$@" >/dev/null
cmake --build "$dir" -j "$jobs"
