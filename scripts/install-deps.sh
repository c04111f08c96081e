#!/usr/bin/env bash
# Installs, with apt-get and only when missing, what the tool needs:
#   scripts/install-deps.sh build   building the tool alone (scripts/run.sh)
#   scripts/install-deps.sh [all]   building it and running every test: clang, GoogleTest,
#                                   mingw-w64, Wine and the test peers (mbpoll, socat, a FUSE
#                                   file system) as well
set -euo pipefail

# A build tool counts as there when its command is, however it came (a CMake from Kitware's
# tarball, a compiler built locally): the first build on a ready machine must not wait for apt.
declare -A commandOf=([cmake]=cmake [ninja-build]=ninja [g++]=g++)
build=(cmake ninja-build g++)
case "${1:-all}" in
  build) packages=("${build[@]}") ;;
  all)
    packages=("${build[@]}" clang libclang-rt-dev libgtest-dev libgmock-dev util-linux procps
      iproute2 mbpoll g++-mingw-w64-x86-64 googletest wine wine64 socat fuse3 libfuse3-dev
      pkg-config)
    ;;
  *)
    echo "usage: $0 [build|all]" >&2
    exit 2
    ;;
esac

missing=()
for package in "${packages[@]}"; do
  command="${commandOf[$package]:-}"
  if [ -n "$command" ] && command -v "$command" >/dev/null; then continue; fi
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
    missing+=("$package")
done
if ((${#missing[@]})); then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "Installing with apt-get: ${missing[*]}" >&2
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi
