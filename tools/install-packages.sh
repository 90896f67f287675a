#!/bin/sh
# Installs the Debian packages a make target needs, those that are missing only. One line says
# which packages and for what before apt-get runs; apt-get's own output is kept in a log that is
# shown only if it fails.  Usage: install-packages.sh PURPOSE PACKAGE...
set -eu
purpose=$1
shift
missing=""
for package in "$@"; do
  dpkg-query -W -f='${Status}\n' "$package" 2>/dev/null | grep -q '^install ok installed' ||
    missing="$missing $package"
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" != 0 ]; then
  echo "$purpose needs these Debian packages; install them as root:$missing" >&2
  exit 1
fi
echo "$purpose: installing$missing"
log=$(mktemp)
export DEBIAN_FRONTEND=noninteractive
# shellcheck disable=SC2086
if ! { apt-get update -qq && apt-get install -y -qq --no-install-recommends $missing; } \
  >"$log" 2>&1; then
  cat "$log" >&2
  rm -f "$log"
  exit 1
fi
rm -f "$log"
