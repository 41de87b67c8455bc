#!/bin/sh
# The library exports the 16 busrec_* functions and nothing else.
#   check_exports.sh libbusrec.so              (the ELF dynamic symbol table)
#   check_exports.sh libbusrec.dll OBJDUMP     (the DLL's export name table, undecorated names)
library=$1
objdump=${2:-}
if [ -n "$objdump" ]; then
  exported=$("$objdump" -p "$library" | awk '
    /\[Ordinal\/Name Pointer\] Table/ { table = 1; next }
    table && /^\t\[/ { print $NF; next }
    table { table = 0 }' | sort)
else
  exported=$(nm -D --defined-only "$library" | awk '{print $3}' | sort)
fi
expected=$(printf '%s\n' busrec_init busrec_exit busrec_version_get busrec_error_get busrec_strerror \
  busrec_device_list_get busrec_device_open busrec_device_close busrec_device_reset busrec_device_infos_get \
  busrec_sess_init busrec_sess_exit busrec_sess_start busrec_sess_stop busrec_sess_report_get \
  busrec_sess_stats_clear | sort)
if [ "$exported" != "$expected" ]; then
  echo "exported symbols differ:"
  printf '%s\n' "$exported" > /tmp/busrec-exported.$$
  printf '%s\n' "$expected" | diff - /tmp/busrec-exported.$$
  rm -f /tmp/busrec-exported.$$
  exit 1
fi
echo "16 busrec_* functions exported, nothing else"
