# Runs 32-bit Windows programs under Wine inside the virtual machine of scripts/linux-vm-wine,
# where the i386 Wine runs natively: sourced by the guest's list of cases, run by the host's
# bash in the host's files (shared read-only, chrooted into), with a writable /tmp. Needs
# /tmp/wine/prefix, a Wine prefix made on the host, which each user gets a copy of, and
# the helpers of scripts/lib/linux-vm-guest.sh, sourced first.
#
#   wine_run CASE USER ANSWER LINKS PROGRAM [ARGUMENTS...]
#
# runs PROGRAM (a path in the guest, such as /tmp/work/kelvo.exe) with ARGUMENTS in
# /tmp/work, ANSWER on its standard input, as USER (root, or nobody: no capabilities); its
# standard output, standard error and exit status go to $results/CASE/. ANSWER ^C is no
# answer but Ctrl+C at the prompt, as a user presses it there: SIGINT, which Wine turns into
# CTRL_C_EVENT. LINKS, "-" for none, are the drive letters it sees, each LETTER=PATH,
# comma-separated: x=/dev/sr0 makes X: that node through Wine's dosdevices/x::, and every
# other letter of an earlier run is gone.

wine_loader=/usr/lib/wine/wine
wine64_loader=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver64
export WINEDEBUG=-all
# No .NET or HTML engine to install, and no desktop menus to write.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"

# as_user USER COMMAND...: COMMAND as USER, with that user's prefix.
as_user() {
    local user=$1
    shift
    if [ "$user" = root ]; then
        env HOME=/tmp WINEPREFIX=/tmp/prefix-root "$@"
    else
        setpriv --reuid="$user" --regid="$(id -g "$user")" --clear-groups \
            env HOME=/tmp WINEPREFIX="/tmp/prefix-$user" "$@"
    fi
}

# wine_prefix USER: the user's own copy of the prefix (Wine takes only a prefix its user
# owns) and a wineserver that lasts, with Wine's services started: that costs ten to fifteen
# seconds, once per user, which the runs after it do not pay again.
wine_prefix() {
    local user=$1 prefix=/tmp/prefix-$1
    [ -d "$prefix" ] && return
    cp -a /tmp/wine/prefix "$prefix"
    [ "$user" = root ] || chown -R "$user:" "$prefix"
    # Nothing of Wine's keeps the streams of a case, which would wait for it to end.
    as_user "$user" "$wineserver" --persistent < /dev/null > /dev/null 2>&1
    as_user "$user" "$wine64_loader" wineboot < /dev/null > /dev/null 2>&1
}

# answer ANSWER PROGRAM OUTPUT: what the running PROGRAM reads: ANSWER; for ^C, SIGINT once
# its OUTPUT shows the prompt, and the end of its input only once it has ended.
answer() {
    if [ "$1" != '^C' ]; then
        echo "$1"
        return
    fi
    wait_for grep -q 'Continue? ' "$3" && kill -s INT $(pidof "$2")
    wait_for gone "$2"
}
gone() { ! pidof "$1" > /dev/null; }

wine_run() {
    local name=$1 user=$2 answer=$3 links=$4 program=$5 link
    shift 5
    wine_prefix "$user"
    rm -f /tmp/prefix-"$user"/dosdevices/?::
    if [ "$links" != - ]; then
        for link in ${links//,/ }; do
            ln -s "${link#*=}" "/tmp/prefix-$user/dosdevices/${link%%=*}::"
        done
    fi
    mkdir -p "$results/$name"
    (cd /tmp/work &&
     answer "$answer" "${program##*/}" "$results/$name/stdout" |
     as_user "$user" "$wine_loader" "$program" "$@" \
        > "$results/$name/stdout" 2> "$results/$name/stderr"
     echo $? > "$results/$name/status")
    echo "$name: exit status $(cat "$results/$name/status"), $(cut -d ' ' -f 1 /proc/uptime) s since boot"
}

# wine_stop: every user's wineserver and what it runs.
wine_stop() {
    local prefix
    for prefix in /tmp/prefix-*; do
        [ -d "$prefix" ] && as_user "${prefix#/tmp/prefix-}" "$wineserver" --kill
    done
}
