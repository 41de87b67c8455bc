#!/usr/bin/env bash
# Makes the Windows installer and the zip of a staged install tree (cmake --install --prefix).
#   make-installer.sh STAGE OUTDIR VERSION NAME [NSIS_TARGET]
# gives OUTDIR/busgate-VERSION-NAME.exe (NSIS, x86-unicode unless NSIS_TARGET says otherwise)
# and OUTDIR/busgate-VERSION-NAME.zip (the same files under the folder busgate-VERSION-NAME).
set -euo pipefail
stage=$(cd "$1" && pwd)
mkdir -p "$2"
outdir=$(cd "$2" && pwd)
version=$3 name=$4 target=${5:-x86-unicode}
base=busgate-$version-$name
lists=$(mktemp -d /tmp/busgate-nsis-XXXXXX)
trap 'rm -rf "$lists"' EXIT

# The installer names each file, and the uninstaller removes exactly those and then the
# folders, deepest first, when they are empty.
windows_path() { printf '%s' "${1#./}" | tr '/' '\\'; }
(
  cd "$stage"
  find . -type d | sort | while read -r dir; do
    files=$(find "$dir" -maxdepth 1 -type f | sort)
    [ -n "$files" ] || continue
    if [ "$dir" = . ]; then echo 'SetOutPath "$INSTDIR"'; else echo "SetOutPath \"\$INSTDIR\\$(windows_path "$dir")\""; fi
    while read -r file; do echo "File \"$stage/${file#./}\""; done <<<"$files"
  done
) >"$lists/files.nsh"
(
  cd "$stage"
  find . -type f | sort | while read -r file; do echo "Delete \"\$INSTDIR\\$(windows_path "$file")\""; done
  find . -mindepth 1 -type d | sort -r | while read -r dir; do echo "RMDir \"\$INSTDIR\\$(windows_path "$dir")\""; done
) >"$lists/unfiles.nsh"

# The installer runs the staged option checker before it installs anything.
helper=$stage/bin/busgate-service.exe
[ -f "$helper" ] || { echo "make-installer: $helper is missing (target busgate_service)" >&2; exit 1; }
makensis -V2 -DVERSION="$version" -DTARGET="$target" -DFILES="$lists/files.nsh" -DUNFILES="$lists/unfiles.nsh" \
  -DHELPER="$helper" -DOUTFILE="$outdir/$base.exe" "$(dirname "$0")/busgate.nsi"

rm -rf "${lists:?}/$base" "$outdir/$base.zip"
cp -r "$stage" "$lists/$base"
(cd "$lists" && zip -qr -X "$outdir/$base.zip" "$base")
echo "$outdir/$base.exe"
echo "$outdir/$base.zip"
