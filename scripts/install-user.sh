#!/usr/bin/env bash
# Builds the program and installs it for the current user:
#   - the program with its lists and tone.wav in one writable directory (PREFIX, default
#     ~/.local/share/castora-player), where it also keeps local.dat and the update archive;
#   - its launcher, icon and AppStream file under $XDG_DATA_HOME (default ~/.local/share).
# Installing again replaces the program but keeps every list already in PREFIX (local.dat, and lists
# an update brought). CASTORA_BUILD_DIR names the build directory to use (default build-run/, the
# program alone, as scripts/run.sh builds it).
#
#   scripts/install-user.sh [PREFIX]
#   scripts/install-user.sh --uninstall [PREFIX]   removes the program and launcher, keeps the lists
set -euo pipefail

uninstall=0
if [ "${1:-}" = "--uninstall" ]; then
  uninstall=1
  shift
fi
case "${1:-}" in -h|--help) sed -n '2,11p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;; esac

data_home="${XDG_DATA_HOME:-$HOME/.local/share}"
prefix="${1:-$data_home/castora-player}"
[ "$uninstall" -eq 1 ] || mkdir -p "$prefix"
# The launcher needs absolute paths.
[ -d "$prefix" ] && prefix="$(cd "$prefix" && pwd)"

if [ "$uninstall" -eq 1 ]; then
  rm -f "$prefix/castora-player" "$data_home/applications/castora-player.desktop" \
        "$data_home/icons/hicolor/scalable/apps/castora-player.svg" \
        "$data_home/metainfo/org.castora.Player.metainfo.xml"
  echo "Removed the program and its launcher; the lists stay in $prefix"
  exit 0
fi

cd "$(dirname "$0")/.."
build="${CASTORA_BUILD_DIR:-build-run}"
if [ -f "$build/CMakeCache.txt" ]; then
  cmake --build "$build" --target castora-player
else
  CASTORA_BUILD_DIR="$build" scripts/build.sh --program
fi
cmake --install "$build" --prefix "$prefix"

# Menus pick up the new entry sooner where the caches exist.
if command -v update-desktop-database >/dev/null 2>&1; then
  update-desktop-database -q "$data_home/applications" || true
fi
if command -v gtk-update-icon-cache >/dev/null 2>&1 && [ -f "$data_home/icons/hicolor/index.theme" ]; then
  gtk-update-icon-cache -q -t "$data_home/icons/hicolor" || true
fi
echo "Installed into $prefix; start \"Castora Player\" from the menu, or: (cd \"$prefix\" && ./castora-player)"
