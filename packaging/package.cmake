# Builds the release packages: run by the "package" target as
#   cmake -D GUARDIAN_PACKAGE_CONFIG=<build>/packaging/config.cmake
#         [-D GUARDIAN_SIGN_CERT=chain.pem -D GUARDIAN_SIGN_KEY=key.pem] [-D GUARDIAN_SIGN_TIMESTAMP_URL=url]
#         [-D GUARDIAN_PACKAGE_DIR=folder] -P package.cmake
# The configuration file (written when the build tree is configured) names the version, the
# programs and the strip tool. Output, in GUARDIAN_PACKAGE_DIR (default <build>/package):
#   OstrivalGuardian-<version>-x64.msi   per-machine installer (see guardian.wxs)
#   OstrivalGuardian-<version>-x64.zip   the same files in one folder, with INSTALL.txt
#   OstrivalGuardian-SDK-<version>.zip   the client library for applications, 64- and 32-bit: its
#                                         headers, import libraries and .def files, DLLs with their
#                                         debugging information, CMake package file and example,
#                                         with the licence texts (see sdk/stage.cmake)
# With a certificate and key, the exe and the DLLs are signed before they go into any
# package, and the MSI after it is built.
cmake_minimum_required(VERSION 3.21)

include(${GUARDIAN_PACKAGE_CONFIG})
set(here ${CMAKE_CURRENT_LIST_DIR})

# Windows Installer versions are major.minor.build, at most 255.255.65535; a fourth field
# would be ignored when versions are compared, so it is refused here.
if(NOT GUARDIAN_VERSION MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)$"
   OR CMAKE_MATCH_1 GREATER 255 OR CMAKE_MATCH_2 GREATER 255 OR CMAKE_MATCH_3 GREATER 65535)
  message(FATAL_ERROR "GUARDIAN_VERSION \"${GUARDIAN_VERSION}\" cannot be a package version: "
                      "use major.minor.build, at most 255.255.65535")
endif()

set(signing OFF)
if(GUARDIAN_SIGN_CERT OR GUARDIAN_SIGN_KEY)
  foreach(f GUARDIAN_SIGN_CERT GUARDIAN_SIGN_KEY)
    if(NOT ${f} OR NOT IS_ABSOLUTE "${${f}}" OR NOT EXISTS "${${f}}")
      message(FATAL_ERROR "${f} must name an existing file by its full path (both GUARDIAN_SIGN_CERT and GUARDIAN_SIGN_KEY are needed to sign)")
    endif()
  endforeach()
  set(signing ON)
endif()

foreach(tool wixl msibuild msiinfo osslsigncode)
  find_program(GUARDIAN_${tool} ${tool})
endforeach()
foreach(tool wixl msibuild msiinfo)
  if(NOT GUARDIAN_${tool})
    message(FATAL_ERROR "${tool} not found: run scripts/setup.sh (Debian packages wixl and msitools)")
  endif()
endforeach()
if(signing AND NOT GUARDIAN_osslsigncode)
  message(FATAL_ERROR "osslsigncode not found: run scripts/setup.sh (Debian package osslsigncode)")
endif()

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result COMMAND_ECHO NONE)
  if(NOT result EQUAL 0)
    list(GET ARGN 0 program)
    get_filename_component(program "${program}" NAME)
    message(FATAL_ERROR "${program} failed (${result})")
  endif()
endfunction()

# Signs FILE in place.
function(sign file)
  set(args sign -certs ${GUARDIAN_SIGN_CERT} -key ${GUARDIAN_SIGN_KEY} -h sha256 -n "Ostrival Guardian")
  if(GUARDIAN_SIGN_TIMESTAMP_URL)
    list(APPEND args -ts ${GUARDIAN_SIGN_TIMESTAMP_URL})
  endif()
  file(REMOVE "${file}.signed")
  execute_process(COMMAND ${GUARDIAN_osslsigncode} ${args} -in ${file} -out ${file}.signed
                  RESULT_VARIABLE result OUTPUT_QUIET)
  if(NOT result EQUAL 0)
    file(REMOVE "${file}.signed")
    message(FATAL_ERROR "osslsigncode could not sign ${file}")
  endif()
  file(RENAME "${file}.signed" "${file}")
