#!/bin/sh
# Runs node's test runner in ua/ on the given files. Without node or ua/node_modules the test is skipped
# (exit 77), except under CI=true, where a missing peer is a failure.
ua_dir=$1
shift
missing=
command -v node >/dev/null 2>&1 || missing="node is not installed"
[ -z "$missing" ] && [ ! -d "$ua_dir/node_modules/node-opcua" ] && missing="$ua_dir/node_modules is missing (run: cd ua && npm ci)"
if [ -n "$missing" ]; then
  if [ "$CI" = "true" ]; then
    echo "FAIL: $missing" >&2
    exit 1
  fi
  echo "SKIP: $missing" >&2
  exit 77
fi
cd "$ua_dir" || exit 1
exec node --test "$@"
