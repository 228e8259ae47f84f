#!/usr/bin/env bash
# Stops the development update server started with start.sh in DIR.
set -euo pipefail
pidfile="${1:?dir}/nginx.pid"
[ -s "$pidfile" ] || exit 0
pid="$(cat "$pidfile")"
kill "$pid" 2>/dev/null || true
for _ in $(seq 50); do
  kill -0 "$pid" 2>/dev/null || exit 0
  sleep 0.1
done
kill -9 "$pid" 2>/dev/null || true
