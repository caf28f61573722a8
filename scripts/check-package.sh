#!/usr/bin/env bash
# Checks a Debian package built by `make package`: its contents, lintian, the
# desktop entry, the AppStream metainfo and the man pages, and that every file
# names the same version. As root it also installs the package, runs both
# programs from /usr/bin, and removes it again.
# usage: scripts/check-package.sh PACKAGE.deb
set -euo pipefail

if [ $# -ne 1 ] || [ ! -f "$1" ]; then
  echo "usage: $0 PACKAGE.deb" >&2
  exit 2
fi
deb=$(realpath "$1")
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT

fail() {
  echo "check-package: $*" >&2
  exit 1
}

echo "-- contents of $(basename "$deb")"
dpkg-deb --info "$deb"
dpkg-deb --contents "$deb"
dpkg-deb --extract "$deb" "$unpacked"

for path in usr/bin/talvex-updater usr/bin/talvex-cli \
  usr/share/applications/talvex-updater.desktop usr/share/mime/packages/talvex-updater.xml \
  usr/share/applications/talvex-updater-station.desktop \
  usr/share/metainfo/com.vantor.talvex_updater.metainfo.xml \
  usr/share/icons/hicolor/16x16/apps/talvex-updater.png \
  usr/share/icons/hicolor/32x32/apps/talvex-updater.png \
  usr/share/icons/hicolor/128x128/apps/talvex-updater.png \
  usr/share/man/man1/talvex-updater.1.gz usr/share/man/man1/talvex-cli.1.gz \
  usr/share/doc/talvex-updater/copyright usr/share/doc/talvex-updater/changelog.gz \
  usr/lib/udev/rules.d/70-talvex-updater.rules; do
  [ -f "$unpacked/$path" ] || fail "the package lacks /$path"
done

echo "-- lintian"
lintian --fail-on error,warning "$deb"

echo "-- desktop entry and AppStream metainfo"
desktop-file-validate "$unpacked/usr/share/applications/talvex-updater.desktop"
desktop-file-validate "$unpacked/usr/share/applications/talvex-updater-station.desktop"
appstreamcli validate --no-net "$unpacked/usr/share/metainfo/com.vantor.talvex_updater.metainfo.xml"

echo "-- man pages"
for page in talvex-updater talvex-cli; do
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$unpacked/usr/share/man/man1/$page.1.gz" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "man page $page.1 has warnings: $warnings"
done

echo "-- one version everywhere"
version=$(dpkg-deb --field "$deb" Version)
metainfo_version=$(sed -n 's/.*<release version="\([^"]*\)".*/\1/p' \
  "$unpacked/usr/share/metainfo/com.vantor.talvex_updater.metainfo.xml")
changelog_version=$(zcat "$unpacked/usr/share/doc/talvex-updater/changelog.gz" | sed -n '1s/^talvex-updater (\([^)]*\)).*/\1/p')
for page in talvex-updater talvex-cli; do
  page_version=$(zcat "$unpacked/usr/share/man/man1/$page.1.gz" | sed -n 's/^\.TH .*"TALVEX Updater \([^"]*\)".*/\1/p')
  [ "$page_version" = "$version" ] || fail "man page $page.1 names version '$page_version', the package $version"
done
[ "$metainfo_version" = "$version" ] || fail "the metainfo release is '$metainfo_version', the package $version"
[ "$changelog_version" = "$version" ] || fail "the changelog names '$changelog_version', the package $version"
echo "all name $version"

if [ "$(id -u)" -ne 0 ]; then
  echo "-- not root: the package is not installed"
  exit 0
fi

echo "-- install, run from /usr/bin, remove"
export DEBIAN_FRONTEND=noninteractive
remove_package() { apt-get -o DPkg::Lock::Timeout=600 purge -y -qq talvex-updater >/dev/null; }
trap 'remove_package || true; rm -rf "$unpacked"' EXIT
apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "$deb"

[ "$(/usr/bin/talvex-cli --version)" = "talvex-cli $version" ] || fail "talvex-cli --version is not 'talvex-cli $version'"
/usr/bin/talvex-cli --help | grep -q '^usage: talvex-cli ' || fail "talvex-cli --help shows no usage"
[ -d /etc/talvex-updater/trusted-keys ] || fail "installing did not make /etc/talvex-updater/trusted-keys"

# The window must come up and stay up; asked to end, it must shut down in
# order and exit with 0, not die from the signal or crash on the way out.
seconds=5
home=$(mktemp -d)
QT_QPA_PLATFORM=offscreen XDG_CONFIG_HOME="$home" /usr/bin/talvex-updater &
pid=$!
sleep "$seconds"
if ! kill -0 "$pid" 2>/dev/null; then
  status=0
  wait "$pid" || status=$?
  fail "talvex-updater ended within $seconds s (status $status)"
fi
kill -TERM "$pid"
status=0
wait "$pid" || status=$?
rm -rf "$home"
[ "$status" -eq 0 ] || fail "talvex-updater exited with $status after SIGTERM"
echo "talvex-updater ran $seconds s and shut down cleanly"

remove_package
[ ! -e /usr/bin/talvex-cli ] && [ ! -e /usr/bin/talvex-updater ] || fail "removing the package left its programs"
[ ! -e /etc/talvex-updater/trusted-keys ] || fail "purging left the empty /etc/talvex-updater/trusted-keys"
trap 'rm -rf "$unpacked"' EXIT
echo "-- package installed, ran and removed"
