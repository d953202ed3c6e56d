#!/usr/bin/env bash
# Checks the Debian package that scripts/package wrote (scripts/test runs it before ctest), without installing it:
#   1. lintian finds no errors (its whole output is printed);
#   2. the control fields: version, the ODBC packages and the libraries' packages among the dependencies;
#   3. the file list holds the programs, the desktop files, the manual pages and the systemd user units;
#   4. unpacked into a throwaway folder, both programs print the version, and tessaline-backup its help; the manual
#      page lists every option of that help, the environment, the exit statuses and the files; systemd accepts the
#      units;
#   5. the maintainer scripts, run against a throwaway ODBC driver list (ODBCSYSINI) and DPKG_ROOT: "SQL Server" is
#      registered only when missing, and removing takes away only the registration that the package made.
# Usage: check.sh FOLDER-OF-THE-DEB VERSION
set -euo pipefail

folder=${1:?usage: check.sh FOLDER-OF-THE-DEB VERSION}
version=${2:?usage: check.sh FOLDER-OF-THE-DEB VERSION}
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
fatal() {
    echo "FAIL: $*" >&2
    exit 1
}
for tool in dpkg-deb lintian odbcinst systemd-analyze man; do
    command -v "$tool" >/dev/null || fatal "$tool is not installed (scripts/setup installs it)"
done

deb="$folder/tessaline_${version}_$(dpkg --print-architecture).deb"
[ -f "$deb" ] || fatal "$deb is missing: scripts/package writes it (scripts/test runs it before ctest)"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# 1. lintian: errors fail, warnings and the rest are shown.
echo "--- lintian"
lintian --fail-on error --pedantic --info "$deb" || fail "lintian reports errors"

# 2. Control fields.
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "Version is $(dpkg-deb -f "$deb" Version), not $version"
depends=$(dpkg-deb -f "$deb" Depends)
echo "--- Depends: $depends"
for package in tdsodbc unixodbc odbcinst libqt6core6 libqt6widgets6 libodbc2 libqt6keychain1 libsecret-1-0 libisal2; do
    [[ ", $depends," == *", $package"[\ ,]* ]] || fail "Depends lacks $package"
done
# rclone makes the copy of each backup to another place, a Secret Service keeps the password: recommended, not needed
# for anything else.
recommends=$(dpkg-deb -f "$deb" Recommends)
for wanted in rclone "gnome-keyring | kwalletmanager | keepassxc"; do
    case ", $recommends, " in
    *", $wanted, "*) ;;
    *) fail "Recommends is \"$recommends\", without $wanted" ;;
    esac
done

# 3. The file list.
dpkg-deb -c "$deb" | awk '{ print $NF }' | sed 's|^\./|/|' >"$work/files"
for path in /usr/bin/tessaline /usr/bin/tessaline-backup \
    /usr/share/applications/tessaline.desktop \
    /usr/share/icons/hicolor/16x16/apps/tessaline.png /usr/share/icons/hicolor/32x32/apps/tessaline.png \
    /usr/share/icons/hicolor/48x48/apps/tessaline.png /usr/share/icons/hicolor/scalable/apps/tessaline.svg \
    /usr/share/tessaline/local-connection-example.jpg \
    /usr/share/man/man1/tessaline-backup.1.gz /usr/share/man/man1/tessaline.1.gz \
    /usr/lib/systemd/user/tessaline-backup.service /usr/lib/systemd/user/tessaline-backup.timer \
    /usr/share/doc/tessaline/copyright /usr/share/doc/tessaline/changelog.gz; do
    grep -qxF "$path" "$work/files" || fail "the package lacks $path"
done

# 4. The unpacked programs and files.
root="$work/root"
dpkg-deb -x "$deb" "$root"
export HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" TEMP="$work"
mkdir -p "$HOME"
out=$("$root/usr/bin/tessaline-backup" --version) || fail "tessaline-backup --version exits $?"
[ "$out" = "tessaline-backup $version" ] || fail "tessaline-backup --version says '$out'"
# The window program answers --version without a display.
out=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$root/usr/bin/tessaline" --version) ||
    fail "tessaline --version exits $?"
[ "$out" = "tessaline $version" ] || fail "tessaline --version says '$out'"
help=$("$root/usr/bin/tessaline-backup" --help) || fail "tessaline-backup --help exits $?"
[ -z "$(ls -A "$HOME")" ] || fail "--help and --version wrote into the home folder: $(ls -A "$HOME")"

# The manual page as plain text: roff's font changes and escaped hyphens taken out.
manual=$(zcat "$root/usr/share/man/man1/tessaline-backup.1.gz" | sed -e 's/\\f[A-Z]//g' -e 's/\\[,/]//g' -e 's/\\-/-/g')
options=$(grep -oE '^ +(-[a-zA-Z], )?--[a-z-]+' <<<"$help" | grep -oE -- '--[a-z-]+')
[ "$(wc -l <<<"$options")" -ge 8 ] || fail "--help lists too few options: $options"
for option in $options; do
    grep -qE -- "(^|[ ,])$option( |$)" <<<"$manual" || fail "the manual page lacks $option"
done
for section in OPTIONS ENVIRONMENT "EXIT STATUS" FILES; do
    grep -qxE "\.SH \"?$section\"?" <<<"$manual" || fail "the manual page lacks the section $section"
