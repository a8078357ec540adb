#!/usr/bin/env bash
# Installs the Debian packages named that are not installed yet, with apt-get, when run as
# root; otherwise names the missing ones and fails. Options before the packages go to
# apt-get install (for example --no-install-recommends).
# Usage: scripts/install-packages.sh [APT_OPTION...] PACKAGE...
set -euo pipefail

options=()
while [ "$#" -gt 0 ] && [ "${1#-}" != "$1" ]; do
  options+=("$1")
  shift
done
missing=()
for package in "$@"; do
  dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if [ "${#missing[@]}" -eq 0 ]; then
  exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "Missing Debian packages (install them as root): ${missing[*]}" >&2
  exit 1
fi
echo "Installing: ${missing[*]}"
apt-get update -qq
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${options[@]}" "${missing[@]}" >/dev/null
