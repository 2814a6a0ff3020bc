# Release packages (CTest label "release"). A set-up test builds this tree's packages and the
# packages of the next build number to upgrade to; the black-box module then installs,
# upgrades and removes them under Wine, in a lane of its own (its own prefix and service
# manager).
string(REGEX MATCH "^([0-9]+)\\.([0-9]+)\\.([0-9]+)$" _guardian_version "${GUARDIAN_VERSION}")
if(_guardian_version)
  math(EXPR _guardian_next "${CMAKE_MATCH_3} + 1")
  set(GUARDIAN_UPGRADE_VERSION ${CMAKE_MATCH_1}.${CMAKE_MATCH_2}.${_guardian_next})
else()
  set(GUARDIAN_UPGRADE_VERSION none)  # not a package version: the packaging step says so
endif()
set(GUARDIAN_UPGRADE_PACKAGES ${CMAKE_BINARY_DIR}/release-upgrade/package)

# The agent of the next build number, for the upgrade: the agent's own objects linked with a
# version text of that number (and a version resource to match). Nothing else is compiled
# again, so the upgrade installs a program that differs from this build in its version only.
if(_guardian_version)
  set(GUARDIAN_VERSION_SAVED ${GUARDIAN_VERSION})
  set(GUARDIAN_VERSION ${GUARDIAN_UPGRADE_VERSION})
  configure_file(${CMAKE_SOURCE_DIR}/src/version.cpp.in ${CMAKE_BINARY_DIR}/generated/version_upgrade.cpp @ONLY)
  set(GUARDIAN_VERSION ${GUARDIAN_VERSION_SAVED})
  add_executable(ostrival_guardian_upgrade EXCLUDE_FROM_ALL
    ${CMAKE_SOURCE_DIR}/src/app/main.cpp ${CMAKE_BINARY_DIR}/generated/version_upgrade.cpp)
  target_link_libraries(ostrival_guardian_upgrade PRIVATE guardian_core)
  set_target_properties(ostrival_guardian_upgrade PROPERTIES
    OUTPUT_NAME ostrival_guardian RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/release-upgrade/bin)
  guardian_add_resources(ostrival_guardian_upgrade DESCRIPTION "Ostrival Guardian device agent" MESSAGE_TABLE
                         VERSION ${GUARDIAN_UPGRADE_VERSION})
endif()

add_test(NAME release_packages COMMAND sh -ec [[
  "$0" --build "$1" --target package
  "$0" --build "$1" --target ostrival_guardian_upgrade
  "$0" -D GUARDIAN_PACKAGE_CONFIG="$2" -D GUARDIAN_VERSION="$3" -D GUARDIAN_AGENT_EXE="$4" \
       -D GUARDIAN_PACKAGE_DIR="$5" -P "$6"]]
  ${CMAKE_COMMAND} ${CMAKE_BINARY_DIR} ${GUARDIAN_PACKAGE_CONFIG} ${GUARDIAN_UPGRADE_VERSION}
  ${CMAKE_BINARY_DIR}/release-upgrade/bin/ostrival_guardian.exe ${GUARDIAN_UPGRADE_PACKAGES}
  ${CMAKE_SOURCE_DIR}/packaging/package.cmake)
set_tests_properties(release_packages PROPERTIES FIXTURES_SETUP release_packages LABELS release TIMEOUT 1800)

set_tests_properties(blackbox_test_release PROPERTIES
  FIXTURES_REQUIRED "${GUARDIAN_LANE${GUARDIAN_LANE_test_release}_FIXTURE};release_packages" LABELS release)
set_property(TEST blackbox_test_release APPEND PROPERTY ENVIRONMENT
  "GUARDIAN_VERSION=${GUARDIAN_VERSION}"
  "GUARDIAN_PACKAGES=${CMAKE_BINARY_DIR}/package"
  "GUARDIAN_UPGRADE_VERSION=${GUARDIAN_UPGRADE_VERSION}"
  "GUARDIAN_UPGRADE_PACKAGES=${GUARDIAN_UPGRADE_PACKAGES}"
  "GUARDIAN_PACKAGE_CONFIG=${GUARDIAN_PACKAGE_CONFIG}"
  "GUARDIAN_PACKAGE_SCRIPT=${CMAKE_SOURCE_DIR}/packaging/package.cmake")
