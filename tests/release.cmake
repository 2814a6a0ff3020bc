# Release packages (CTest label "release"). A set-up test builds this tree's packages and,
# from a second tree that builds only the agent, the packages of the next build number to
# upgrade to; the black-box module then installs, upgrades and removes them under Wine, in a
# lane of its own (its own prefix and service manager).
string(REGEX MATCH "^([0-9]+)\\.([0-9]+)\\.([0-9]+)$" _guardian_version "${GUARDIAN_VERSION}")
if(_guardian_version)
  math(EXPR _guardian_next "${CMAKE_MATCH_3} + 1")
  set(GUARDIAN_UPGRADE_VERSION ${CMAKE_MATCH_1}.${CMAKE_MATCH_2}.${_guardian_next})
else()
  set(GUARDIAN_UPGRADE_VERSION none)  # not a package version: the packaging step says so
endif()
set(GUARDIAN_UPGRADE_TREE ${CMAKE_BINARY_DIR}/release-upgrade)

add_test(NAME release_packages COMMAND sh -ec [[
  "$0" --build "$1" --target package
  "$0" -S "$2" -B "$3" -G "$4" -DCMAKE_TOOLCHAIN_FILE="$5" -DCMAKE_BUILD_TYPE=Release \
       -DGUARDIAN_VERSION="$6" -DGUARDIAN_BUILD_TESTS=OFF >/dev/null
  "$0" --build "$3" --target package]]
  ${CMAKE_COMMAND} ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR} ${GUARDIAN_UPGRADE_TREE}
  ${CMAKE_GENERATOR} ${CMAKE_TOOLCHAIN_FILE} ${GUARDIAN_UPGRADE_VERSION})
set_tests_properties(release_packages PROPERTIES FIXTURES_SETUP release_packages LABELS release TIMEOUT 1800)

set_tests_properties(blackbox_test_release PROPERTIES
  FIXTURES_REQUIRED "${GUARDIAN_LANE${GUARDIAN_LANE_test_release}_FIXTURE};release_packages" LABELS release)
set_property(TEST blackbox_test_release APPEND PROPERTY ENVIRONMENT
  "GUARDIAN_VERSION=${GUARDIAN_VERSION}"
  "GUARDIAN_PACKAGES=${CMAKE_BINARY_DIR}/package"
  "GUARDIAN_UPGRADE_VERSION=${GUARDIAN_UPGRADE_VERSION}"
  "GUARDIAN_UPGRADE_PACKAGES=${GUARDIAN_UPGRADE_TREE}/package"
  "GUARDIAN_PACKAGE_CONFIG=${GUARDIAN_PACKAGE_CONFIG}"
  "GUARDIAN_PACKAGE_SCRIPT=${CMAKE_SOURCE_DIR}/packaging/package.cmake")
