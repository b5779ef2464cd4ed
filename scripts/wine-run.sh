#!/usr/bin/env bash
# Runs a Windows program under Wine, quietly and in a Wine prefix of its
# own (WINEPREFIX, else one in the temporary folder), made on first use; the
# windows-cross build runs its tests through this. "--end" ends the
# prefix's Wine server instead, which otherwise lingers a few seconds.
set -euo pipefail
wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine="$(command -v wine64 || command -v wine || true)"
[ -n "$wine" ] || { echo "wine-run: Wine is not installed (Debian package wine64)" >&2; exit 127; }
export WINEDEBUG=-all
export WINEPREFIX="${WINEPREFIX:-${TMPDIR:-/tmp}/sentrel-wine-$(id -u)}"
if [ "${1:-}" = "--end" ]; then
  [ -d "$WINEPREFIX" ] && "$(dirname "$wine")/wineserver" -k 2>/dev/null || true
  exit 0
fi
# Made by one caller at a time: wineboot sets the prefix up once.
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  (flock 9; [ -f "$WINEPREFIX/system.reg" ] || "$wine" wineboot --init >/dev/null 2>&1) 9>"$WINEPREFIX.lock"
fi
exec "$wine" "$@"
