#!/usr/bin/env bash
# Installs, from Debian's packages, whatever the chosen part of the build
# lacks. Usage: tools/install-deps.sh linux|all|bench (bench: the Linux set and
# the pingers the benchmark measures NIVOR against)
set -euo pipefail

linux_packages=(cmake ninja-build g++ clang libclang-rt-14-dev googletest libgtest-dev python3 iproute2 util-linux
                procps dpkg-dev man-db libcap2-bin)
windows_packages=(g++-mingw-w64-i686 binutils-mingw-w64-i686 wine wine32:i386 file)
bench_packages=(iputils-ping fping python3-matplotlib)

wanted=("${linux_packages[@]}")
case "${1:-all}" in
  all) wanted+=("${windows_packages[@]}") ;;
  bench) wanted+=("${bench_packages[@]}") ;;
esac

missing=()
for package in "${wanted[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q '^install ok installed$'; then
    missing+=("$package")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
# Wine's 32-bit half comes from the i386 architecture.
if printf '%s\n' "${missing[@]}" | grep -q ':i386$' && ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${as_root[@]}" dpkg --add-architecture i386
fi
"${as_root[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
