#!/usr/bin/env bash
# What scripts/release made, checked as a user gets it.
#
#   release_test.sh reproducible DIST BUILD    builds the release again in BUILD, a folder of
#                                              another name, and compares every file's SHA-256
#                                              with DIST's
#   release_test.sh contents DIST WORK         each package's files; the Windows programs'
#                                              imports and version information, kelvo.exe's
#                                              banner under Wine; the relink kit; lintian; the
#                                              .deb installed into WORK/root, its programs run
#                                              and its manual pages rendered
set -u
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(dirname "$here")
mode=$1
dist=$2
work=$3

passed=0
failed=0
expect() {  # NAME ACTUAL EXPECTED
    if [ "$2" = "$3" ]; then
        passed=$((passed + 1))
    else
        printf 'FAIL: %s:\n%s\nexpected:\n%s\n' "$1" "$2" "$3"
        failed=$((failed + 1))
    fi
}
finish() {
    echo "$passed passed, $failed failed"
    [ "$failed" = 0 ]
    exit
}

if [ "$mode" = reproducible ]; then
    "$source_dir/scripts/release" --build "$work/build-of-another-name" --dist "$work/dist" \
        > /dev/null 2>&1 || { echo "FAIL: scripts/release"; exit 1; }
    expect "the same files, byte for byte" \
        "$(cd "$work/dist" && sha256sum -- * 2>&1)" "$(cd "$dist" && sha256sum -- * 2>&1)"
    finish
fi

version=$(sed -n 's/^project(kelvo VERSION \([^ ]*\) .*/\1/p' "$source_dir/CMakeLists.txt")
epoch=$(git -C "$source_dir" log -1 --format=%ct)
rm -rf "$work"
mkdir -p "$work"

# Windows: the files, CR LF text, what the programs import and say of themselves, and the
# banner's date and time: the commit's own, as GCC read them from SOURCE_DATE_EPOCH.
zip=$dist/kelvo-$version-windows-x86.zip
expect "zip files" "$(unzip -Z1 "$zip")" \
    "$(printf '%s\n' LICENSE.txt NOTICES.txt README.txt kelvo-gui.exe kelvo-list.exe kelvo.exe)"
# Nothing of the builder's: release_reproducible builds twice as the same user from the same
# checkout, so it would not see the owners' ids that zip keeps without -X.
expect "zip members' extra fields (zip -X)" "$(zipinfo -v "$zip" |
    grep -E 'length of extra field|subfield with ID' | grep -v ' 0 bytes$')" ""
unzip -q "$zip" -d "$work/windows"
for text in README.txt LICENSE.txt NOTICES.txt; do
    expect "$text lines without CR LF" "$(grep -c -v $'\r$' "$work/windows/$text")" 0
done
# README.txt is README.md for Notepad without word wrap: only README.md's own code lines, a
# command or a program's output, may run past 100 characters; no Markdown link or table row is
# left; the text files are named as the zip holds them.
readme_txt=$(tr -d '\r' < "$work/windows/README.txt")
expect "README.txt lines over 100 characters, but README.md's code" \
    "$(LC_ALL=C.UTF-8 grep -E '^.{101}' <<< "$readme_txt" |
        grep -v -x -F -f <(grep '^    ' "$source_dir/README.md"))" ""
expect "README.txt's Markdown links and table rows" "$(grep -E '\]\(|^ *\|' <<< "$readme_txt")" ""
expect "README.txt's names of the zip's text files" \
    "$(grep -o -w -E '(LICENSE|NOTICES)(\.txt)?' <<< "$readme_txt" | sort -u)" \
    "$(printf '%s\n' LICENSE.txt NOTICES.txt)"
bash "$here/windows_exe_test.sh" "$work/windows/kelvo.exe" "$work/windows/kelvo-list.exe" \
    "$work/windows/kelvo-gui.exe" > "$work/windows_exe.log"
expect "windows_exe_test.sh on the zip's programs" "$?: $(tail -n 1 "$work/windows_exe.log")" \
    "0: 10 passed, 0 failed"
for program in kelvo kelvo-list kelvo-gui; do
    expect "$program.exe version information" \
        "$(strings -e l "$work/windows/$program.exe" | grep -A 1 -x -E 'ProductName|ProductVersion')" \
        "$(printf '%s\n' ProductName kelvo ProductVersion "$version")"
done
built_at=$(LC_ALL=C TZ=UTC date -d "@$epoch" '+%b %e %Y %H:%M:%S')
banner=$(cd "$work" && "$source_dir/scripts/wine32" windows/kelvo.exe 2>&1 < /dev/null | tr -d '\r' |
    head -n 1)
expect "kelvo.exe's banner under Wine" "$banner" "kelvo V $version compiled at $built_at"

