#!/bin/sh
# Runs every test as ctest does, then says why each skipped test was skipped: ctest shows a test's
# own output only when it fails, so each notes its reason in skipped.log. Exits as ctest did.
ctest=$1
build=$2
rm -f "$build/skipped.log"
"$ctest" --test-dir "$build" --output-on-failure
status=$?
if [ -s "$build/skipped.log" ]; then
    echo "Skipped, and why:"
    sed 's/^/  /' "$build/skipped.log"
fi
exit $status
