#!/usr/bin/env bash
# The Debian package, end to end, without touching this machine: makes the
# .deb from a built tree (default build), checks it with lintian (no errors
# allowed), then installs, upgrades, removes and purges it in a disposable
# root: a private mount namespace with an overlay over / on a tmpfs, entered
# with chroot. Needs root.
#   tests/package/package_test.sh [TREE]
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
tree=$(cd "${1:-$here/../../build}" && pwd)
scratch=$(mktemp -d /tmp/telvad-package.XXXXXX)
trap 'rm -rf "$scratch"' EXIT

fail() { echo "package test: $*" >&2; exit 1; }

# --- the package ---
(cd "$tree" && cpack -G DEB -D CPACK_OUTPUT_FILE_PREFIX="$scratch/out" >"$scratch/cpack.log" 2>&1) ||
  { cat "$scratch/cpack.log"; fail "cpack failed"; }
debs=("$scratch"/out/*.deb)
((${#debs[@]} == 1)) || fail "cpack made ${#debs[@]} packages"
deb=${debs[0]}
echo "package: $(basename "$deb"), $(stat -c %s "$deb") bytes"
dpkg-deb --field "$deb" Version Installed-Size Depends

# A later version of the same contents, for the upgrade.
dpkg-deb --raw-extract "$deb" "$scratch/upgrade"
sed -i -E 's/^(Version: .*-)([0-9]+)$/\1999/' "$scratch/upgrade/DEBIAN/control"
dpkg-deb --root-owner-group --build "$scratch/upgrade" "$scratch/upgrade.deb" >/dev/null

# --- lintian: warnings are listed, errors fail ---
lintian --fail-on error --display-info "$deb" | tee "$scratch/lintian.log" ||
  fail "lintian found errors"
echo "lintian: $(grep -c '^E:' "$scratch/lintian.log" || true) errors," \
  "$(grep -c '^W:' "$scratch/lintian.log" || true) warnings"

# --- the disposable root ---
cp "$deb" "$scratch/telvad.deb"
cp "$here/in_root.sh" "$scratch/"
unshare --mount --propagation private bash -euo pipefail -c '
  scratch=$1
  layer=$scratch/layer root=$scratch/layer/root
  mkdir -p "$layer"
  mount -t tmpfs tmpfs "$layer"
  mkdir -p "$layer/upper" "$layer/work" "$root"
  mount -t overlay overlay -o "lowerdir=/,upperdir=$layer/upper,workdir=$layer/work" "$root"
  mount -t proc proc "$root/proc"
  mount --rbind /dev "$root/dev"
  mount --rbind /sys "$root/sys"
  mount -t tmpfs tmpfs "$root/run"
  mount -t tmpfs tmpfs "$root/tmp"
  cp "$scratch/telvad.deb" "$scratch/upgrade.deb" "$scratch/in_root.sh" "$root/tmp/"
  chroot "$root" /bin/bash /tmp/in_root.sh
  # Nothing of ours may be left in the layer that took every change, but for
  # the formatted page that the check of "man telvad" left in the man cache.
  left=$(cd "$layer/upper" && find . -path ./var/cache/man -prune -o \
           \( -iname "*telvad*" -o -iname "*lineward*" \) -print)
  if [[ -n $left ]]; then
    echo "package test: left behind after purge:" $left >&2
    exit 1
  fi
  echo "purge: nothing of telvad left behind"
' package-root "$scratch" || fail "the disposable root failed"
echo "package test: passed"
