#!/usr/bin/env bash
# with-test-journal.sh OUTPUT COMMAND...: runs COMMAND beside a system
# journal of its own, and writes what the journal kept from Sentrel to
# OUTPUT as JSON (journalctl -o json), one entry a line. The journal is a
# real systemd-journald, started in a private mount namespace whose /run is
# empty, so that neither the machine's journal nor its sockets are touched.
# A SIGTERM is passed on to COMMAND; the exit code is COMMAND's.
# Needs root (for the namespace); run it through private-mounts.sh.
set -u
output=$1
shift
journald=/lib/systemd/systemd-journald
[ -x "$journald" ] || journald=/usr/lib/systemd/systemd-journald

# /var/log/journal is covered only where it is: made, it would keep the
# machine's own journal on disk from its next start.
for folder in /run/systemd /run/log /var/log/journal; do
  [ "$folder" = /var/log/journal ] && [ ! -d "$folder" ] && continue
  mkdir -p "$folder" && mount -t tmpfs tmpfs "$folder" || { echo "with-test-journal: cannot mount $folder" >&2; exit 125; }
done
mkdir -p /run/systemd/journal
"$journald" 2>/dev/null &
journal=$!
for _ in $(seq 100); do
  [ -S /run/systemd/journal/socket ] && break
  sleep 0.05
done

"$@" &
child=$!
trap 'kill -TERM "$child" 2>/dev/null' TERM
wait "$child"
code=$?
# A wait cut short by the trap: wait for the end itself.
if kill -0 "$child" 2>/dev/null || [ "$code" -gt 128 ]; then
  wait "$child"
  code=$?
fi
journalctl -D /run/log/journal --sync >/dev/null 2>&1
journalctl -D /run/log/journal -o json SYSLOG_IDENTIFIER=sentrel >"$output" 2>/dev/null
kill "$journal" 2>/dev/null
wait "$journal" 2>/dev/null
exit "$code"
