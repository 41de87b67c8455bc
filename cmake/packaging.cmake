# Packages made by cpack from the install rules. On Linux: three Debian packages, one per
# install component, with their dependencies computed from the binaries.
#   gateway    -> busgate        busgated, busdump, unit, dissector, documents, busgated(8), busdump(1)
#   busrec     -> libbusrec1     the shared library (soname libbusrec.so.1)
#   busrec_dev -> libbusrec-dev  header, link name, pkg-config and CMake files, libbusrec(3), example
# Configure with -DCMAKE_INSTALL_PREFIX=/usr for packages: the unit and the pages name the
# configured paths, so the packages install under the same prefix.
set(CPACK_PACKAGE_NAME busgate)
set(CPACK_PACKAGE_VENDOR "busgate")
set(CPACK_PACKAGE_CONTACT "busgate team <busgate@example.org>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Capture gateway and library for Linkscope FIP capture cards")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_COMPONENTS_ALL gateway busrec busrec_dev)
set(CPACK_STRIP_FILES ON)

set(CPACK_COMPONENT_GATEWAY_DESCRIPTION "FIP fieldbus capture gateway for Linkscope PCI cards
busgated captures every event of a FIP (WorldFIP) fieldbus through a Linkscope PCI capture
card and forwards the events in UDP datagrams, with lifesign records of bus, network and host
statistics. busdump receives and decodes the stream; a Wireshark dissector and a systemd unit
come with it.")
set(CPACK_COMPONENT_BUSREC_DESCRIPTION "Capture library for Linkscope FIP capture cards
libbusrec lets programs list and open Linkscope cards and run capture sessions that decode bus
events and analyse the bus (station table, error counters, repeating bus cycle) through their
own callbacks.")
set(CPACK_COMPONENT_BUSREC_DEV_DESCRIPTION "Capture library for Linkscope FIP capture cards (development files)
Header, pkg-config and CMake package files, manual page and an example program for building
against libbusrec.")
set(CPACK_COMPONENT_BUSREC_DEV_DEPENDS busrec)

if(NOT WIN32)
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

  set(CPACK_DEBIAN_GATEWAY_PACKAGE_NAME busgate)
  set(CPACK_DEBIAN_GATEWAY_PACKAGE_SECTION net)
  set(CPACK_DEBIAN_GATEWAY_PACKAGE_SUGGESTS "tshark | wireshark")
  set(CPACK_DEBIAN_GATEWAY_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_LIST_DIR}/debian/postinst
    ${CMAKE_CURRENT_LIST_DIR}/debian/prerm
    ${CMAKE_CURRENT_LIST_DIR}/debian/postrm)

  set(CPACK_DEBIAN_BUSREC_PACKAGE_NAME libbusrec1)
  set(CPACK_DEBIAN_BUSREC_PACKAGE_SECTION libs)
  set(CPACK_DEBIAN_BUSREC_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/debian/triggers)

  set(CPACK_DEBIAN_BUSREC_DEV_PACKAGE_NAME libbusrec-dev)
  set(CPACK_DEBIAN_BUSREC_DEV_PACKAGE_SECTION libdevel)
endif()

include(CPack)
