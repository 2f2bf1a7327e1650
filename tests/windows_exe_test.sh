#!/usr/bin/env bash
# kelvo.exe, kelvo-list.exe and kelvo-gui.exe must start on any 32-bit Windows as they are:
# each one PE32 program for i386, statically linked, that imports nothing but Windows' own
# libraries: the console programs KERNEL32.dll and msvcrt.dll alone, the window those and
# the ones that draw it (USER32, GDI32, the common controls and dialogs). The window's
# manifest asks for the administrator's rights that the pass-through needs.
#
#   windows_exe_test.sh <kelvo.exe> [<kelvo-list.exe> <kelvo-gui.exe> ...]
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
    subsystem=00000003  # the console
    imports="KERNEL32.dll msvcrt.dll "
    if [ "$name" = kelvo-gui.exe ]; then
        subsystem=00000002  # a window
        imports="COMCTL32.DLL COMDLG32.DLL GDI32.dll KERNEL32.dll SHELL32.dll USER32.dll msvcrt.dll ole32.dll "
        expect "$name asks for the administrator" \
            "$(grep -c -a 'requestedExecutionLevel level="requireAdministrator"' "$exe")" 1
    fi
    expect "$name format" "$(sed -n 's/.*file format //p' <<< "$headers" | head -n 1)" "pei-i386"
    expect "$name subsystem" "$(awk '$1 == "Subsystem" { print $2 }' <<< "$headers")" "$subsystem"
    expect "$name imports" "$(sed -n 's/^\tDLL Name: //p' <<< "$headers" | sort | tr '\n' ' ')" \
        "$imports"
done

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
