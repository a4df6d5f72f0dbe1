#!/bin/sh
# check_junit_xml.sh SCHEMA EXTRA_SCHEMA PROGRAM ARGS...: runs PROGRAM ARGS...
# (a run in the JUnit format) and checks that its standard output is one line
# and a well-formed XML document (xmllint --noout). With SCHEMA other than "-",
# the document must also be valid against that schema file, and against
# EXTRA_SCHEMA too where that file exists ("-" for none). Exits 77 (skipped)
# when xmllint is missing.
set -u
schema=$1
extra_schema=$2
shift 2

if ! command -v xmllint >/dev/null 2>&1; then
    echo "check_junit_xml: skipped: xmllint is not installed"
    exit 77
fi
if [ "$schema" != "-" ] && [ ! -f "$schema" ]; then
    echo "check_junit_xml: no schema at $schema"
    exit 1
fi

tmp=$(mktemp -d) || exit 1
trap 'rm -rf "$tmp"' EXIT
unset ZUNO_TEST_THREADS ZUNO_TEST_NOCAPTURE ZUNO_TEST_SHUFFLE ZUNO_TEST_SHUFFLE_SEED
ZUNOC_BOOTSTRAP=1
export ZUNOC_BOOTSTRAP

"$@" >"$tmp/report.xml"
status=$?
case $status in
0 | 101) ;;
*)
    echo "check_junit_xml: $* ended with status $status"
    exit 1
    ;;
esac
lines=$(wc -l <"$tmp/report.xml")
if [ "$lines" -ne 1 ] || [ "$(tail -c 1 "$tmp/report.xml" | od -An -c | tr -d ' ')" != '\n' ]; then
    echo "check_junit_xml: the document is not a single line ended by a line feed ($lines lines)"
    exit 1
fi
xmllint --noout "$tmp/report.xml" || exit 1
if [ "$schema" = "-" ]; then
    echo "check_junit_xml: one line, well-formed"
    exit 0
fi
xmllint --noout --schema "$schema" "$tmp/report.xml" || exit 1
echo "check_junit_xml: one line, well-formed and valid against $schema"
if [ "$extra_schema" != "-" ] && [ -f "$extra_schema" ]; then
    xmllint --noout --schema "$extra_schema" "$tmp/report.xml" || exit 1
    echo "check_junit_xml: valid against $extra_schema as well"
fi
