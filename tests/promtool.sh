#!/bin/sh
# Runs promtool, from Debian's prometheus package, with the arguments given;
# without it, fails and says where it comes from. "check-metrics-files
# FOLDER" checks every *.prom file in FOLDER, of which there must be one.
if ! command -v promtool >/dev/null 2>&1; then
  echo "promtool not found: Debian's prometheus package brings it (scripts/setup-debian.sh)" >&2
  exit 1
fi
if [ "$1" != check-metrics-files ]; then
  exec promtool "$@"
fi
found=0
for file in "$2"/*.prom; do
  [ -f "$file" ] || continue
  found=$((found + 1))
  promtool check metrics < "$file" || { echo "$file: promtool check metrics failed" >&2; exit 1; }
done
if [ "$found" -eq 0 ]; then
  echo "no status files in $2" >&2
  exit 1
fi
echo "$found status files pass promtool check metrics"