endfunction()

# The file version in a program's version resource, as Windows Installer writes it
# ("1.2.4.0"); empty when the program has none. The fixed part of the resource follows its key
# "VS_VERSION_INFO" (UTF-16) and its signature 0xFEEF04BD: the structure's version, then the
# file version as two little-endian 32-bit numbers, the major and minor parts, then the
# build and the revision, each in 16 bits.
function(file_version path out)
  file(READ ${path} hex HEX)
  set(${out} "" PARENT_SCOPE)
  string(FIND "${hex}" "560053005f00560045005200530049004f004e005f0049004e0046004f000000" key)
  if(key LESS 0 OR NOT key MATCHES "[02468]$")  # on a byte boundary
    return()
  endif()
  string(SUBSTRING "${hex}" ${key} 200 fixed)
  string(FIND "${fixed}" "bd04effe" signature)
  if(signature LESS 0 OR NOT signature MATCHES "[02468]$")
    return()
  endif()
  math(EXPR at "${signature} + 16")
  string(SUBSTRING "${fixed}" ${at} 16 words)
  set(parts)
  foreach(pair 4 0 12 8)  # minor, major, revision, build as they lie; taken major first
    string(SUBSTRING "${words}" ${pair} 4 le)
    string(SUBSTRING "${le}" 2 2 high)
    string(SUBSTRING "${le}" 0 2 low)
    math(EXPR number "0x${high}${low}")
    list(APPEND parts ${number})
  endforeach()
  string(REPLACE ";" "." parts "${parts}")
  set(${out} ${parts} PARENT_SCOPE)
endfunction()

# Fixed for the product's life: it ties every version together for upgrades.
set(upgrade_code "{12E9038A-2491-40AE-985B-97D78330A36E}")

set(name OstrivalGuardian-${GUARDIAN_VERSION}-x64)
set(msi ${GUARDIAN_PACKAGE_DIR}/${name}.msi)
set(zip ${GUARDIAN_PACKAGE_DIR}/${name}.zip)
set(stage ${GUARDIAN_PACKAGE_DIR}/${name})
set(sdk_name OstrivalGuardian-SDK-${GUARDIAN_VERSION})
set(sdk_zip ${GUARDIAN_PACKAGE_DIR}/${sdk_name}.zip)
set(sdk_stage ${GUARDIAN_PACKAGE_DIR}/${sdk_name})
# Whatever an earlier run left goes first, so a failed run leaves no package behind.
set(actions_stage ${GUARDIAN_PACKAGE_DIR}/${name}-msi-actions)
file(REMOVE_RECURSE ${stage} ${msi} ${msi}.tmp ${msi}.lock.idt ${zip} ${zip}.tmp ${sdk_stage} ${sdk_zip} ${sdk_zip}.tmp
     ${actions_stage})
file(MAKE_DIRECTORY ${stage}/licenses)

# The programs, without their debugging information, signed when a certificate is given.
# wixl leaves the File table's versions empty, so they are read from the files here, as
# Windows Installer's file versioning expects them.
# The 32-bit client library and the DLLs it loads go into the folder x86, for 32-bit
# applications. Each file is named by its File table key (guardian.wxs), since the two folders
# hold files of the same names.
set(programs "AgentExe:${GUARDIAN_AGENT_EXE}" "ClientDll:${GUARDIAN_CLIENT_DLL}")
list(GET GUARDIAN_PACKAGE_DLLS 0 gcrypt)
list(GET GUARDIAN_PACKAGE_DLLS 1 gpg_error)
list(APPEND programs "GcryptDll:${gcrypt}" "GpgErrorDll:${gpg_error}"
     "ClientDllX86:${GUARDIAN_CLIENT_DLL_X86}")
