# Wine for the Windows tests, sourced by the scripts that run Tavrel.exe.
# wine_start DIR makes a 64-bit prefix in DIR and starts its session with
# the standard streams detached (otherwise every later Wine process waits
# for the server's streams); wine_stop ends the session.

wine_environment() {
    export WINEPREFIX="$1" WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
}

wine_start() {
    wine_environment "$1"
    mkdir -p "$WINEPREFIX"
    wineserver -p </dev/null >/dev/null 2>&1
    wine cmd /c exit </dev/null >/dev/null 2>&1
    # Wine draws its dialogs with these fonts once they are in the prefix.
    local fonts="$WINEPREFIX/drive_c/windows/Fonts"
    mkdir -p "$fonts"
    for f in tahoma.ttf tahomabd.ttf marlett.ttf; do
        [ -f "/usr/share/wine/fonts/$f" ] && cp -f "/usr/share/wine/fonts/$f" "$fonts/"
    done
    return 0
}

wine_stop() {
    wineserver -k >/dev/null 2>&1 || true
}
