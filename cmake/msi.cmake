# Builds the Windows Installer package from packaging/faxjob.wxs with wixl (Debian's wixl).
#
# Included by cmake/release_files.cmake in the package step, or run as a script, as the tests do
# to make a package of a higher version from the same files:
#
#   cmake -D STAGE=<folder> -D VERSION=<x.y.z> -D OUTPUT=<file.msi> -P cmake/msi.cmake
#
# STAGE holds faxjob.exe, README.md and callers\ as the zip lays them out.

# Fixed for good: Windows Installer finds an installed faxjob by it, to upgrade it.
set(FAXJOB_MSI_UPGRADE_CODE "E79ADC10-FEEC-4DB9-BBCC-659B2B13E9F6")

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
