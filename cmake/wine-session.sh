#!/bin/sh
# Keeps one Wine server up for a whole test run, so that each test program
# starts in a fraction of a second instead of waiting for a server of its own.
#   wine-session.sh start   creates the prefix once, starts a persistent server
#                           and boots the prefix (its background services start
#                           here, detached from the test runner's pipes)
#   wine-session.sh stop    ends the server and every Wine process of the prefix
# Uses $WINEPREFIX; the output of Wine itself is discarded.
set -eu
: "${WINEPREFIX:?WINEPREFIX must name the test prefix}"
export WINEPREFIX WINEDEBUG=-all
case "${1:-}" in
  start)
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      wine wineboot -i </dev/null >/dev/null 2>&1
    fi
    # A server still running (from creating the prefix, or left over) cannot
    # be made persistent: end it first.
    wineserver -p </dev/null >/dev/null 2>&1 || {
      wineserver -k </dev/null >/dev/null 2>&1 || true
      wineserver -p </dev/null >/dev/null 2>&1
    }
    wine wineboot </dev/null >/dev/null 2>&1
    ;;
  stop)
    wineserver -k </dev/null >/dev/null 2>&1 || true
    ;;
  *)
    echo "usage: $0 start|stop" >&2
    exit 2
    ;;
esac
