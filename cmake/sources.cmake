# The source lists shared by the Windows build and the native build of the portable core.
# A source that needs a Windows call at compile or link time ends in "_win.cpp"; the
# services the portable core calls (crypto, log and Event Log sinks, process id) have one implementation
# per platform: "_win.cpp" for the product, "_posix.cpp" for the native build on the
# build host, which only tests and fuzzes the core.
# Paths are made absolute and normalised first, so that the lists can be compared.
get_filename_component(_guardian_src ${CMAKE_CURRENT_LIST_DIR}/../src ABSOLUTE)
file(GLOB _guardian_all CONFIGURE_DEPENDS ${_guardian_src}/*/*.cpp)
set(GUARDIAN_PLATFORM_WIN_SOURCES)
foreach(_name store/crypto_win.cpp store/gcrypt_api_win.cpp base/library_win.cpp base/text_win.cpp
              base/log_win.cpp base/event_log_win.cpp base/object_owner_win.cpp base/process_win.cpp)
  list(APPEND GUARDIAN_PLATFORM_WIN_SOURCES ${_guardian_src}/${_name})
endforeach()
set(GUARDIAN_PLATFORM_POSIX_SOURCES ${_guardian_all})
list(FILTER GUARDIAN_PLATFORM_POSIX_SOURCES INCLUDE REGEX "_posix\\.cpp$")
set(GUARDIAN_PORTABLE_SOURCES ${_guardian_all})
list(FILTER GUARDIAN_PORTABLE_SOURCES EXCLUDE REGEX "(_win\\.cpp|_posix\\.cpp|/src/app/main\\.cpp)$")
set(GUARDIAN_WIN_SOURCES ${_guardian_all})
list(FILTER GUARDIAN_WIN_SOURCES INCLUDE REGEX "_win\\.cpp$")
list(REMOVE_ITEM GUARDIAN_WIN_SOURCES ${GUARDIAN_PLATFORM_WIN_SOURCES})

# The client library's own build (GUARDIAN_CLIENT_ONLY, the 32-bit DLL) takes the folders the
# library stands on and nothing above the channel.
if(GUARDIAN_CLIENT_ONLY)
  foreach(_list GUARDIAN_PORTABLE_SOURCES GUARDIAN_WIN_SOURCES GUARDIAN_PLATFORM_WIN_SOURCES)
    list(FILTER ${_list} INCLUDE REGEX "/src/(base|store|docs|device|channel)/")
  endforeach()
endif()
