#!/usr/bin/env bash
# Builds the Debian package from a build directory, installs it, runs the installed command-line program
# against an emulated printer, and removes the package again.
set -euo pipefail
BUILD=${1:?usage: test-package.sh BUILD_DIR}
cd "$BUILD"
rm -f ovn-utility_*.deb
cpack -G DEB >/dev/null
DEB=$(ls ovn-utility_*.deb | head -n1)
echo "built $DEB ($(du -h "$DEB" | cut -f1))"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get install -y -qq "./$DEB" >/dev/null
trap '$SUDO apt-get remove -y -qq ovn-utility >/dev/null 2>&1 || true' EXIT
for f in /usr/bin/ovnctl /usr/bin/ovn-utility /usr/share/applications/ovn-utility.desktop \
         /usr/share/man/man1/ovnctl.1 /usr/lib/udev/rules.d/60-ovn-printers.rules \
         /usr/share/ovn-utility/translations/ovn-utility_de.qm; do
  [ -e "$f" ] || [ -e "$f.gz" ] || { echo "missing from the package: $f"; exit 1; }
done
OUT=$(cd / && env -u OVN_RESOURCE_DIR /usr/bin/ovnctl --simulate PL25D --timeout 60 list)
echo "$OUT"
echo "$OUT" | grep -q "PL25" || { echo "the installed ovnctl did not list the emulated printer"; exit 1; }
JSON=$(cd / && env -u OVN_RESOURCE_DIR /usr/bin/ovnctl --simulate PL25D --timeout 60 --json list)
echo "$JSON" | grep -q '"newFirmwareVersion"' || { echo "the installed ovnctl found no firmware catalogue"; exit 1; }
echo "package installs and runs"