list(GET GUARDIAN_PACKAGE_DLLS_X86 0 gcrypt)
list(GET GUARDIAN_PACKAGE_DLLS_X86 1 gpg_error)
list(APPEND programs "GcryptDllX86:${gcrypt}" "GpgErrorDllX86:${gpg_error}")
file(MAKE_DIRECTORY ${stage}/x86)
set(file_versions)
foreach(entry ${programs})
  string(REGEX MATCH "^([A-Za-z0-9]+):(.*)$" entry "${entry}")
  set(key ${CMAKE_MATCH_1})
  set(program ${CMAKE_MATCH_2})
  get_filename_component(file ${program} NAME)
  set(strip ${GUARDIAN_STRIP})
  if(key MATCHES "X86$")
    set(file x86/${file})
    set(strip ${GUARDIAN_STRIP_X86})
  endif()
  run(${strip} --strip-unneeded -o ${stage}/${file} ${program})
  if(signing)
    sign(${stage}/${file})
  endif()
  file_version(${stage}/${file} version)
  if(version)
    list(APPEND file_versions -q "UPDATE File SET Version = '${version}' WHERE File = '${key}'")
  endif()
endforeach()

# The custom action DLL, which only the MSI carries (in its Binary table).
file(MAKE_DIRECTORY ${actions_stage})
set(actions_dll ${actions_stage}/guardian_msi_actions.dll)
run(${GUARDIAN_STRIP} --strip-unneeded -o ${actions_dll} ${GUARDIAN_MSI_ACTIONS_DLL})
if(signing)
  sign(${actions_dll})
endif()

# Licence texts of what the programs carry: the two DLLs (LGPL 2.1 or later, linked
# dynamically), the JSON library and the MinGW-w64 runtime (linked in).
file(COPY_FILE ${here}/THIRD-PARTY-NOTICES.txt ${stage}/licenses/THIRD-PARTY-NOTICES.txt)
file(COPY_FILE /usr/share/common-licenses/LGPL-2.1 ${stage}/licenses/LGPL-2.1.txt)
foreach(pair "libgcrypt-mingw-w64-dev:libgcrypt" "libgpg-error-mingw-w64-dev:libgpg-error"
             "nlohmann-json3-dev:nlohmann-json" "mingw-w64-x86-64-dev:mingw-w64")
  string(REPLACE ":" ";" pair "${pair}")
  list(GET pair 0 debian)
  list(GET pair 1 text)
  file(COPY_FILE /usr/share/doc/${debian}/copyright ${stage}/licenses/${text}.txt)
endforeach()

# The MSI. wixl reads the sources relative to its working folder, by relative paths only.
file(RELATIVE_PATH actions_source ${stage} ${actions_dll})
run(${CMAKE_COMMAND} -E chdir ${stage}
    ${GUARDIAN_wixl} --arch x64 -D Version=${GUARDIAN_VERSION} -D UpgradeCode=${upgrade_code}
    -D ActionsDll=${actions_source} -o ${msi}.tmp ${here}/guardian.wxs)
file(REMOVE_RECURSE ${actions_stage})
# Three tables wixl cannot express:
# - rollback custom actions (it writes Execute="rollback" as an immediate action): in the
#   script, rollback only, not impersonated, result ignored (0x400 | 0x100 | 0x800 | 0x40 | 18);
# - an upgrade range that includes its upper bound (it drops IncludeMaximum): another build
#   of the same version then replaces the installed one instead of installing beside it;
# - the program folder's access list (MsiLockPermissionsEx, Windows Installer 5): not inherited,
#   full control for LocalSystem and the Administrators, read and execute for Users, passed on
#   to the files. The service runs as LocalSystem from there, and "--install" refuses a folder
#   that others could change.
set(folder_sddl "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)")
file(WRITE ${msi}.lock.idt "MsiLockPermissionsEx\tLockObject\tTable\tSDDLText\tCondition\n"
                           "s72\ts72\ts32\ts0\tS255\n"
                           "MsiLockPermissionsEx\tMsiLockPermissionsEx\n"
                           "ProgramFolder\tINSTALLDIR\tCreateFolder\t${folder_sddl}\t\n")
