# shellcheck shell=bash
# The Wine set-up of every script that runs Windows programs (scripts/test-windows,
# scripts/driverdouble, tests/package/check_windows_installer.sh). Sourced, never run.
#
#   wine_default_arch             i686 where this machine executes 32-bit code, else x86_64
#   wine_setup ARCH PREFIX        i686 (32-bit prefix, WINEARCH=win32) or x86_64 (win64): sets
#                                 WINE_LOADER and WINE_SERVER to absolute paths and exports the
#                                 prefix and the quiet settings (no debug output, no Mono/Gecko
#                                 prompt, no menu entries, no display)
#   start_program PROGRAM ARGS... starts PROGRAM, which must be an absolute path (a program that
#                                 is later started with execv gets no PATH search); with
#                                 WINE_DRY_RUN=1 prints "run: PROGRAM ARGS..." (shell-quoted)
#                                 on the standard output wine_setup found, and succeeds
#   wine_run ARGS...              the loader with ARGS (a Windows program, or sc, reg, wineboot)
#   wine_quiet ARGS...            the same, off the caller's pipes (see below)
#   wine_server_start             a persistent wineserver for the prefix
#   wine_server_stop              ends it and waits until it has gone
#   wine_prefix_prepare           makes the prefix once (wineboot -i), server stopped afterwards
#   wine_path UNIX_PATH           the same file as Wine names it (Z:\...)
#
# Debian's file names: the 32-bit loader comes with wine32:i386, the 64-bit one with wine64;
# one 64-bit wineserver serves 32-bit and 64-bit prefixes alike where it is installed.

WINE_LIB_DIR=/usr/lib/wine

# Whether this machine executes 32-bit programs at all (some hypervisors refuse them: the
# 32-bit loader then fails with "Exec format error").
wine_runs_32bit_code() {
  "$WINE_LIB_DIR/wine" --version >/dev/null 2>&1
}

wine_default_arch() {
  if wine_runs_32bit_code; then echo i686; else echo x86_64; fi
}

wine_setup() {
  local arch=$1 prefix=$2
  case "$arch" in
  i686) WINE_LOADER=$WINE_LIB_DIR/wine WINEARCH=win32 ;;
  x86_64) WINE_LOADER=$WINE_LIB_DIR/wine64 WINEARCH=win64 ;;
  *)
    echo "wine.sh: the architecture must be i686 or x86_64, not '$arch'" >&2
    return 2
    ;;
  esac
  WINE_SERVER=$WINE_LIB_DIR/wineserver64
  [ -x "$WINE_SERVER" ] || WINE_SERVER=$WINE_LIB_DIR/wineserver32
  # The loader and the server named here are the ones every Wine process of the run uses.
  export WINEPREFIX=$prefix WINEARCH WINELOADER=$WINE_LOADER WINESERVER=$WINE_SERVER
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
  unset DISPLAY WAYLAND_DISPLAY
  # The dry run's list goes where the caller reads it, even from a command whose output is
  # thrown away.
  if [ "${WINE_DRY_RUN:-0}" = 1 ] && [ -z "${wine_dry_run_fd:-}" ]; then
    exec {wine_dry_run_fd}>&1
  fi
}

start_program() {
  case "$1" in
  /*) ;;
  *)
    echo "wine.sh: '$1' is not an absolute path: a program started with execv would not be found" >&2
    return 127
    ;;
  esac
  if [ "${WINE_DRY_RUN:-0}" = 1 ]; then
    local line
    printf -v line ' %q' "$@"
    echo "run:$line" >&"$wine_dry_run_fd"
    return 0
  fi
  "$@"
}

wine_run() { start_program "$WINE_LOADER" "$@"; }
# Wine's helper processes (wineserver, services, winedevice) outlive the command that started
# them and keep its output open: a "| tail" would never end.
wine_quiet() { wine_run "$@" </dev/null >/dev/null 2>&1; }

wine_server_start() { start_program "$WINE_SERVER" -p </dev/null >/dev/null 2>&1; }
# "-k" only signals the server: wait until it is gone, or the next start finds it still running.
wine_server_stop() {
  start_program "$WINE_SERVER" -k </dev/null >/dev/null 2>&1 || true
  start_program "$WINE_SERVER" -w </dev/null >/dev/null 2>&1 || true
}

wine_prefix_prepare() {
  [ -f "$WINEPREFIX/system.reg" ] && return 0
  [ "${WINE_DRY_RUN:-0}" = 1 ] || mkdir -p "$WINEPREFIX"
  wine_quiet wineboot -i
  wine_server_stop
}

wine_path() { echo "Z:${1//\//\\}"; }
