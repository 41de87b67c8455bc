#!/usr/bin/env bash
# Checks the Debian packages that cpack made: control fields and contents, then an install
# into an empty root with dpkg, where the programs, the unit, the library with its pkg-config
# and CMake files, the dissector, busdump's extcap link and the manual pages are tried, and a purge after which
# nothing of the packages is left.
#   check_debs.sh PACKAGE_DIR
set -uo pipefail
package_dir=$(cd "$1" && pwd)
# shellcheck source=tests/package/checks.sh
source "$(dirname "$0")/checks.sh"

work=$(mktemp -d /tmp/busgate-debs-XXXXXX)
trap 'rm -rf "$work"' EXIT
root=$work/root
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
arch=$(dpkg --print-architecture)

deb() { ls "$package_dir"/"$1"_*_"$arch".deb 2>/dev/null | head -n 1; }
gateway_deb=$(deb busgate) library_deb=$(deb libbusrec1) dev_deb=$(deb libbusrec-dev)
for file in "$gateway_deb" "$library_deb" "$dev_deb"; do
  [ -n "$file" ] || { echo "FAIL: the three packages busgate, libbusrec1, libbusrec-dev are not all in $package_dir"; exit 1; }
done

# --- One version everywhere: the packages and the gateway's own -v.
dpkg-deb -x "$gateway_deb" "$work/gateway"
version=$("$work/gateway/usr/sbin/busgated" -v | awk '{print $2}')
check "busgated -v prints a version (got '$version')" matches "$version" '^[0-9]+\.[0-9]+\.[0-9]+$'
for file in "$gateway_deb" "$library_deb" "$dev_deb"; do
  check "$(basename "$file"): Version is $version" same "$(dpkg-deb -f "$file" Version)" "$version"
done
check "busdump -V shows $version" same "$("$work/gateway/usr/bin/busdump" -V)" "busdump $version"

# --- Control fields: computed dependencies, the library's soname and shlibs.
gateway_depends=$(dpkg-deb -f "$gateway_deb" Depends)
library_depends=$(dpkg-deb -f "$library_deb" Depends)
check "busgate depends on libc6 (computed: $gateway_depends)" contains "$gateway_depends" "libc6 (>="
check "busgate depends on libstdc++6" contains "$gateway_depends" "libstdc++6 (>="
check "busgate depends on libmosquitto1, which busdump --mqtt links" contains "$gateway_depends" "libmosquitto1 (>="
check "busgate does not depend on the library it does not link" lacks "$gateway_depends" 'libbusrec'
check "libbusrec1 depends on libc6 (computed: $library_depends)" contains "$library_depends" "libc6 (>="
check "libbusrec-dev depends on libbusrec1 of the same version" \
  contains "$(dpkg-deb -f "$dev_deb" Depends)" "libbusrec1 (= $version)"
check "sections net, libs, libdevel" same \
  "$(dpkg-deb -f "$gateway_deb" Section) $(dpkg-deb -f "$library_deb" Section) $(dpkg-deb -f "$dev_deb" Section)" \
  "net libs libdevel"
dpkg-deb -e "$library_deb" "$work/library-control"
check "libbusrec1 declares its soname in shlibs" grep -Eq "^libbusrec 1 libbusrec1( |$)" "$work/library-control/shlibs"
check "libbusrec1 runs ldconfig" grep -Fxq "activate-noawait ldconfig" "$work/library-control/triggers"
for field in Maintainer Description; do
  check "busgate has a $field" test -n "$(dpkg-deb -f "$gateway_deb" "$field")"
done

# --- Contents of each package.
gateway_files=$(dpkg-deb -c "$gateway_deb" | awk '{print $6}')
library_files=$(dpkg-deb -c "$library_deb" | awk '{print $6}')
dev_files=$(dpkg-deb -c "$dev_deb" | awk '{print $6}')
for path in ./usr/sbin/busgated ./usr/bin/busdump ./usr/lib/systemd/system/busgated.service \
  ./usr/lib/systemd/system/busdump-recorder.service \
  "./usr/lib/$multiarch/wireshark/plugins/busgate.lua" ./usr/share/man/man8/busgated.8.gz \
  ./usr/share/man/man1/busdump.1.gz ./usr/share/doc/busgate/README.md ./usr/share/doc/busgate/docs/service.md \
  ./usr/share/doc/busgate/contrib/wireshark/README.md "./usr/lib/$multiarch/wireshark/extcap/busdump"; do
  check "busgate holds $path" grep -Fxq -- "$path" <<<"$gateway_files"
done
check "busgate holds no library file" lacks "$gateway_files" 'libbusrec|busrec\.h'
check "libbusrec1 holds libbusrec.so.1 and libbusrec.so.$version" \
  same "$(grep -c "^./usr/lib/$multiarch/libbusrec\.so\.1\(\.[0-9.]*\)\?$" <<<"$library_files")" 2
