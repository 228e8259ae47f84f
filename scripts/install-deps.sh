#!/usr/bin/env bash
# Installs the Debian 12 packages that are missing, through apt-get as root (or through sudo).
#   scripts/install-deps.sh                 what building and running the program needs
#   scripts/install-deps.sh --test          that, and what the tests, fuzzers and benchmarks need
#   scripts/install-deps.sh --list [--test] prints those packages and installs nothing
# The tests start nginx on a loopback port of their own; the system's nginx service that the package
# brings is neither started nor enabled at boot.
set -euo pipefail

run_packages=(
  build-essential cmake ninja-build pkg-config git
  qt6-base-dev libqt6opengl6-dev qt6-qpa-plugins libgl-dev libgl1-mesa-dri libglx-mesa0 fonts-dejavu-core
  libqt6svg6 qt6-image-formats-plugins  # channel logos in SVG and WebP
  libmpv-dev libcurl4-openssl-dev libzip-dev zlib1g-dev libicu-dev
)
test_packages=(
  libgtest-dev libgmock-dev libbenchmark-dev  # GoogleTest suites, Google Benchmark programs
  xvfb xauth                                  # tests in a real window: xvfb-run
  nginx zip                                   # the development update server and its archives
  dbus-daemon libglib2.0-bin                  # media controls: dbus-run-session, gdbus
  desktop-file-utils appstream                # per-user install: desktop-file-validate, appstreamcli
  clang libclang-rt-14-dev                    # sanitizer and libFuzzer builds
  clang-format                                # the format check of scripts/test.sh
  unzip curl mpv x11-utils python3            # benchmark references (unzip, curl, mpv, xwininfo), its table
)

list=0
packages=("${run_packages[@]}")
for arg in "$@"; do
  case "$arg" in
    --test) packages+=("${test_packages[@]}") ;;
    --list) list=1 ;;
    -h | --help) sed -n '2,7p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "install-deps.sh: unknown argument $arg (see --help)" >&2; exit 2 ;;
  esac
done
if [ "$list" -eq 1 ]; then
  printf '%s\n' "${packages[@]}"
  exit 0
fi

installed() { dpkg-query -W -f='${db:Status-Status}\n' "$1" 2>/dev/null | grep -qx installed; }
missing=()
for p in "${packages[@]}"; do
  installed "$p" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps.sh: all ${#packages[@]} packages are installed"
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then
    exec sudo "$0" "$@"
  fi
  self=$(cd "$(dirname "$0")" && pwd)/$(basename "$0")
  cat >&2 <<EOF
install-deps.sh: these packages are missing: ${missing[*]}
Installing them needs root, and sudo is not installed. Run this as root (su asks for root's password):

    su -c '$self${*:+ $*}'

then start the command again.
EOF
  exit 1
fi

export DEBIAN_FRONTEND=noninteractive
apt-get update -qq

# A system nginx newly installed here must not start (it would listen on port 80) nor start at boot.
new_nginx=0
if [[ " ${missing[*]} " == *" nginx "* ]] && ! installed nginx-common; then new_nginx=1; fi
policy=/usr/sbin/policy-rc.d
restore_policy() {
  if [ -e "$policy.castora-saved" ]; then mv -f "$policy.castora-saved" "$policy"; else rm -f "$policy"; fi
}
if [ "$new_nginx" -eq 1 ]; then
  [ ! -e "$policy" ] || mv -f "$policy" "$policy.castora-saved"
  trap restore_policy EXIT
  printf '#!/bin/sh\n# Written by install-deps.sh for the length of one install: start no service.\nexit 101\n' >"$policy"
  chmod 755 "$policy"
fi

apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null

if [ "$new_nginx" -eq 1 ]; then
  restore_policy
  trap - EXIT
  if [ -d /run/systemd/system ]; then
    systemctl disable --now --quiet nginx.service
  else
    systemctl disable --quiet nginx.service 2>/dev/null || true
    /etc/init.d/nginx stop >/dev/null 2>&1 || true
  fi
  update-rc.d nginx disable >/dev/null 2>&1 || true
  echo "install-deps.sh: installed nginx for the tests; its system service is stopped and disabled"
fi
echo "install-deps.sh: installed ${missing[*]}"
