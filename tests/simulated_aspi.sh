# Sourced by the tests that run a program against the simulated ASPI library, as the host
# build or as the product under Wine:
#
#   . simulated_aspi.sh host <folder of WNASPI32.DLL> <make_image> <program> [program that runs them]
#   . simulated_aspi.sh wine32 <WNASPI32.DLL> <make_image> <program.exe> [program that runs make_image]
#
# host: the host program finds the library through LD_LIBRARY_PATH. wine32: the program runs
# under Wine (scripts/wine32) from program/ of the work folder, the PE32 library next to it
# in place of Wine's own, and the test runs it from another folder; its streams end their
# lines in CR LF. Sets: make_image, runner (what runs make_image), work (a new folder, made
# the current one and removed at the end), program_command, library_path (for
# LD_LIBRARY_PATH), files (what comes before a host path for the program: Z: under Wine) and
# nl (the program's line end); and the cases' tally: fail TITLE WHAT says what is wrong with
# the case at hand, finish counts it.
kind=$1
library=$2
make_image=$3
program=$4
shift 4
runner=("$@")
wine32=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/scripts/wine32

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1

if [ "$kind" = wine32 ]; then
    mkdir program
    cp "$program" program/
    cp "$library" program/WNASPI32.DLL
    program_command=("$wine32" "$work/program/$(basename "$program")")
    export WINEDLLOVERRIDES=wnaspi32=n
    library_path=
    files=Z:
    nl=$'\r\n'
else
    program_command=("${runner[@]}" "$program")
    library_path=$library
    files=
    nl=$'\n'
fi

passed=0
failed=0
problems=0
fail() {
    echo "FAIL: $1: $2"
    problems=1
}
finish() {
    if [ $problems = 0 ]; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
    problems=0
}
