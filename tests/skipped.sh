#!/bin/sh
# After the tests: names each test that was skipped, with the reason it gave
# (GoogleTest's "Skipped" message, or a script's "skipped: ..." line), which
# ctest itself only counts. A skip inside an entry that runs many tests (the
# Wine and qemu-user ones) names that test too.  Usage: skipped.sh BUILD_DIR
log=$1/Testing/Temporary/LastTest.log
[ -f "$log" ] || exit 0
awk '
  / Testing: / { sub(/^[0-9]+\/[0-9]+ Testing: /, ""); sub(/  # GetParam.*/, ""); entry = $0; inner = ""; next }
  /^\[ RUN      \] / { inner = substr($0, 14); next }
  reason_next { reasons[label] = $0; reason_next = 0; next }
  /: Skipped$/ {
    label = (inner == "" || inner == entry) ? entry : entry ", " inner
    if (!(label in reasons)) reason_next = 1
    next
  }
  /^skipped: / { if (!(entry in reasons)) reasons[entry] = substr($0, 10); next }
  END {
    for (t in reasons) n++
    if (n == 0) exit
    print "Skipped, and why:"
    for (t in reasons) print "  " t ": " reasons[t] | "sort"
  }' "$log"
