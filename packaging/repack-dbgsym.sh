#!/usr/bin/env bash
# Completes the -dbgsym package that CPack makes: md5sums with paths inside the package, debug files not
# executable, and its documentation folder a link to that of ovn-utility (on which it depends), which holds
# the copyright and the changelog.
#   repack-dbgsym.sh DDEB
set -euo pipefail
DDEB=$1
W=$(mktemp -d)
trap 'rm -rf "$W"' EXIT
dpkg-deb -R "$DDEB" "$W/root"
chmod 0755 "$W/root"
find "$W/root/usr" -type f -exec chmod 0644 {} +
install -d -m 0755 "$W/root/usr/share/doc"
ln -s ovn-utility "$W/root/usr/share/doc/ovn-utility-dbgsym"
(cd "$W/root" && find usr -type f -print0 | sort -z | xargs -0 md5sum) >"$W/root/DEBIAN/md5sums"
chmod 0644 "$W/root/DEBIAN/md5sums"
dpkg-deb --root-owner-group -Zxz -z3 -b "$W/root" "$DDEB" >/dev/null
