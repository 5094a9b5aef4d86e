#!/usr/bin/env bash
# Installs the Debian packages Tarnwick needs to build and test. Safe to run again.
set -euo pipefail
pkgs=(cmake g++ make pkg-config ca-certificates
      libjpeg62-turbo-dev libpng-dev zlib1g-dev libopenjp2-7-dev
      libgtest-dev libgmock-dev libbenchmark-dev
      libjpeg-turbo-progs imagemagick python3-pil)
missing=()
for p in "${pkgs[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
