#!/usr/bin/env bash
# Installs, with apt-get, every Debian package that the build, the tests,
# the benchmarks and the demo need; packages already present are skipped.
set -euo pipefail
packages=(
  build-essential cmake make git pkg-config zip unzip time procps curl ca-certificates
  googletest libgtest-dev libbenchmark-dev libcurl4-openssl-dev
  clang libclang-rt-14-dev llvm
  g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev binutils-mingw-w64-x86-64 wine64
  hyperfine lighttpd apache2 nginx fcgiwrap wrk
  chromium nodejs npm
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
  echo "missing packages: ${missing[*]}; run as root or install them with apt-get" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
