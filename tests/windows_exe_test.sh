#!/usr/bin/env bash
# kelvo.exe must start on any 32-bit Windows as it is: one PE32 console program for i386,
# statically linked, that imports nothing but Windows' own KERNEL32.dll and msvcrt.dll.
#
#   windows_exe_test.sh <kelvo.exe>
set -u
exe=$1
headers=$(i686-w64-mingw32-objdump -p "$exe" 2>&1) || { echo "FAIL: cannot read $exe"; exit 1; }

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

expect "format" "$(sed -n 's/.*file format //p' <<< "$headers" | head -n 1)" "pei-i386"
expect "subsystem" "$(awk '$1 == "Subsystem" { print $2 }' <<< "$headers")" "00000003"
expect "imports" "$(sed -n 's/^\tDLL Name: //p' <<< "$headers" | sort | tr '\n' ' ')" \
    "KERNEL32.dll msvcrt.dll "

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
