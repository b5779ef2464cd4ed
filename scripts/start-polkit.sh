#!/usr/bin/env bash
# Starts what pkexec needs where it is not running (a container, a machine
# booted without them): the system's message bus and polkit's daemon. The
# privileged helper's test asks pkexec as an ordinary user. Root only; a
# leftover rule of an interrupted test run is removed. Prints the process
# numbers of the daemons it started, for the caller to end them.
set -euo pipefail
[ "$(id -u)" -eq 0 ] || exit 0
rm -f /etc/polkit-1/rules.d/49-sentrel-test-*.rules

bus_answers() {
  dbus-send --system --print-reply --dest=org.freedesktop.DBus / org.freedesktop.DBus.GetId >/dev/null 2>&1
}
polkit_answers() {
  dbus-send --system --print-reply --dest=org.freedesktop.DBus / org.freedesktop.DBus.NameHasOwner \
    string:org.freedesktop.PolicyKit1 2>/dev/null | grep -q 'boolean true'
}

if ! bus_answers; then
  mkdir -p /run/dbus
  rm -f /run/dbus/pid
  dbus-daemon --system --fork --print-pid
fi
if ! polkit_answers; then
  setsid /usr/lib/polkit-1/polkitd --no-debug </dev/null >/dev/null 2>&1 &
  echo $!
  for _ in $(seq 50); do
    polkit_answers && break
    sleep 0.1
  done
fi
polkit_answers || { echo "polkit's daemon did not start" >&2; exit 1; }
echo "The system's message bus and polkit's daemon answer." >&2
