# Windows resources of the binaries of ours:
#
#   guardian_add_resources(TARGET DESCRIPTION "text" [MESSAGE_TABLE] [VERSION text])
#
# gives TARGET a version resource made from GUARDIAN_VERSION, or VERSION (file and product version,
# company, product, the description, the target's file name as the original file name), and,
# for a program, the application manifest resources/app.manifest (asInvoker, Windows 10 and
# 11). A DLL gets the version resource only, with the DLL file type. MESSAGE_TABLE adds the
# Event Log message table compiled from resources/messages.mc; the agent's executable carries
# it, since its Event Log source names that file.
# The messages' header (GUARDIAN_MESSAGES_DIR/messages.h) is what the code checks its event
# IDs against.

find_program(GUARDIAN_WINDMC ${GUARDIAN_MINGW_TRIPLE}-windmc)
if(NOT GUARDIAN_WINDMC)
  message(FATAL_ERROR "${GUARDIAN_MINGW_TRIPLE}-windmc not found: apt-get install binutils-mingw-w64-x86-64")
endif()

# Up to four numbers from the start of a version text ("1.2.4" gives 1,2,4,0), into out.
function(guardian_rc_version text out)
  string(REGEX MATCH "^([0-9]+)(\\.([0-9]+))?(\\.([0-9]+))?(\\.([0-9]+))?" match "${text}")
  if(NOT match)
    message(FATAL_ERROR "version \"${text}\" does not start with a number, which the version resource needs")
  endif()
  set(numbers)
  foreach(field "${CMAKE_MATCH_1}" "${CMAKE_MATCH_3}" "${CMAKE_MATCH_5}" "${CMAKE_MATCH_7}")
    if(field STREQUAL "")
      set(field 0)
    elseif(field GREATER 65535)
      message(FATAL_ERROR "version \"${text}\": a version resource holds numbers up to 65535")
    endif()
    list(APPEND numbers ${field})
  endforeach()
  string(REPLACE ";" "," numbers "${numbers}")
  set(${out} "${numbers}" PARENT_SCOPE)
endfunction()
guardian_rc_version("${GUARDIAN_VERSION}" GUARDIAN_RC_VERSION)

set(GUARDIAN_MESSAGES_DIR ${CMAKE_BINARY_DIR}/generated/messages)
set(GUARDIAN_MESSAGES_OUTPUTS ${GUARDIAN_MESSAGES_DIR}/messages.h ${GUARDIAN_MESSAGES_DIR}/messages.rc
    ${GUARDIAN_MESSAGES_DIR}/MSG00409.bin)
add_custom_command(OUTPUT ${GUARDIAN_MESSAGES_OUTPUTS}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${GUARDIAN_MESSAGES_DIR}
  COMMAND ${GUARDIAN_WINDMC} -U -r ${GUARDIAN_MESSAGES_DIR} -h ${GUARDIAN_MESSAGES_DIR}
          ${CMAKE_SOURCE_DIR}/resources/messages.mc
  DEPENDS ${CMAKE_SOURCE_DIR}/resources/messages.mc
  COMMENT "Compiling the Event Log message table" VERBATIM)

function(guardian_add_resources target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "MESSAGE_TABLE" "DESCRIPTION;VERSION" "")
  if(NOT arg_DESCRIPTION)
    message(FATAL_ERROR "guardian_add_resources(${target}): DESCRIPTION is missing")
  endif()
  get_target_property(type ${target} TYPE)
  if(arg_VERSION)  # another version than the build's (the release tests' upgrade program)
    set(GUARDIAN_VERSION "${arg_VERSION}")
    guardian_rc_version("${arg_VERSION}" GUARDIAN_RC_VERSION)
  endif()
  set(GUARDIAN_RC_NAME ${target})
  set(GUARDIAN_RC_DESCRIPTION "${arg_DESCRIPTION}")
  set(GUARDIAN_RC_FILE_NAME "$<TARGET_FILE_NAME:${target}>")
  set(GUARDIAN_RC_EXTRA "")
  set(depends ${CMAKE_SOURCE_DIR}/resources/version.rc.in)
  if(type STREQUAL "EXECUTABLE")
    set(GUARDIAN_RC_FILETYPE VFT_APP)
    # 1 = CREATEPROCESS_MANIFEST_RESOURCE_ID, 24 = RT_MANIFEST
    string(APPEND GUARDIAN_RC_EXTRA "1 24 \"${CMAKE_SOURCE_DIR}/resources/app.manifest\"\n")
    list(APPEND depends ${CMAKE_SOURCE_DIR}/resources/app.manifest)
  else()
    set(GUARDIAN_RC_FILETYPE VFT_DLL)
  endif()
  if(arg_MESSAGE_TABLE)
    string(APPEND GUARDIAN_RC_EXTRA "#include \"messages.rc\"\n")
    list(APPEND depends ${GUARDIAN_MESSAGES_OUTPUTS})
    target_include_directories(${target} PRIVATE ${GUARDIAN_MESSAGES_DIR})
  endif()
  set(rc ${CMAKE_BINARY_DIR}/generated/resources/${target}.rc)
  configure_file(${CMAKE_SOURCE_DIR}/resources/version.rc.in ${rc}.in @ONLY)
  file(GENERATE OUTPUT ${rc} INPUT ${rc}.in)
  target_sources(${target} PRIVATE ${rc})
  set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS "${depends}")
endfunction()
