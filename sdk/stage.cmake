# The SDK's folder: what an application is built with, for every toolchain. Included by
# packaging/package.cmake (with the DLLs the packages install), or run on its own for the
# tests, from the build tree's DLLs:
#   cmake -D GUARDIAN_PACKAGE_CONFIG=<build>/packaging/config.cmake -D GUARDIAN_SDK_STAGE=<folder> -P sdk/stage.cmake
# Layout (64-bit at the top, 32-bit in the subfolders x86, as in the agent's folder):
#   include/guardian_client.h, include/guardian_client_version.h
#   lib/ostrival_guardian_client.lib and .def          lib/x86/ the same, 32-bit
#   bin/ostrival_guardian_client.dll and .dll.debug    bin/x86/ the same, 32-bit
#   lib/cmake/OstrivalGuardianClient/                  find_package(OstrivalGuardianClient)
#   example/example.c
function(guardian_stage_sdk stage dll dll_x86)
  file(REMOVE_RECURSE ${stage})
  set(package_dir ${stage}/lib/cmake/OstrivalGuardianClient)
  file(MAKE_DIRECTORY ${stage}/include ${stage}/lib/x86 ${stage}/bin/x86 ${stage}/example ${package_dir})
  file(COPY_FILE ${GUARDIAN_SDK_SOURCE}/include/guardian_client.h ${stage}/include/guardian_client.h)
  file(COPY_FILE ${GUARDIAN_SDK_GENERATED}/guardian_client_version.h ${stage}/include/guardian_client_version.h)
  foreach(arch "" "x86/")
    foreach(file lib/ostrival_guardian_client.lib lib/ostrival_guardian_client.def bin/ostrival_guardian_client.dll.debug)
      get_filename_component(name ${file} NAME)
      get_filename_component(folder ${file} DIRECTORY)
      file(COPY_FILE ${GUARDIAN_OUT}/${arch}${name} ${stage}/${folder}/${arch}${name})
    endforeach()
  endforeach()
  file(COPY_FILE ${dll} ${stage}/bin/ostrival_guardian_client.dll)
  file(COPY_FILE ${dll_x86} ${stage}/bin/x86/ostrival_guardian_client.dll)
  file(COPY_FILE ${GUARDIAN_SDK_SOURCE}/example/example.c ${stage}/example/example.c)
  file(COPY_FILE ${GUARDIAN_SDK_SOURCE}/cmake/OstrivalGuardianClientConfig.cmake
       ${package_dir}/OstrivalGuardianClientConfig.cmake)
  string(REGEX MATCH "^[0-9]+" GUARDIAN_VERSION_MAJOR "${GUARDIAN_VERSION}")
  configure_file(${GUARDIAN_SDK_SOURCE}/cmake/OstrivalGuardianClientConfigVersion.cmake.in
                 ${package_dir}/OstrivalGuardianClientConfigVersion.cmake @ONLY)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  include(${GUARDIAN_PACKAGE_CONFIG})
  guardian_stage_sdk(${GUARDIAN_SDK_STAGE} ${GUARDIAN_OUT}/ostrival_guardian_client.dll
                     ${GUARDIAN_OUT}/x86/ostrival_guardian_client.dll)
endif()
