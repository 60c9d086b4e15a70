#!/usr/bin/env bash
# The API's document is valid OpenAPI 3.1, by a validator that ./setup --with-checkers installs.
# Exit 77 (skipped) when it is not there.
set -euo pipefail
source_dir=$1
validator=$source_dir/.tools/openapi/node_modules/.bin/validate-api
if [ ! -x "$validator" ] || ! command -v node > /dev/null; then
  echo "skipped: no OpenAPI validator (./setup --with-checkers installs one)"
  exit 77
fi
out=$("$validator" "$source_dir/packaging/openapi.json" 2>&1) || true
echo "$out"
grep -q '"valid": true' <<< "$out"
