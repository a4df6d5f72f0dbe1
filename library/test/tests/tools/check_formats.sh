#!/bin/sh
# check_formats.sh MODE PROGRAM: reads a test program's JSON or JUnit output
# back with real parsers (check_formats.py beside this script). Without a
# working python3, the JSON modes fall back to jq: every line must parse as an
# object and the listed names must equal those of the pretty listing. Exits
# 77 (skipped) when neither tool is there.
set -u
mode=$1
program=$2
here=$(dirname "$0")

if python3 -c 'import json, xml.etree.ElementTree' >/dev/null 2>&1; then
    exec python3 "$here/check_formats.py" "$mode" "$program"
fi
case $mode in
json-*) ;;
*)
    echo "check_formats: skipped: $mode needs python3"
    exit 77
    ;;
esac
if ! command -v jq >/dev/null 2>&1; then
    echo "check_formats: skipped: neither python3 nor jq is available"
    exit 77
fi

tmp=$(mktemp -d) || exit 1
trap 'rm -rf "$tmp"' EXIT
unset ZUNO_TEST_THREADS ZUNO_TEST_NOCAPTURE ZUNO_TEST_SHUFFLE ZUNO_TEST_SHUFFLE_SEED \
    TILO_STANDIN_EXIT TILO_STANDIN_SIGNAL TILO_STANDIN_MATCH TILO_STANDIN_SLEEP_MS
ZUNOC_BOOTSTRAP=1
export ZUNOC_BOOTSTRAP

"$program" --list >"$tmp/pretty" || exit 1
"$program" --list -Z unstable-options --format json >"$tmp/list" || exit 1
"$program" --test-threads 1 -Z unstable-options --format json --show-output >"$tmp/run"
case $? in 0 | 101) ;; *) exit 1 ;; esac

for stream in list run; do
    lines=$(wc -l <"$tmp/$stream")
    objects=$(jq -c 'if type == "object" then . else error("not an object") end' <"$tmp/$stream" | wc -l)
    if [ "$lines" -ne "$objects" ] || [ "$lines" -eq 0 ]; then
        echo "check_formats: $stream: $lines lines but $objects JSON objects"
        exit 1
    fi
done
sed -n '/^$/q; s/: \(test\|benchmark\)$//p' "$tmp/pretty" >"$tmp/names"
jq -r 'select(.event == "discovered") | .name' <"$tmp/list" >"$tmp/listed"
jq -r 'select(.type == "test" and .event == "started") | .name' <"$tmp/run" >"$tmp/started"
for got in listed started; do
    if ! cmp -s "$tmp/names" "$tmp/$got"; then
        echo "check_formats: $got names differ from the pretty listing"
        diff "$tmp/names" "$tmp/$got"
        exit 1
    fi
done
echo "check_formats: $mode: every line parses (jq) and names round-trip"
