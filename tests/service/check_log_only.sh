#!/bin/sh
# check_log_only.sh - every line the supervisor process writes to standard error goes
# through its log module: no other source of the supervisor's side (the folders given)
# names stderr, std::cerr or perror. Exit 1, naming each place, when one does.
set -eu
found=$(grep -rnE '\bstderr\b|std::cerr|\bperror *\(' --include='*.cpp' --include='*.h' "$@" \
    | grep -v '/common/log\.cpp:' || true)
if [ -n "$found" ]; then
    echo "written around the log module:" >&2
    echo "$found" >&2
    exit 1
fi
