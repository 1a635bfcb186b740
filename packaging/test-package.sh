#!/usr/bin/env bash
# Builds the Debian package from a build directory, checks it with lintian (any error or warning fails) and its
# AppStream metadata with appstreamcli, installs it, runs the installed command-line program against an
# emulated printer, and removes the package again.
set -euo pipefail
BUILD=${1:?usage: test-package.sh BUILD_DIR}
SRC=$(cd "$(dirname "$0")" && pwd)
cd "$BUILD"
rm -f ovn-utility_*.deb ovn-utility-dbgsym_*.ddeb
cpack -G DEB >/dev/null
DEB=$(ls ovn-utility_*.deb | head -n1)
DBG=$(ls ovn-utility-dbgsym_*.ddeb | head -n1)
echo "built $DEB ($(du -h "$DEB" | cut -f1)) and $DBG ($(du -h "$DBG" | cut -f1))"
# Errors and warnings fail; "I:" and "P:" lines are only shown.
LINT=$(lintian --no-cfg --tag-display-limit 0 "$DEB" "$DBG" 2>&1 || true)
echo "$LINT"
if echo "$LINT" | grep -qE '^[EW]: '; then echo "lintian reports errors or warnings"; exit 1; fi
appstreamcli validate --no-net "$SRC/ovn-utility.metainfo.xml"
CONTENTS=$(dpkg-deb --fsys-tarfile "$DEB" | tar -tv)
grep -q 'usr/bin/ovnctl' <<<"$CONTENTS" || { echo "no ovnctl in $DEB"; exit 1; }
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get install -y -qq "./$DEB" >/dev/null
trap '$SUDO apt-get remove -y -qq ovn-utility >/dev/null 2>&1 || true' EXIT
for f in /usr/bin/ovnctl /usr/bin/ovn-utility /usr/share/applications/ovn-utility.desktop \
         /usr/share/man/man1/ovnctl.1 /usr/share/man/man1/ovn-utility.1 /usr/lib/udev/rules.d/60-ovn-printers.rules \
         /usr/lib/systemd/system/ovnctl-exporter.service /usr/share/doc/ovn-utility/copyright \
         /usr/share/ovn-utility/translations/ovn-utility_de.qm; do
  [ -e "$f" ] || [ -e "$f.gz" ] || { echo "missing from the package: $f"; exit 1; }
done
OUT=$(cd / && env -u OVN_RESOURCE_DIR /usr/bin/ovnctl --simulate PL25D --timeout 60 list)
echo "$OUT"
echo "$OUT" | grep -q "PL25" || { echo "the installed ovnctl did not list the emulated printer"; exit 1; }
JSON=$(cd / && env -u OVN_RESOURCE_DIR /usr/bin/ovnctl --simulate PL25D --timeout 60 --json list)
echo "$JSON" | grep -q '"newFirmwareVersion"' || { echo "the installed ovnctl found no firmware catalogue"; exit 1; }
getent passwd ovn-exporter >/dev/null && id -nG ovn-exporter | grep -qw lp ||
  { echo "the package did not make the ovn-exporter user in the group lp"; exit 1; }
echo "package installs and runs"
