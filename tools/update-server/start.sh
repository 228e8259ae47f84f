#!/usr/bin/env bash
# Starts the development update server on 127.0.0.1.
#   start.sh PORT DIR [GLOBAL_DAT [FULL_KEY]]
# DIR receives the configuration, logs and the archives: free.zip holds GLOBAL_DAT (default: the sample
# catalogue's global.dat), full.zip the same list. Submissions are logged to DIR/submissions.log.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
port="${1:?port}"
root="$(mkdir -p "$2" && cd "$2" && pwd)"
global="${3:-$here/../../data/global.dat}"
full_key="${4:-full}"

mkdir -p "$root/www/archives" "$root/tmp" "$root/stage"
cp "$global" "$root/stage/global.dat"
rm -f "$root/www/archives/free.zip" "$root/www/archives/full.zip"
(cd "$root/stage" && zip -q -X "$root/www/archives/free.zip" global.dat)
cp "$root/www/archives/free.zip" "$root/www/archives/full.zip"
chmod -R a+rX "$root"

user=""
[ "$(id -u)" -eq 0 ] && user="user root;"
sed -e "s|@PORT@|$port|g" -e "s|@ROOT@|$root|g" -e "s|@FULL_KEY@|$full_key|g" -e "s|@USER@|$user|" \
    "$here/nginx.conf.in" >"$root/nginx.conf"
nginx=/usr/sbin/nginx
command -v nginx >/dev/null && nginx="$(command -v nginx)"
"$nginx" -p "$root" -c "$root/nginx.conf" -e "$root/error.log"
for _ in $(seq 50); do
  [ -s "$root/nginx.pid" ] && break
  sleep 0.1
done
echo "update server on 127.0.0.1:$port (pid $(cat "$root/nginx.pid"))"
