#!/usr/bin/env bash
# Checks what the Windows packages hold: the staged tree has every deliverable, the zip holds
# exactly the staged files under one folder, and the installer is an NSIS program for the
# same machine as the programs.
#   check_windows_files.sh STAGE ZIP INSTALLER
set -uo pipefail
stage=$1 zip=$2 installer=$3
# shellcheck source=tests/package/checks.sh
source "$(dirname "$0")/checks.sh"

for file in bin/busgated.exe bin/busdump.exe bin/libbusrec.dll lib/libbusrec.dll.a include/busrec.h \
  examples/busrec_capture.c README.md docs/service.md wireshark/busgate.lua; do
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
