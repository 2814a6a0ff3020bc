# The source lists shared by the Windows build and the native build of the portable core.
# A source that needs a Windows call at compile or link time ends in "_win.cpp"; the
# services the portable core calls (crypto, log sink, process id) have one implementation
# per platform.
file(GLOB _guardian_all CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/../src/*/*.cpp)
set(GUARDIAN_PLATFORM_WIN_SOURCES)
foreach(_name store/crypto_win.cpp runtime/log_win.cpp base/object_owner_win.cpp base/process_win.cpp)
  get_filename_component(_path ${CMAKE_CURRENT_LIST_DIR}/../src/${_name} ABSOLUTE)
  list(APPEND GUARDIAN_PLATFORM_WIN_SOURCES ${_path})
endforeach()
set(GUARDIAN_PORTABLE_SOURCES ${_guardian_all})
list(FILTER GUARDIAN_PORTABLE_SOURCES EXCLUDE REGEX "(_win\\.cpp|/src/app/main\\.cpp)$")
set(GUARDIAN_WIN_SOURCES ${_guardian_all})
list(FILTER GUARDIAN_WIN_SOURCES INCLUDE REGEX "_win\\.cpp$")
list(REMOVE_ITEM GUARDIAN_WIN_SOURCES ${GUARDIAN_PLATFORM_WIN_SOURCES})
