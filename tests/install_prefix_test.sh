#!/bin/sh
# Installs the build into a temporary folder (DESTDIR) and runs the installed
# zk27 from there: the programs, the udev rule, the desktop entry, the icon
# and the players file must all land where the installation puts them. Then
# the Debian package is made from the same build and read back. Exits 77
# (skipped, saying why) when a tool that checks a part is missing.
# Usage: install_prefix_test.sh BUILD_DIR INSTALL_PREFIX
set -eu
build=$1
prefix=$2
root=$(mktemp -d "${TMPDIR:-/tmp}/zk27-install-test-XXXXXX")
trap 'rm -rf "$root"' EXIT

DESTDIR="$root" cmake --install "$build" >"$root.log" 2>&1 || { cat "$root.log"; rm -f "$root.log"; exit 1; }
rm -f "$root.log"

fail=0
for f in bin/zk27 bin/zk27-player lib/udev/rules.d/70-zk27.rules lib/systemd/user/zk27-import.service \
         share/applications/zk27-manager.desktop \
         share/icons/hicolor/scalable/apps/zk27-manager.svg \
         share/man/man1/zk27.1.gz share/man/man1/zk27-player.1.gz \
         share/doc/zk27/copyright share/bash-completion/completions/zk27; do
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

# The manual pages as Debian compresses them (gzip -9n): no file name, no
# time stamp, the greatest compression (byte 8 is 2), and the page whole.
for page in "$root$prefix"/share/man/man1/*.1.gz; do
  header=$(od -An -tx1 -N9 "$page" | tr -d ' \n')
  case $header in
    1f8b08000000000002) ;;
    *) echo "$page is not compressed as gzip -9n does: header $header"; fail=1 ;;
  esac
  gzip -t "$page" || fail=1
done
# A rule of the user's own goes where an upgrade leaves it.
grep -q '/etc/udev/rules.d' "$root$prefix/lib/udev/rules.d/70-zk27.rules" ||
  { echo "the udev rule does not send the user to /etc/udev/rules.d"; fail=1; }

# The import on plug-in is off until a user asks: the rule's line that
# would start it for everyone stays a comment, and the unit runs the import
# with the user's settings.
rule="$root$prefix/lib/udev/rules.d/70-zk27.rules"
if grep -v '^#' "$rule" | grep -q 'SYSTEMD_USER_WANTS'; then
  echo "the udev rule starts the import for every user"; fail=1
fi
grep -q '^#.*TAG+="systemd", ENV{SYSTEMD_USER_WANTS}+="zk27-import.service"' "$rule" ||
  { echo "the udev rule lacks the on-plug line, commented out"; fail=1; }
unit="$root$prefix/lib/systemd/user/zk27-import.service"
grep -qx 'Type=oneshot' "$unit" && grep -qx 'ExecStart=zk27 import --notify' "$unit" ||
  { echo "zk27-import.service does not run 'zk27 import --notify' once"; fail=1; }

skip=""
if command -v desktop-file-validate >/dev/null 2>&1; then
  said=$(desktop-file-validate "$root$prefix/share/applications/zk27-manager.desktop" 2>&1) || fail=1
  [ -z "$said" ] || { echo "desktop-file-validate: $said"; fail=1; }
else
  skip="desktop-file-validate is missing (desktop-file-utils; scripts/setup installs it)"
fi

# The package: stripped programs, each dependency named once.
if command -v cpack >/dev/null 2>&1 && command -v dpkg-deb >/dev/null 2>&1; then
  cpack --config "$build/CPackConfig.cmake" -G DEB -B "$root/package" >"$root/package.log" 2>&1 ||
    { cat "$root/package.log"; fail=1; }
  deb=$(find "$root/package" -maxdepth 1 -name '*.deb' | head -n 1)
  if [ -n "$deb" ]; then
    depends=$(dpkg-deb -f "$deb" Depends)
    case " $depends," in
      *" libsndfile1"[\ ,]*) ;;
      *) echo "Depends lacks libsndfile1: $depends"; fail=1 ;;
    esac
    twice=$(echo "$depends" | tr ',' '\n' | sed 's/^ *//; s/[ (].*//' | sort | uniq -d)
    [ -z "$twice" ] || { echo "Depends names $twice more than once: $depends"; fail=1; }
    dpkg-deb -x "$deb" "$root/unpacked"
    [ -f "$root/unpacked/usr/lib/systemd/user/zk27-import.service" ] ||
      { echo "the package lacks the user unit zk27-import.service"; fail=1; }
    for program in "$root"/unpacked/usr/bin/*; do
      if readelf -S "$program" | grep -q -e '\.debug_info' -e '\.symtab'; then
        echo "$(basename "$program") is packaged unstripped"; fail=1
      fi
    done
  else
    echo "cpack made no package"; fail=1
  fi
else
  skip="cpack or dpkg-deb is missing"
fi

if [ $fail -eq 0 ] && [ -n "$skip" ]; then echo "skipped: $skip"; exit 77; fi

[ $fail -eq 0 ] && echo "installed into $root$prefix and ran zk27 from there"
exit $fail
