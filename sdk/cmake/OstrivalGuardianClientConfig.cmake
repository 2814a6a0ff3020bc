# The client library for CMake: find_package(OstrivalGuardianClient) gives the imported target
# OstrivalGuardian::client (the DLL, its import library and the header's folder) for the
# architecture being built: 64-bit from bin/ and lib/, 32-bit from bin/x86/ and lib/x86/.
#   find_package(OstrivalGuardianClient 1.2 REQUIRED)   with OstrivalGuardianClient_DIR=<SDK>/lib/cmake/OstrivalGuardianClient
#   target_link_libraries(app PRIVATE OstrivalGuardian::client)
# Install the DLL beside the agent (the 32-bit one in its subfolder x86), not with the
# application: OSTRIVAL_GUARDIAN_CLIENT_DLL names it, for tests that run the application.
get_filename_component(_ostrival_sdk "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(_ostrival_arch "x86/")
else()
  set(_ostrival_arch "")
endif()
if(NOT TARGET OstrivalGuardian::client)
  add_library(OstrivalGuardian::client SHARED IMPORTED)
  set_target_properties(OstrivalGuardian::client PROPERTIES
    IMPORTED_LOCATION "${_ostrival_sdk}/bin/${_ostrival_arch}ostrival_guardian_client.dll"
    IMPORTED_IMPLIB "${_ostrival_sdk}/lib/${_ostrival_arch}ostrival_guardian_client.lib"
    INTERFACE_INCLUDE_DIRECTORIES "${_ostrival_sdk}/include")
endif()
set(OSTRIVAL_GUARDIAN_CLIENT_DLL "${_ostrival_sdk}/bin/${_ostrival_arch}ostrival_guardian_client.dll")
unset(_ostrival_arch)
unset(_ostrival_sdk)