run(${GUARDIAN_msibuild} ${msi}.tmp
    -q "UPDATE CustomAction SET Type = 3410 WHERE Action = 'ServiceInstallUndo' OR Action = 'ServiceRemoveUndo'"
    -q "DELETE FROM Upgrade WHERE ActionProperty = 'WIX_UPGRADE_DETECTED'"
    -q "INSERT INTO Upgrade (UpgradeCode, VersionMin, VersionMax, Attributes, ActionProperty) VALUES ('${upgrade_code}', '0.0.0', '${GUARDIAN_VERSION}', 768, 'WIX_UPGRADE_DETECTED')"
    ${file_versions}
    -i ${msi}.lock.idt)
file(REMOVE ${msi}.lock.idt)
# An action renamed in guardian.wxs would leave the update without effect: check the result.
foreach(table CustomAction Upgrade File CreateFolder MsiLockPermissionsEx)
  execute_process(COMMAND ${GUARDIAN_msiinfo} export ${msi}.tmp ${table} OUTPUT_VARIABLE ${table})
endforeach()
string(REGEX MATCHALL "\nService[A-Za-z]+Undo\t3410\t" rollback_rows "${CustomAction}")
list(LENGTH rollback_rows rollback_count)
string(FIND "${MsiLockPermissionsEx}" "\nProgramFolder\tINSTALLDIR\tCreateFolder\t${folder_sddl}\t" folder_lock)
if(NOT rollback_count EQUAL 2 OR NOT Upgrade MATCHES "\t0\.0\.0\t${GUARDIAN_VERSION}\t\t768\t\tWIX_UPGRADE_DETECTED"
   OR NOT File MATCHES "\tostrival_guardian\.exe\t[0-9]+\t${GUARDIAN_VERSION}\.0\t"
   OR NOT CreateFolder MATCHES "\nINSTALLDIR\tAgentExe\r?\n" OR folder_lock EQUAL -1)
  message(FATAL_ERROR "the MSI's CustomAction, Upgrade, File, CreateFolder or MsiLockPermissionsEx table did not "
                      "take its corrections")
endif()
if(signing)
  sign(${msi}.tmp)
endif()
file(RENAME ${msi}.tmp ${msi})

# The zip: one folder with the same signed files and the installation text.
# INSTALL.txt names the version, and says whether the programs are signed.
set(VERSION ${GUARDIAN_VERSION})
if(signing)
  set(SIGNATURE "The programs are signed (Authenticode); check a signature in a file's Properties, Digital Signatures.")
else()
  set(SIGNATURE "The programs in this build are not signed.")
endif()
configure_file(${here}/INSTALL.txt ${stage}/INSTALL.txt @ONLY NEWLINE_STYLE CRLF)
run(${CMAKE_COMMAND} -E chdir ${GUARDIAN_PACKAGE_DIR}
    ${CMAKE_COMMAND} -E tar cf ${zip}.tmp --format=zip ${name})
file(RENAME ${zip}.tmp ${zip})

# The SDK: what an application is built with. Its DLLs are the ones the packages install (the
# applications load those, from the agent's folder).
include(${GUARDIAN_SDK_SOURCE}/stage.cmake)
guardian_stage_sdk(${sdk_stage} ${stage}/ostrival_guardian_client.dll ${stage}/x86/ostrival_guardian_client.dll)
file(COPY ${stage}/licenses DESTINATION ${sdk_stage})
run(${CMAKE_COMMAND} -E chdir ${GUARDIAN_PACKAGE_DIR}
    ${CMAKE_COMMAND} -E tar cf ${sdk_zip}.tmp --format=zip ${sdk_name})
file(RENAME ${sdk_zip}.tmp ${sdk_zip})

file(SIZE ${msi} msi_size)
file(SIZE ${zip} zip_size)
file(SIZE ${sdk_zip} sdk_zip_size)
message(STATUS "${msi} (${msi_size} bytes)")
message(STATUS "${zip} (${zip_size} bytes)")
message(STATUS "${sdk_zip} (${sdk_zip_size} bytes)")
if(signing)
  message(STATUS "signed with ${GUARDIAN_SIGN_CERT}")
else()
  message(STATUS "unsigned: set GUARDIAN_SIGN_CERT and GUARDIAN_SIGN_KEY to sign")
endif()