check "libbusrec1 holds nothing for development" lacks "$library_files" '\.h$|\.pc$|cmake|/libbusrec\.so$|man3'
for path in ./usr/include/busrec.h "./usr/lib/$multiarch/libbusrec.so" "./usr/lib/$multiarch/pkgconfig/libbusrec.pc" \
  "./usr/lib/$multiarch/cmake/busrec/busrecConfig.cmake" "./usr/lib/$multiarch/cmake/busrec/busrecConfigVersion.cmake" \
  ./usr/share/man/man3/libbusrec.3.gz ./usr/share/doc/busgate/examples/busrec_capture.c; do
  check "libbusrec-dev holds $path" grep -Fxq -- "$path" <<<"$dev_files"
done
check "libbusrec-dev holds no copy of the runtime library" lacks "$dev_files" 'libbusrec\.so\.'

# --- Install the three into an empty root. The maintainer scripts run outside a chroot, with
# DPKG_ROOT naming the root (dependencies are the host's, so they are not looked for there).
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/var/lib/dpkg/triggers" "$root/var/log"
touch "$root/var/lib/dpkg/status" "$root/var/lib/dpkg/available"
dpkg_root=(dpkg --root="$root" --force-script-chrootless --force-depends --force-not-root)
check "dpkg installs busgate, libbusrec1 and libbusrec-dev into an empty root" \
  "${dpkg_root[@]}" -i "$gateway_deb" "$library_deb" "$dev_deb"
for package in busgate libbusrec1 libbusrec-dev; do
  check "dpkg lists $package as installed" \
    same "$(dpkg-query --root="$root" -W -f='${db:Status-Status}' "$package")" installed
done

unit=$root/usr/lib/systemd/system/busgated.service
check "the installed unit starts the installed gateway" grep -Fq "ExecStart=/usr/sbin/busgated -d " "$unit"
check "the unit's documentation links are installed" \
  test -f "$root$(sed -nE 's|^Documentation=man:busgated\(8\) file://(/.*)$|\1|p' "$unit")"
# systemd-analyze checks the unit's dependencies, its program and its manual page: in a root
# of its own with the host's units beside the installed unit and gateway, and with the
# manual pages of the package root.
host_units=$(for dir in /usr/lib/systemd/system /lib/systemd/system; do
  [ -f "$dir/sysinit.target" ] && { echo "$dir"; break; }; done)
check "the host has systemd's units for the unit check" test -n "$host_units"
mkdir -p "$work/verify/usr/lib/systemd" "$work/verify/usr/sbin" "$work/verify/etc"
cp -a "$host_units" "$work/verify/usr/lib/systemd/"
cp "$unit" "$work/verify/usr/lib/systemd/system/"
cp "$root/usr/sbin/busgated" "$work/verify/usr/sbin/"
verify_output=$(MANPATH=$root/usr/share/man systemd-analyze --root="$work/verify" verify busgated.service 2>&1)
verify_status=$?
check "systemd-analyze verify accepts the installed unit: $verify_output" same "$verify_status" 0
check "systemd-analyze verify has no complaint about the unit" same "$verify_output" ""
# The recorder's unit: installed disabled, its program the installed busdump, and what it
# starts a command line that busdump takes.
recorder=$root/usr/lib/systemd/system/busdump-recorder.service
check "the recorder's unit is not enabled by the install" \
  test ! -e "$root/etc/systemd/system/multi-user.target.wants/busdump-recorder.service"
check "the recorder's unit starts the installed busdump" grep -Fq "ExecStart=/usr/bin/busdump -q " "$recorder"
mkdir -p "$work/verify/usr/bin"
cp "$recorder" "$work/verify/usr/lib/systemd/system/"
cp "$root/usr/bin/busdump" "$work/verify/usr/bin/"
verify_output=$(MANPATH=$root/usr/share/man systemd-analyze --root="$work/verify" verify busdump-recorder.service 2>&1)
check "systemd-analyze verify accepts the recorder's unit: $verify_output" same "$?/$verify_output" "0/"
recorder_args=$(sed -nE 's|^ExecStart=/usr/bin/busdump (.*)$|\1|p' "$recorder" | sed "s|/var/lib/busdump-recorder|$work/recorder|g")
mkdir -p "$work/recorder/ring"
# shellcheck disable=SC2086
check "busdump takes the recorder's options" "$root/usr/bin/busdump" $recorder_args -b 127.0.0.1 -t 0.3
check "the installed busgated runs: -v" same "$("$root/usr/sbin/busgated" -v)" "busgated $version"

library=$root/usr/lib/$multiarch/libbusrec.so.1
check "libbusrec.so.1 carries the soname libbusrec.so.1" \
  matches "$(objdump -p "$library")" 'SONAME +libbusrec\.so\.1$'

# pkg-config and the CMake package of the root, and the installed example built through each.
pc_dir=$root/usr/lib/$multiarch/pkgconfig
check "pkg-config reports version $version" same "$(PKG_CONFIG_PATH=$pc_dir pkg-config --modversion libbusrec)" "$version"
include_dir=$(PKG_CONFIG_PATH=$pc_dir pkg-config --cflags-only-I libbusrec | sed 's/^-I//; s/ *$//')
check "pkg-config's include folder is the root's" same "$(realpath "$include_dir")" "$(realpath "$root/usr/include")"
example_src=$root/usr/share/doc/busgate/examples
check "the installed example builds through pkg-config" sh -c \
  "PKG_CONFIG_PATH='$pc_dir' cmake -S '$example_src' -B '$work/example-pc' && cmake --build '$work/example-pc'"