# Linux tarball: the files, and the relink kit linking programs that run.
tar_name=kelvo-$version-linux-x86_64
expect "tarball files" "$(tar -tzvf "$dist/$tar_name.tar.gz" | awk '{ print $1, $2, $6 }')" \
"drwxr-xr-x 0/0 $tar_name/
-rw-r--r-- 0/0 $tar_name/LICENSE
-rw-r--r-- 0/0 $tar_name/NOTICES
-rw-r--r-- 0/0 $tar_name/README.md
-rwxr-xr-x 0/0 $tar_name/kelvo
-rwxr-xr-x 0/0 $tar_name/kelvo-list
-rw-r--r-- 0/0 $tar_name/kelvo-list.1
-rw-r--r-- 0/0 $tar_name/kelvo.1
drwxr-xr-x 0/0 $tar_name/relink/
-rw-r--r-- 0/0 $tar_name/relink/kelvo-list.o
-rw-r--r-- 0/0 $tar_name/relink/kelvo.o
-rwxr-xr-x 0/0 $tar_name/relink/relink"
tar -xzf "$dist/$tar_name.tar.gz" -C "$work"
"$work/$tar_name/relink/relink" > /dev/null 2>&1
"$work/$tar_name/relink/kelvo" > /dev/null 2> "$work/relinked.err"
expect "the relinked kelvo" "$?: $(sed -n 2p "$work/relinked.err")" \
    "1: usage: $work/$tar_name/relink/kelvo <device index> <file to flash>"

# Debian package: its files, lintian, and the package installed into a root of our own, with
# a dpkg database of its own: never into this machine.
deb=$dist/kelvo_${version}_amd64.deb
expect ".deb files" "$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $1, $2, $6 }')" \
"-rwxr-xr-x root/root ./usr/bin/kelvo
-rwxr-xr-x root/root ./usr/bin/kelvo-list
-rw-r--r-- root/root ./usr/share/doc/kelvo/NOTICES
-rw-r--r-- root/root ./usr/share/doc/kelvo/README.md.gz
-rw-r--r-- root/root ./usr/share/doc/kelvo/changelog.gz
-rw-r--r-- root/root ./usr/share/doc/kelvo/copyright
-rw-r--r-- root/root ./usr/share/lintian/overrides/kelvo
-rw-r--r-- root/root ./usr/share/man/man1/kelvo-list.1.gz
-rw-r--r-- root/root ./usr/share/man/man1/kelvo.1.gz"
lintian_says=$(lintian --fail-on error "$deb" 2>&1)
expect "lintian's errors" "$?: $(grep '^E:' <<< "$lintian_says")" "0: "
root=$work/root
mkdir -p "$root/var/lib/dpkg/updates" "$root/var/lib/dpkg/info"
touch "$root/var/lib/dpkg/status"
dpkg --root="$root" --log=/dev/null --force-not-root --force-bad-path -i "$deb" > "$work/dpkg.log" 2>&1
expect "dpkg --root -i" "$?" 0
expect "installed" "$(dpkg-query --admindir="$root/var/lib/dpkg" -W -f='${Status} ${Version}' kelvo)" \
    "install ok installed $version"
# Every gzip stream packed, with no file name nor time in its header (gzip -n): FLG bit 3
# (FNAME) and MTIME, bytes 3 to 7. Without -n, README.md.gz would carry the checkout's time,
# which release_reproducible's two builds share.
expect "gzip streams with a name or a time (FNAME, MTIME)" "$(
    for stream in "$dist/$tar_name.tar.gz" "$root"/usr/share/{man/man1/*,doc/kelvo/*.gz}; do
        od -A n -t u1 -j 3 -N 5 "$stream" | awk -v name="${stream##*/}" '
            { fname = int($1 / 8) % 2; mtime = $2 + 256 * ($3 + 256 * ($4 + 256 * $5)) }
            fname || mtime { print name, "FNAME", fname, "MTIME", mtime }
            END { if (NR == 0) print name, "unreadable" }'
    done)" ""
"$root/usr/bin/kelvo" > /dev/null 2> "$work/kelvo.err"
expect "kelvo with no arguments" "$?: $(sed -n 2p "$work/kelvo.err")" \
    "1: usage: $root/usr/bin/kelvo <device index> <file to flash>"
"$root/usr/bin/kelvo-list" --help > "$work/kelvo-list.out" 2>&1
expect "kelvo-list --help" "$?: $(head -n 1 "$work/kelvo-list.out")" \
    "0: usage: $root/usr/bin/kelvo-list [--help] [FIRMWARE FILE ...]"
for page in kelvo kelvo-list; do
    expect "$page(1): its version, groff's warnings" \
        "$(zcat "$root/usr/share/man/man1/$page.1.gz" | tee "$work/$page.1" | sed -n '1s/.*"kelvo \([^"]*\)".*/\1/p')$(LC_ALL=C.UTF-8 groff -man -ww -z "$work/$page.1" 2>&1)" "$version"
done
finish