done
for word in TESSALINE_PASSWORD TDSVER Brackwell/Brackwell.ini backups.log /usr/lib/systemd/user/tessaline-backup.timer \
    "systemctl --user edit tessaline-backup.timer"; do
    grep -qF -- "$word" <<<"$manual" || fail "the manual page does not mention $word"
done

# The units run the packaged command; the timer can be enabled. systemd checks them as it would load them, with the
# command and the manual page of their Documentation= found in the unpacked folder.
units="$root/usr/lib/systemd/user"
grep -qx 'ExecStart=/usr/bin/tessaline-backup' "$units/tessaline-backup.service" ||
    fail "the service does not start /usr/bin/tessaline-backup"
grep -qx 'WantedBy=timers.target' "$units/tessaline-backup.timer" || fail "the timer has no WantedBy=timers.target"
mkdir "$work/units"
sed "s|^ExecStart=/usr/bin/|ExecStart=$root/usr/bin/|" "$units/tessaline-backup.service" \
    >"$work/units/tessaline-backup.service"
cp "$units/tessaline-backup.timer" "$work/units/"
MANPATH="$root/usr/share/man" systemd-analyze verify "$work/units/tessaline-backup.service" \
    "$work/units/tessaline-backup.timer" || fail "systemd-analyze verify finds fault with the units"
# A version bump needs a changelog entry.
zcat "$root/usr/share/doc/tessaline/changelog.gz" | head -n 1 | grep -qF "tessaline ($version)" ||
    fail "the changelog's first entry is not version $version"

# 5. The maintainer scripts.
control="$work/control"
dpkg-deb -e "$deb" "$control"
driver=$(dpkg-query -L tdsodbc | grep '/libtdsodbc\.so$' | head -n 1)
[ -n "$driver" ] || fatal "libtdsodbc.so not found in package tdsodbc"
# As dpkg runs them: DPKG_ROOT and DPKG_ADMINDIR set (the package database stays the system's).
export ODBCSYSINI="$work/etc" DPKG_ROOT="$work/target" DPKG_ADMINDIR=/var/lib/dpkg
marker="$DPKG_ROOT/var/lib/tessaline/odbc-driver"
drivers() { cat "$ODBCSYSINI/odbcinst.ini" 2>/dev/null || true; }
sections() { drivers | grep -c '^\[SQL Server\]$' || true; }
registered() { odbcinst -q -d -n "SQL Server" 2>/dev/null | sed -n 's/^Driver=//p'; }
fresh() {
    rm -rf "$ODBCSYSINI" "$DPKG_ROOT"
    mkdir -p "$ODBCSYSINI" "$DPKG_ROOT"
}

# No driver of that name: the postinst registers FreeTDS's, once; the postrm removes it and its marker.
fresh
"$control/postinst" configure || fail "postinst configure exits $?"
"$control/postinst" configure || fail "a second postinst configure exits $?"
[ "$(registered)" = "$driver" ] || fail "postinst registered '$(registered)', not $driver: $(drivers)"
[ "$(sections)" = 1 ] || fail "postinst registered \"SQL Server\" $(sections) times: $(drivers)"
grep -q 'UsageCount=1$' "$ODBCSYSINI/odbcinst.ini" || fail "the second configure counted a second use: $(drivers)"
[ -f "$marker" ] || fail "postinst left no marker"
"$control/postrm" upgrade || fail "postrm upgrade exits $?"
[ "$(registered)" = "$driver" ] || fail "postrm upgrade removed the registration"
"$control/postrm" remove || fail "postrm remove exits $?"
[ "$(sections)" = 0 ] || fail "postrm remove left the registration: $(drivers)"
[ ! -e "$DPKG_ROOT/var/lib/tessaline" ] || fail "postrm remove left $DPKG_ROOT/var/lib/tessaline"
"$control/postrm" purge || fail "postrm purge after remove exits $?"

# A driver of that name registered by someone else: left alone on install and on removal.
fresh
printf '[SQL Server]\nDriver=/opt/other/libother.so\n' >"$ODBCSYSINI/odbcinst.ini"
"$control/postinst" configure || fail "postinst configure over another driver exits $?"
[ "$(registered)" = /opt/other/libother.so ] || fail "postinst replaced another driver: $(drivers)"
[ ! -e "$marker" ] || fail "postinst left a marker for a registration it did not make"
"$control/postrm" purge || fail "postrm purge exits $?"
[ "$(registered)" = /opt/other/libother.so ] || fail "postrm purge removed another driver: $(drivers)"

# The package's registration changed since to another driver: removal leaves it and drops the marker.
fresh
"$control/postinst" configure || fail "postinst configure exits $?"
sed -i 's|^Driver=.*|Driver=/opt/other/libother.so|' "$ODBCSYSINI/odbcinst.ini"
"$control/postrm" remove || fail "postrm remove exits $?"
[ "$(registered)" = /opt/other/libother.so ] || fail "postrm removed a registration changed since: $(drivers)"
[ ! -e "$marker" ] || fail "postrm remove left the marker"

# Arguments dpkg never passes are refused.
"$control/postinst" bogus 2>/dev/null && fail "postinst accepts an unknown argument"
"$control/postrm" bogus 2>/dev/null && fail "postrm accepts an unknown argument"

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "OK: $deb"
