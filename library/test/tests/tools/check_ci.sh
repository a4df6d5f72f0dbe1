#!/bin/sh
# check_ci.sh MODE PROGRAM [SCHEMA...]: runs check_ci.py beside this script (what
# a program offers CI systems and test runners that split a suite). Exits 77
# (skipped) when python3 is not there.
if ! command -v python3 >/dev/null 2>&1; then
    echo "check_ci: skipped: python3 is not installed"
    exit 77
fi
exec python3 "$(dirname "$0")/check_ci.py" "$@"
