#!/usr/bin/env bash
# kelvo.exe and kelvo-list.exe must start on any 32-bit Windows as they are: each one PE32
# console program for i386, statically linked, that imports nothing but Windows' own
# KERNEL32.dll and msvcrt.dll.
#
#   windows_exe_test.sh <kelvo.exe> [<kelvo-list.exe> ...]
set -u

passed=0
failed=0
expect() {  # NAME ACTUAL EXPECTED
    if [ "$2" = "$3" ]; then
        passed=$((passed + 1))
    else
        echo "FAIL: $1: '$2', expected '$3'"
        failed=$((failed + 1))
    fi
}

for exe in "$@"; do
    name=$(basename "$exe")
    if ! headers=$(i686-w64-mingw32-objdump -p "$exe" 2>&1); then
        echo "FAIL: cannot read $exe"
        failed=$((failed + 1))
        continue
    fi
    expect "$name format" "$(sed -n 's/.*file format //p' <<< "$headers" | head -n 1)" "pei-i386"
    expect "$name subsystem" "$(awk '$1 == "Subsystem" { print $2 }' <<< "$headers")" "00000003"
    expect "$name imports" "$(sed -n 's/^\tDLL Name: //p' <<< "$headers" | sort | tr '\n' ' ')" \
        "KERNEL32.dll msvcrt.dll "
done

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
