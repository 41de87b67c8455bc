# Where the installed files go. Every folder here is worked out anew at each configure from the
# install prefix, so that a later -DCMAKE_INSTALL_PREFIX moves them all (GNUInstallDirs does the
# same for its own folders); nothing is kept from the first configure's prefix.
include(GNUInstallDirs)

# The documents: the documentation folder of the GNU layout, or on Windows the top of the
# installation (README.md beside bin\, docs\ and examples\).
if(WIN32)
  set(BUSGATE_DOC_DESTINATION ".")
else()
  set(BUSGATE_DOC_DESTINATION "${CMAKE_INSTALL_DOCDIR}")
endif()

# The Wireshark dissector: under the prefix /usr the folder where Wireshark looks for global Lua
# plugins (lib/<multiarch>/wireshark/plugins on Debian); on Windows a folder of its own, from which
# it is copied (contrib/wireshark/README.md). The systemd unit: systemd reads units from
# <prefix>/lib/systemd/system for the prefixes /usr and /usr/local.
# BUSGATE_WIRESHARK_FOLDER and BUSGATE_UNIT_FOLDER, when given, replace them (relative to the
# prefix, or absolute).
set(BUSGATE_WIRESHARK_FOLDER "" CACHE STRING "Folder of the Wireshark dissector (empty: Wireshark's under the prefix)")
set(BUSGATE_UNIT_FOLDER "" CACHE STRING "Folder of the systemd unit (empty: <prefix>/lib/systemd/system)")
# Wireshark's global extcap folder beside its plugins (lib/<multiarch>/wireshark/extcap on
# Debian): busdump is linked there as an external capture program. Not on Windows, where the
# installer copies busdump.exe into the extcap folder of the Wireshark it finds.
set(BUSGATE_EXTCAP_FOLDER "" CACHE STRING "Wireshark's extcap folder (empty: Wireshark's under the prefix)")
# Build trees configured before these folders followed the prefix cached them under these names.
unset(BUSGATE_WIRESHARK_PLUGINDIR CACHE)
unset(BUSGATE_SYSTEMD_UNITDIR CACHE)
if(BUSGATE_WIRESHARK_FOLDER)
  set(BUSGATE_WIRESHARK_PLUGINDIR "${BUSGATE_WIRESHARK_FOLDER}")
elseif(WIN32)
  set(BUSGATE_WIRESHARK_PLUGINDIR "wireshark")
else()
  set(BUSGATE_WIRESHARK_PLUGINDIR "${CMAKE_INSTALL_LIBDIR}/wireshark/plugins")
endif()
if(BUSGATE_EXTCAP_FOLDER)
  set(BUSGATE_WIRESHARK_EXTCAPDIR "${BUSGATE_EXTCAP_FOLDER}")
else()
  set(BUSGATE_WIRESHARK_EXTCAPDIR "${CMAKE_INSTALL_LIBDIR}/wireshark/extcap")
endif()
if(BUSGATE_UNIT_FOLDER)
  set(BUSGATE_SYSTEMD_UNITDIR "${BUSGATE_UNIT_FOLDER}")
else()
  set(BUSGATE_SYSTEMD_UNITDIR "lib/systemd/system")
endif()
