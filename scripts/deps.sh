#!/usr/bin/env bash
# Installs, with apt-get, every Debian package that the build, the tests,
# the benchmarks and the demo need; packages already present are skipped.
set -euo pipefail
packages=(
  build-essential cmake make git pkg-config zip unzip time procps curl ca-certificates
  googletest libgtest-dev libbenchmark-dev libcurl4-openssl-dev
  clang libclang-rt-14-dev llvm
  g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev binutils-mingw-w64-x86-64 wine64
  g++-mingw-w64-i686-posix mingw-w64-i686-dev binutils-mingw-w64-i686 wine32:i386
  hyperfine valgrind lighttpd apache2 nginx fcgiwrap wrk strace
  libfcgi-dev libfcgi-bin spawn-fcgi libssl-dev systemd iproute2
  dpkg-dev file lintian scdoc man-db doxygen
  libexpected-dev
  libcgicc-dev libcgi-pm-perl golang-go python3-multipart
  chromium nodejs nlohmann-json3-dev
)
# npm comes with the machine's nodejs package; Debian's own npm package
# would fight it, so it is checked for, not installed.
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${missing[*]}; run as root or install them with apt-get" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  # The 32-bit Windows build runs under 32-bit Wine, an i386 package.
  if [ "$(dpkg --print-architecture)" != i386 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
fi
# The Windows builds compile libfcgi from Debian's source package
# (`apt-get source libfcgi`), which needs a deb-src entry for the archive the
# machine already uses: the same addresses, suites and keys as its deb
# entries, in a file of its own.
if ! apt-cache showsrc libfcgi 2>/dev/null | grep -q '^Package: libfcgi'; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "no deb-src entry for libfcgi's source; run as root to add one" >&2
    exit 1
  fi
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    sed -e 's/^Types:.*/Types: deb-src/' /etc/apt/sources.list.d/debian.sources \
      > /etc/apt/sources.list.d/cgiecho-src.sources
  else
    grep -h '^deb ' /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null \
      | sed -e 's/^deb /deb-src /' > /etc/apt/sources.list.d/cgiecho-src.list
  fi
  apt-get update -qq
  apt-cache showsrc libfcgi 2>/dev/null | grep -q '^Package: libfcgi' \
    || { echo "libfcgi's source package is still not known to apt" >&2; exit 1; }
fi
command -v npm >/dev/null || { echo "npm is missing (it ships with nodejs)" >&2; exit 1; }
