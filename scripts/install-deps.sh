#!/usr/bin/env bash
# Installs what the build and the tests need on Debian, when it is missing.
set -euo pipefail
packages=(cmake g++ ninja-build googletest libgtest-dev mingw-w64 wine wine64 clang libclang-rt-14-dev
  mandoc lintian man-db dpkg-dev "$@")
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || missing+=("$package")
done
[[ ${#missing[@]} == 0 ]] && exit 0
echo "Installing: ${missing[*]}"
sudo=""
[[ $(id -u) == 0 ]] || sudo="sudo"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