mkdir -p "$work/cmake-user" "$work/lock"
cat >"$work/cmake-user/CMakeLists.txt" <<EOF
cmake_minimum_required(VERSION 3.16)
project(busrec_user LANGUAGES C)
find_package(busrec $version EXACT REQUIRED)
add_executable(busrec_capture "$example_src/busrec_capture.c")
target_link_libraries(busrec_capture PRIVATE busrec::busrec)
EOF
check "find_package(busrec $version EXACT) finds the root's CMake package and builds the example" sh -c \
  "cmake -S '$work/cmake-user' -B '$work/example-cmake' -DCMAKE_PREFIX_PATH='$root/usr' && cmake --build '$work/example-cmake'"
capture=$(LD_LIBRARY_PATH=$root/usr/lib/$multiarch LINKSCOPE_SIM=stations=4,absent=1 LINKSCOPE_LOCK_DIR=$work/lock \
  "$work/example-cmake/busrec_capture" 1.2 2>&1)
check "the example captures on a simulated card with the installed library" matches "$capture" '^event '
check "the installed library reports interface 1.0, release 0x0017020E" contains "$capture" "libbusrec 1.0 (release 0x0017020E)"

man_dir=$root/usr/share/man
for page in busgated busdump libbusrec busrec_sess_init; do
  check "man finds $page in the root" test -n "$(man -M "$man_dir" -w "$page" 2>/dev/null)"
done

# busdump's link in Wireshark's extcap folder, which Wireshark runs to list its interfaces.
extcap_link=$root/usr/lib/$multiarch/wireshark/extcap/busdump
check "busgate links busdump into Wireshark's extcap folder, relative within /usr" \
  same "$(readlink "$extcap_link")" "../../../../bin/busdump"
check "the link answers Wireshark's interface query with the busgate receiver" \
  contains "$("$extcap_link" --extcap-interfaces 2>&1)" "interface {value=busgate}{display=busgate receiver}"

# The dissector, where Wireshark looks for global Lua plugins, loads and registers itself.
if command -v tshark >/dev/null 2>&1; then
  extcap_path=$(tshark -G folders 2>/dev/null | sed -nE 's/^Extcap path:[[:space:]]*//p' | head -n 1)
  check "the link is in the extcap folder of the host's Wireshark ($extcap_path)" test -L "$root$extcap_path/busdump"
  global_lua=$(tshark -G folders 2>/dev/null | sed -nE 's/^Global Lua Plugins:[[:space:]]*//p')
  check "the dissector is installed in Wireshark's global Lua folder ($global_lua)" \
    test -f "$root$global_lua/busgate.lua"
  check "tshark loads the installed dissector" matches \
    "$(HOME=$work tshark -G protocols -X "lua_script:$root$global_lua/busgate.lua" 2>/dev/null)" $'\tbusgate$'
fi

# --- Removal: an enabled unit is disabled, a purge takes the service's state and log along,
# and the root then holds nothing but dpkg's own records.
systemctl --root="$root" enable busgated.service busdump-recorder.service >/dev/null 2>&1
check "the unit can be enabled in the root" test -L "$root/etc/systemd/system/multi-user.target.wants/busgated.service"
check "the recorder's unit can be enabled in the root" \
  test -L "$root/etc/systemd/system/multi-user.target.wants/busdump-recorder.service"
mkdir -p "$root/var/lib/busgated" "$root/var/log/busgated"
touch "$root/var/lib/busgated/buffer.bin" "$root/var/log/busgated/busgated.log"
mkdir -p "$root/var/lib/private/busdump-recorder/ring"
touch "$root/var/lib/private/busdump-recorder/ring/capture_20260101T000000Z_000001.pcap"
check "dpkg purges the three packages" "${dpkg_root[@]}" --purge busgate libbusrec-dev libbusrec1
check "removal disabled the unit" test ! -L "$root/etc/systemd/system/multi-user.target.wants/busgated.service"
check "removal disabled the recorder's unit" \
  test ! -L "$root/etc/systemd/system/multi-user.target.wants/busdump-recorder.service"
check "the purge removed the service's state and log" test ! -e "$root/var/lib/busgated" -a ! -e "$root/var/log/busgated"
check "the purge removed the recorder's files" test ! -e "$root/var/lib/private/busdump-recorder"
left=$(cd "$root" && find . ! -type d ! -path './var/lib/dpkg/*' ! -path ./var/log/dpkg.log)
check "nothing of the packages is left in the root: $left" same "$left" ""
check "dpkg lists none of them any more" same "$(dpkg-query --root="$root" -W busgate libbusrec1 libbusrec-dev 2>/dev/null)" ""

report "packages"
