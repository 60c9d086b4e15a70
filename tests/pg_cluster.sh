#!/usr/bin/env bash
# A private PostgreSQL cluster for the tests: "start DIR" makes one in a temporary folder (as an
# unprivileged user when run as root), listening only on a socket there, and writes its
# connection string to DIR/conninfo; "restart DIR" restarts it, dropping every connection;
# "stop DIR" stops it and removes both. Without PostgreSQL's server programs, start
# writes no conninfo and the tests that need the server say they are skipped.
set -euo pipefail
action=$1 dir=$2
bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1 || true)
as_owner() { if [ "$(id -u)" -eq 0 ]; then runuser -u nobody -- "$@"; else "$@"; fi; }
case "$action" in
  start)
    "$0" stop "$dir"
    mkdir -p "$dir"
    if [ -z "$bin" ] || [ ! -x "$bin/initdb" ]; then
      echo "pg_cluster: PostgreSQL's server is not installed (Debian: postgresql); its tests are skipped"
      exit 0
    fi
    # Short and reachable by the unprivileged owner, whatever the build folder's path.
    cluster=$(mktemp -d /tmp/halyard-pg.XXXXXX)
    echo "$cluster" > "$dir/cluster"
    [ "$(id -u)" -eq 0 ] && chown nobody "$cluster"
    as_owner "$bin/initdb" -D "$cluster/data" -U halyard --auth=trust -E UTF8 --no-sync > "$dir/initdb.log" 2>&1
    as_owner "$bin/pg_ctl" -D "$cluster/data" -l "$cluster/server.log" -w -t 60 \
      -o "-k $cluster -c listen_addresses='' -c fsync=off -c max_connections=200" start > /dev/null
    echo "host=$cluster user=halyard dbname=postgres" > "$dir/conninfo"
    ;;
  restart)
    cluster=$(cat "$dir/cluster")
    as_owner "$bin/pg_ctl" -D "$cluster/data" -m fast -w -t 60 restart > /dev/null
    ;;
  stop)
    if [ -f "$dir/cluster" ]; then
      cluster=$(cat "$dir/cluster")
      if [ -n "$bin" ] && [ -f "$cluster/data/postmaster.pid" ]; then
        as_owner "$bin/pg_ctl" -D "$cluster/data" -m immediate -w stop > /dev/null || true
      fi
      rm -rf "$cluster"
    fi
    rm -rf "$dir"
    ;;
  *) echo "usage: pg_cluster.sh start|restart|stop DIR" >&2; exit 2 ;;
esac
