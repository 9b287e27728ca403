#!/bin/sh
# After the tests: names each test that was skipped, with the reason it
# gave, which ctest itself only counts. The tests wrote them to LOG.
# Usage: skipped.sh LOG
[ -s "$1" ] || exit 0
echo "Skipped, and why:"
sort -u "$1" | sed 's/^/  /'
