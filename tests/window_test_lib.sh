# What the gui_ tests share, sourced by gui_test.sh (the 32-bit window) and gui_wine64_test.sh
# (the 64-bit one): a display of the test's own, a Wine prefix of its own, and the waits and
# keys of a person at the window. The test defines fail, case_name, shots and window.

# start_display SCREEN: Xvfb on a display number it chooses, of SCREEN (WIDTHxHEIGHT), its
# process in display_pid, DISPLAY set to it.
start_display() {
    exec 3> display
    Xvfb -displayfd 3 -screen 0 "${1}x24" -nolisten tcp > xvfb.log 2>&1 &
    display_pid=$!
    exec 3>&-
    for _ in $(seq 50); do [ -s display ] && break; sleep 0.1; done
    [ -s display ] || fail "Xvfb did not start: $(cat xvfb.log)"
    export DISPLAY=:$(cat display)
}

# own_prefix SHARED PREFIX: a Wine prefix at PREFIX, for a wineserver of its own (which keeps
# the screen it first saw), linked to SHARED but for the registry, which Wine writes.
own_prefix() {
    cp -al "$1" "$2"
    for hive in system.reg user.reg userdef.reg; do
        cp --remove-destination "$1/$hive" "$2/$hive"
    done
}

# until_true SECONDS CONDITION...: waits, a tenth of a second at a time, for the condition.
until_true() {
    local tries=$(($1 * 10))
    shift
    for _ in $(seq "$tries"); do "$@" && return 0; sleep 0.1; done
    return 1
}

titled() { xdotool search --name "$1" > /dev/null 2>&1; }  # REGULAR-EXPRESSION

# shot NAME: the screen where the window stands, to SHOTS/CASE-NAME.png.
shot() {
    local WIDTH HEIGHT X Y
    eval "$(xdotool getwindowgeometry --shell "$window")"
    import -window root -crop "${WIDTH}x$HEIGHT+$X+$Y" +repage "$shots/$case_name-$1.png"
}

key() { xdotool key --clearmodifiers "$@"; }
