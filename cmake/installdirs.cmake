# Where the documents go: the documentation folder of the GNU layout, or on Windows the top of
# the installation (README.md beside bin\, docs\ and examples\).
include(GNUInstallDirs)
if(WIN32)
  set(BUSGATE_DOC_DESTINATION ".")
else()
  set(BUSGATE_DOC_DESTINATION "${CMAKE_INSTALL_DOCDIR}")
endif()
