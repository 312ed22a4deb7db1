# Builds the Windows Installer package from packaging/faxjob.wxs with wixl (Debian's wixl).
#
# Included by cmake/release_files.cmake in the package step, or run as a script, as the tests do
# to make a package of a higher version from the same files:
#
#   cmake -D STAGE=<folder> -D VERSION=<x.y.z> -D OUTPUT=<file.msi> -P cmake/msi.cmake
#
# STAGE holds faxjob.exe, README.md and callers\ as the zip lays them out.
#
# What wixl cannot express is set in the package's tables afterwards, with msitools' msibuild:
# - faxjob.exe's File.Version, read from the program's version resource, and no MsiFileHash row
#   for it. Windows Installer lets a versioned file on disk win over an unversioned one in the
#   package, so a faxjob.exe copied from the zip would never be replaced, and an upgrade that
#   decides to keep the file (before it removes the older product) ends with none at all.
#   Versioned files are compared by version only: every release must bump the version.
# - INSTALLDIR among the secure properties: otherwise Windows drops it from an install that a
#   standard user starts and the system completes elevated.

# Fixed for good: Windows Installer finds an installed faxjob by it, to upgrade it.
set(FAXJOB_MSI_UPGRADE_CODE "E79ADC10-FEEC-4DB9-BBCC-659B2B13E9F6")

# The file version of a Windows program, "a.b.c.d", from the fixed part of its version resource
# (the signature 0xFEEF04BD and structure version 1.0, then the two little-endian words).
function(faxjob_file_version program out_var)
  file(READ "${program}" content HEX)
  string(FIND "${content}" "bd04effe00000100" at)
  math(EXPR odd "${at} % 2")
  if(at LESS 0 OR odd)
    message(FATAL_ERROR "No version resource found in ${program}")
  endif()
  set(numbers "")
  foreach(offset 16 24)  # the most significant word, then the least
    math(EXPR begin "${at} + ${offset}")
    string(SUBSTRING "${content}" ${begin} 8 word)
    foreach(half 4 0)  # the high half is the first number; each half's bytes reversed
      string(SUBSTRING "${word}" ${half} 4 bytes)
      string(REGEX REPLACE "^(..)(..)$" "0x\\2\\1" number "${bytes}")
      math(EXPR number "${number}")
      list(APPEND numbers ${number})
    endforeach()
  endforeach()
  list(JOIN numbers "." version)
  set(${out_var} "${version}" PARENT_SCOPE)
endfunction()

function(faxjob_build_msi stage version output)
  find_program(FAXJOB_WIXL wixl)
  if(NOT FAXJOB_WIXL)
    message(FATAL_ERROR "wixl not found: it makes the MSI (Debian package wixl; scripts/setup)")
  endif()
  # A new product code for each version (a major upgrade needs one), the same for each build of
  # one version (a rebuild gives the same tables).
  string(UUID product_code NAMESPACE "${FAXJOB_MSI_UPGRADE_CODE}" NAME "faxjob ${version}"
         TYPE SHA1 UPPER)
  get_filename_component(wxs "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/../packaging/faxjob.wxs"
                         ABSOLUTE)
  get_filename_component(output "${output}" ABSOLUTE)
  # wixl takes the files' paths relative to its working folder only. The cabinet keeps the
  # files' dates: release_files.cmake sets them first.
  execute_process(
    COMMAND "${FAXJOB_WIXL}" --arch x86 -D "Version=${version}" -D "ProductCode=${product_code}"
            -D "UpgradeCode=${FAXJOB_MSI_UPGRADE_CODE}" -D Stage=. -o "${output}" "${wxs}"
    WORKING_DIRECTORY "${stage}"
    RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "wixl failed to make ${output}")
  endif()

  find_program(FAXJOB_MSIBUILD msibuild)
  find_program(FAXJOB_MSIINFO msiinfo)
  if(NOT FAXJOB_MSIBUILD OR NOT FAXJOB_MSIINFO)
    message(FATAL_ERROR "msibuild or msiinfo not found: they complete the MSI (Debian package "
                        "msitools; scripts/setup)")
  endif()
  faxjob_file_version("${stage}/faxjob.exe" file_version)
  # The secure properties wixl set for the upgrade, and INSTALLDIR.
  execute_process(COMMAND "${FAXJOB_MSIINFO}" export "${output}" Property
                  OUTPUT_VARIABLE properties RESULT_VARIABLE failed)
  if(failed OR NOT properties MATCHES "\nSecureCustomProperties\t([^\r\n]*)")
    message(FATAL_ERROR "No secure properties in ${output}")
  endif()
  set(secure "INSTALLDIR;${CMAKE_MATCH_1}")
  execute_process(
    COMMAND "${FAXJOB_MSIBUILD}" "${output}"
            -q "UPDATE File SET Version = '${file_version}' WHERE File = 'faxjob.exe'"
            -q "DELETE FROM MsiFileHash WHERE File_ = 'faxjob.exe'"
            -q "UPDATE Property SET Value = '${secure}' WHERE Property = 'SecureCustomProperties'"
    RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "msibuild failed to complete ${output}")
  endif()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  foreach(variable STAGE VERSION OUTPUT)
    if(NOT DEFINED ${variable})
      message(FATAL_ERROR "usage: cmake -D STAGE=<folder> -D VERSION=<x.y.z> -D OUTPUT=<file.msi> "
                          "-P ${CMAKE_CURRENT_LIST_FILE}")
    endif()
  endforeach()
  faxjob_build_msi("${STAGE}" "${VERSION}" "${OUTPUT}")
endif()
