#!/usr/bin/env bash
# Checks what the Windows packages hold: the staged tree has every deliverable, the zip holds
# exactly the staged files under one folder, and the installer is an NSIS program for the
# same machine as the programs.
#   check_windows_files.sh STAGE ZIP INSTALLER
set -uo pipefail
stage=$1 zip=$2 installer=$3
# shellcheck source=tests/package/checks.sh
source "$(dirname "$0")/checks.sh"

for file in bin/busgated.exe bin/busdump.exe bin/libbusrec.dll bin/busgate-service.exe lib/libbusrec.dll.a \
  lib/busrec.lib include/busrec.h \
  examples/busrec_capture.c README.md docs/service.md wireshark/busgate.lua busdump-recorder.cmd; do
  check "the Windows tree holds $file" test -f "$stage/$file"
done
check "the Windows tree holds the library's .def file" compgen -G "$stage/lib/*.def"
check "the Windows tree holds no manual page or systemd unit" test -z "$(cd "$stage" && find . -name '*.gz' -o -name '*.service')"

machine=$(objdump -f "$stage/bin/busgated.exe" 2>/dev/null | sed -nE 's/.*file format (pe[a-z0-9-]+).*/\1/p')
check "busgated.exe is a Windows program ($machine)" test -n "$machine"
for file in bin/busdump.exe bin/libbusrec.dll; do
  check "$file is built for the same machine ($machine)" \
    grep -q "file format $machine" <(objdump -f "$stage/$file" 2>/dev/null)
done
check "libbusrec.dll exports busrec_sess_init undecorated" \
  grep -Eq '\] +busrec_sess_init$' <(objdump -p "$stage/bin/libbusrec.dll")

# Shipped without their debug information (kept in .debug files beside the build), each with a
# version resource of the product and the project's version, read back from the PE resources.
size=$(stat -c %s "$stage/bin/busgated.exe")
check "busgated.exe is under 4 MB ($size bytes)" test "$size" -lt 4194304
check "no debug information file is installed" test -z "$(cd "$stage" && find . -name '*.debug')"
version=$(sed -nE 's/^project\(busgate VERSION ([0-9.]+).*/\1/p' "$(dirname "$0")/../../CMakeLists.txt")
windres=$(command -v x86_64-w64-mingw32-windres || command -v i686-w64-mingw32-windres)
for file in bin/busgated.exe bin/busdump.exe bin/libbusrec.dll bin/busgate-service.exe; do
  resources=$("$windres" -i "$stage/$file" -O rc 2>/dev/null)
  check "$file carries the product's version $version" \
    matches "$resources" "VALUE \"ProductVersion\", \"$version\""
  check "$file names the product" matches "$resources" 'VALUE "ProductName", "busgate"'
  check "$file says what it is" matches "$resources" 'VALUE "FileDescription", "busgate [a-z ]+"'
  check "$file has the file version $version" matches "$resources" "FILEVERSION ${version//./, }, 0"
done
check "busgated.exe holds the event log's message table" \
  matches "$("$windres" -i "$stage/bin/busgated.exe" -O rc 2>/dev/null)" 'MESSAGETABLE'
check "the MSVC import library names libbusrec.dll and its functions" \
  grep -q "busrec_sess_init" <(objdump -t "$stage/lib/busrec.lib" 2>/dev/null; strings "$stage/lib/busrec.lib")

staged=$(cd "$stage" && find . -type f | sed 's|^\./||' | sort)
top=$(basename "$zip" .zip)
zipped=$(python3 - "$zip" "$top" <<'PY'
import sys, zipfile
names = zipfile.ZipFile(sys.argv[1]).namelist()
prefix = sys.argv[2] + "/"
for n in sorted(names):
    if not n.endswith("/"):
        print(n[len(prefix):] if n.startswith(prefix) else "OUTSIDE:" + n)
PY
)
check "the zip holds exactly the staged files under $top/" test "$staged" = "$zipped"
check "the installer is an NSIS installer" grep -q "Nullsoft Installer" <(file "$installer")

report "windows files"
