# Windows resources and release form of the deliverables: a version resource in each, the event
# log's message table in busgated.exe, debug information moved out of the shipped files, and the
# MSVC import library of libbusrec.dll.
enable_language(RC)

find_program(BUSGATE_WINDMC NAMES ${MINGW_TRIPLET}-windmc windmc REQUIRED)
if(NOT CMAKE_DLLTOOL)
  find_program(CMAKE_DLLTOOL NAMES ${MINGW_TRIPLET}-dlltool dlltool REQUIRED)
endif()
if(NOT CMAKE_OBJCOPY)
  find_program(CMAKE_OBJCOPY NAMES ${MINGW_TRIPLET}-objcopy objcopy REQUIRED)
endif()

# The message table of the event source BusgateSvc: the header for the code that reports, the
# resource script for busgated.exe.
set(BUSGATE_MESSAGES_DIR ${CMAKE_BINARY_DIR}/generated/platform/win32)
file(MAKE_DIRECTORY ${BUSGATE_MESSAGES_DIR})
add_custom_command(
  OUTPUT ${BUSGATE_MESSAGES_DIR}/eventmessages.h ${BUSGATE_MESSAGES_DIR}/eventmessages.rc
         ${BUSGATE_MESSAGES_DIR}/MSG00409.bin
  COMMAND ${BUSGATE_WINDMC} -h ${BUSGATE_MESSAGES_DIR} -r ${BUSGATE_MESSAGES_DIR}
          ${CMAKE_SOURCE_DIR}/platform/win32/eventmessages.mc
  DEPENDS ${CMAKE_SOURCE_DIR}/platform/win32/eventmessages.mc
  COMMENT "Message table of the event log source")
add_custom_target(busgate_event_messages DEPENDS ${BUSGATE_MESSAGES_DIR}/eventmessages.h)

# busgate_windows_release(TARGET DESCRIPTION [MESSAGES]): the version resource (product busgate,
# the project's version), the message table with MESSAGES, and for optimised builds the debug
# information in TARGET_FILE.debug beside the build's file (not installed), linked by name.
function(busgate_windows_release target description)
  get_target_property(type ${target} TYPE)
  set(BUSGATE_RC_DESCRIPTION "${description}")
  get_target_property(name ${target} OUTPUT_NAME)
  if(NOT name)
    set(name ${target})
  endif()
  set(BUSGATE_RC_NAME ${name})
  if(type STREQUAL "SHARED_LIBRARY")
    set(BUSGATE_RC_FILETYPE VFT_DLL)
    set(BUSGATE_RC_FILENAME "${CMAKE_SHARED_LIBRARY_PREFIX}${name}${CMAKE_SHARED_LIBRARY_SUFFIX}")
  else()
    set(BUSGATE_RC_FILETYPE VFT_APP)
    set(BUSGATE_RC_FILENAME "${name}${CMAKE_EXECUTABLE_SUFFIX}")
  endif()
  set(BUSGATE_RC_EXTRA "")
  if("MESSAGES" IN_LIST ARGN)
    set(BUSGATE_RC_EXTRA "#include \"eventmessages.rc\"")
    add_dependencies(${target} busgate_event_messages)
    set_property(SOURCE ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc APPEND PROPERTY OBJECT_DEPENDS
      ${BUSGATE_MESSAGES_DIR}/eventmessages.rc ${BUSGATE_MESSAGES_DIR}/MSG00409.bin)
    target_include_directories(${target} PRIVATE ${BUSGATE_MESSAGES_DIR})
  endif()
  configure_file(${CMAKE_SOURCE_DIR}/cmake/windows/version.rc.in ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc @ONLY)
  target_sources(${target} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)

  if(CMAKE_BUILD_TYPE MATCHES "^(Release|RelWithDebInfo|MinSizeRel)$")
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${CMAKE_OBJCOPY} --only-keep-debug $<TARGET_FILE_NAME:${target}> $<TARGET_FILE_NAME:${target}>.debug
      COMMAND ${CMAKE_OBJCOPY} --strip-debug --strip-unneeded --add-gnu-debuglink=$<TARGET_FILE_NAME:${target}>.debug
              $<TARGET_FILE_NAME:${target}>
      WORKING_DIRECTORY $<TARGET_FILE_DIR:${target}>
      COMMENT "Debug information of ${target} kept in a .debug file beside it")
  endif()
endfunction()
