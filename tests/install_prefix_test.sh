#!/bin/sh
# Installs the build into a temporary folder (DESTDIR) and runs the installed
# zk27 from there: the programs, the udev rule, the desktop entry, the icon
# and the players file must all land where the installation puts them.
# Usage: install_prefix_test.sh BUILD_DIR INSTALL_PREFIX
set -eu
build=$1
prefix=$2
root=$(mktemp -d "${TMPDIR:-/tmp}/zk27-install-test-XXXXXX")
trap 'rm -rf "$root"' EXIT

DESTDIR="$root" cmake --install "$build" >"$root.log" 2>&1 || { cat "$root.log"; rm -f "$root.log"; exit 1; }
rm -f "$root.log"

fail=0
for f in bin/zk27 bin/zk27-player lib/udev/rules.d/70-zk27.rules \
         share/applications/zk27-manager.desktop \
         share/icons/hicolor/scalable/apps/zk27-manager.svg \
         share/man/man1/zk27.1 share/man/man1/zk27-player.1 \
         share/bash-completion/completions/zk27; do
  if [ ! -f "$root$prefix/$f" ]; then echo "missing: $prefix/$f"; fail=1; fi
done
if [ -z "$(find "$root" -path '*/zk27/players' -type f)" ]; then echo "missing: the players file"; fail=1; fi

# The installed program runs from the installed place, away from the build.
out=$(cd "$root" && "$root$prefix/bin/zk27" --help) || { echo "zk27 --help failed"; fail=1; }
case $out in
  "Usage: zk27 "*) ;;
  *) echo "zk27 --help printed: $out"; fail=1 ;;
esac
case $out in
  *devices*) ;;
  *) echo "zk27 --help does not name 'devices'"; fail=1 ;;
esac
"$root$prefix/bin/zk27-player" --help >/dev/null 2>&1 || { echo "zk27-player --help failed"; fail=1; }

[ $fail -eq 0 ] && echo "installed into $root$prefix and ran zk27 from there"
exit $fail
