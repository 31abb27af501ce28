# Sourced by the scripts that build the Windows program or run it under Wine.

# Where scripts/windows-deps.sh builds what the exe links (SWK_WIN_CACHE
# chooses another folder); the build is reused from there.
win_cache=${SWK_WIN_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/swkicker-win}

# wine_up BUILD_DIR: Wine for the Windows build in BUILD_DIR: its own prefix
# BUILD_DIR/wineprefix (made when missing), no debug output, UTF-8 text, and
# one wineserver kept up until wine_down, or every start would pay about 2 s
# starting one.
wine_up() {
  export WINEDEBUG=-all LANG=C.UTF-8
  WINEPREFIX="$(cd "$1" && pwd)/wineprefix"
  export WINEPREFIX
  if [ ! -e "$WINEPREFIX/system.reg" ]; then
    echo "creating the Wine prefix in $WINEPREFIX" >&2
    wineboot -i >/dev/null 2>&1 || true
  fi
  wineserver -p || true  # one may already be up for this prefix
}

wine_down() { wineserver -k 2>/dev/null || true; }
