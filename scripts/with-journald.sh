#!/bin/sh
# Runs a command beside a private systemd-journald and writes what the
# journal holds afterwards (JSON, one entry a line) to a file:
#
#   unshare --mount --propagation private scripts/with-journald.sh OUT.json CMD ARGS...
#
# Inside the private mount namespace, tmpfs folders stand in for the
# journal's sockets and storage, so the machine's own journal (if any) is
# neither used nor disturbed. The rate limit is off. OUT "-" keeps nothing.
# Exits with the command's status, or 77 when the journal cannot be started
# here (the command has not run then).
set -u
out="$1"
shift
for folder in /run/systemd /run/log /var/log/journal; do
  mkdir -p "$folder" && mount -t tmpfs tmpfs "$folder" || exit 77
done
mkdir -p /run/systemd/journald.conf.d
printf '[Journal]\nStorage=volatile\nRateLimitIntervalSec=0\nRateLimitBurst=0\n' \
  >/run/systemd/journald.conf.d/test.conf
/lib/systemd/systemd-journald >/dev/null 2>&1 &
journald=$!
tries=0
until [ -S /run/systemd/journal/socket ]; do
  tries=$((tries + 1))
  [ "$tries" -gt 200 ] && { kill "$journald"; exit 77; }
  sleep 0.05
done
"$@"
status=$?
# journald stores what it has received before it answers the flush request.
if [ "$out" != - ]; then
  journalctl --sync >/dev/null 2>&1 || sleep 1
  journalctl -D /run/log/journal -o json --no-pager >"$out" 2>/dev/null
fi
kill "$journald"
wait "$journald" 2>/dev/null
exit "$status"
