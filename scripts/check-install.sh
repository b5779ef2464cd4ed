#!/usr/bin/env bash
# Installs a built tree (default: build/default) as into /usr/local, but
# below a temporary folder (DESTDIR), and checks what a desktop finds there:
# the program, the menu entry and the software-centre description (both
# validators must accept them), the icon in every size, the manual page and
# the console program (which links no Qt) and its user and system units
# (which systemd-analyze must accept), the helpers
# run through pkexec with the polkit action that names them, in the one
# folder polkitd reads whatever the prefix, and nothing else (no test
# program).
# Then builds the Debian package with CPack and checks its control fields
# and contents. Nothing is installed on this machine.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build/default}"

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT

prefix=/usr/local
root="$scratch/root"
polkit_actions=usr/share/polkit-1/actions
expected=(
  bin/sentrel
  bin/sentrel-console
  share/applications/sentrel.desktop
  share/metainfo/org.sentrel.Sentrel.metainfo.xml
  share/man/man1/sentrel.1
  share/doc/sentrel/README.md
  share/icons/hicolor/scalable/apps/sentrel.svg
  lib/systemd/user/sentrel-console@.service
  lib/systemd/system/sentrel-console@.service
  libexec/sentrel/sentrel-watch-limit
  libexec/sentrel/sentrel-helper
)
for size in 16 22 24 32 48 64 128 256; do
  expected+=("share/icons/hicolor/${size}x${size}/apps/sentrel.png")
done

echo "== install into $prefix, below a temporary folder"
DESTDIR="$root" cmake --install "$build" --prefix "$prefix" >/dev/null
installed="$(cd "$root" && find . -type f | sed 's|^\./||' | sort)"
wanted="$( (printf "${prefix#/}/%s\n" "${expected[@]}"; echo "$polkit_actions/org.sentrel.Sentrel.policy") | sort)"
if [ "$installed" != "$wanted" ]; then
  echo "The installed files differ from the expected ones:" >&2
  diff <(echo "$wanted") <(echo "$installed") >&2 || true
  exit 1
fi
installed_prefix="$root$prefix"
desktop-file-validate "$installed_prefix/share/applications/sentrel.desktop"
appstreamcli validate --no-net "$installed_prefix/share/metainfo/org.sentrel.Sentrel.metainfo.xml"
for size in 16 48 256; do
  file "$installed_prefix/share/icons/hicolor/${size}x${size}/apps/sentrel.png" |
    grep -q "PNG image data, $size x $size" || { echo "The ${size}x${size} icon is no PNG of that size" >&2; exit 1; }
done
grep -q '^Sentrel ' <<<"$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$installed_prefix/bin/sentrel" --version)"
for manager in user system; do
  unit="$installed_prefix/lib/systemd/$manager/sentrel-console@.service"
  grep -qx "ExecStart=$prefix/bin/sentrel-console --journal \$SENTREL_OPTIONS -- %f" "$unit" ||
    { echo "The $manager unit does not start the installed program" >&2; grep ExecStart "$unit" >&2; exit 1; }
  # A missing folder is a condition to wait for, not a failure to repeat;
  # the journal's limit stays above what the console sends one by one.
  for setting in 'ConditionPathIsDirectory=%f' 'RestartPreventExitStatus=2' 'StartLimitBurst=5' \
    'LogRateLimitIntervalSec=30s' 'LogRateLimitBurst=20000'; do
    grep -qx "$setting" "$unit" || { echo "The $manager unit has no $setting" >&2; exit 1; }
  done
  # systemd-analyze looks for the program the unit starts: where it lies here.
  sed "s|^ExecStart=$prefix/|ExecStart=$installed_prefix/|" "$unit" >"$scratch/sentrel-console@home-ann.service"
  systemd-analyze verify --man=no "$scratch/sentrel-console@home-ann.service"
done

helper_path='<annotate key="org.freedesktop.policykit.exec.path">%s</annotate>'
for helper in sentrel-watch-limit sentrel-helper; do
  grep -qF "$(printf "$helper_path" "$prefix/libexec/sentrel/$helper")" \
    "$root/$polkit_actions/org.sentrel.Sentrel.policy" ||
    { echo "The polkit action, where polkitd reads it, does not name the installed $helper" >&2; exit 1; }
  [ -x "$installed_prefix/libexec/sentrel/$helper" ] || { echo "The $helper is not executable" >&2; exit 1; }
done
# The privileged helper and the console program link no toolkit.
for program in libexec/sentrel/sentrel-helper bin/sentrel-console; do
  if grep -q Qt <<<"$(ldd "$installed_prefix/$program")"; then
    echo "$program links Qt" >&2
    exit 1
  fi
done
grep -q '^Sentrel ' <<<"$("$installed_prefix/bin/sentrel-console" --version)"

echo "== Debian package"
cpack --config "$build/CPackConfig.cmake" -B "$scratch/package" >/dev/null
package="$(ls "$scratch"/package/sentrel_*.deb)"
dpkg-deb -I "$package" >"$scratch/control"
for field in 'Package: sentrel' 'Depends: .*libqt6widgets6' 'Depends: .*qt6-qpa-plugins'; do
  grep -Eq "^ $field" "$scratch/control" || { echo "The package's control has no '$field'" >&2; cat "$scratch/control" >&2; exit 1; }
done
packaged="$(dpkg-deb -c "$package" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./||' | sort)"
wanted="$( (printf "usr/%s\n" "${expected[@]}"; echo "$polkit_actions/org.sentrel.Sentrel.policy") | sort)"
if [ "$packaged" != "$wanted" ]; then
  echo "The package's files differ from the expected ones:" >&2
  diff <(echo "$wanted") <(echo "$packaged") >&2 || true
  exit 1
fi
# Unpacked to a folder first: a grep -q that stops reading early would break the pipe into
# dpkg-deb, and pipefail would take that for a failed check.
dpkg-deb -x "$package" "$scratch/unpacked"
for manager in user system; do
  grep -qx 'ExecStart=/usr/bin/sentrel-console --journal $SENTREL_OPTIONS -- %f' \
    "$scratch/unpacked/usr/lib/systemd/$manager/sentrel-console@.service" ||
    { echo "The package's $manager unit does not start /usr/bin/sentrel-console" >&2; exit 1; }
done
for helper in sentrel-watch-limit sentrel-helper; do
  grep -qF "$(printf "$helper_path" /usr/libexec/sentrel/$helper)" \
    "$scratch/unpacked/usr/share/polkit-1/actions/org.sentrel.Sentrel.policy" ||
    { echo "The package's polkit action does not name /usr/libexec/sentrel/$helper" >&2; exit 1; }
done
echo "Installed tree and package: $(basename "$package"), $(stat -c %s "$package") bytes, as expected."
