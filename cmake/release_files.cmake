# The end of the package step (CPACK_POST_BUILD_SCRIPTS), run by CPack after it made the zips and
# before it copies them out of its staging folder:
#
#   1. the zips rewritten to depend on their contents alone, dated from the last commit;
#   2. faxjob-<version>-win32.msi made from the files staged for the program's zip (signed there
#      already, if a certificate was given), and then signed itself;
#   3. SHA256SUMS over the release files and the program inside them.
#
# The date is SOURCE_DATE_EPOCH where it is set, else the time of the last commit where the
# source is a git checkout of its own, else the newest modification time of the files the release
# is made from (a `git archive` tree gives each file the commit's time).

include("${CMAKE_CURRENT_LIST_DIR}/msi.cmake")

set(source_dir "${CPACK_FAXJOB_SOURCE_DIR}")
set(program "${CPACK_ARCHIVE_PROGRAM_FILE_NAME}")
set(stage "${CPACK_TEMPORARY_DIRECTORY}/program/${program}")
set(msi "${CPACK_PACKAGE_DIRECTORY}/${program}.msi")

if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(epoch "$ENV{SOURCE_DATE_EPOCH}")
else()
  # Only the source's own history counts: a tree unpacked inside another checkout is no checkout.
  execute_process(COMMAND git rev-parse --show-toplevel WORKING_DIRECTORY "${source_dir}"
                  OUTPUT_VARIABLE top OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET
                  RESULT_VARIABLE no_git)
  set(epoch "")
  if(NOT no_git)
    file(REAL_PATH "${top}" top)
    file(REAL_PATH "${source_dir}" real_source_dir)
    if(top STREQUAL real_source_dir)
      execute_process(COMMAND git log -1 --format=%ct WORKING_DIRECTORY "${source_dir}"
                      OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    endif()
  endif()
  if(NOT epoch)
    # Named folders only: a build folder inside the source tree holds newer files.
    file(GLOB_RECURSE sources LIST_DIRECTORIES false
         "${source_dir}/src/*" "${source_dir}/cmake/*" "${source_dir}/packaging/*"
         "${source_dir}/docs/*" "${source_dir}/standin/*")
    set(epoch 0)
    foreach(file IN LISTS sources ITEMS "${source_dir}/CMakeLists.txt" "${source_dir}/README.md")
      file(TIMESTAMP "${file}" modified "%s" UTC)
      if(modified GREATER epoch)
        set(epoch "${modified}")
      endif()
    endforeach()
    message(STATUS "- release date: the newest modification time of the sources, ${epoch}")
  endif()
endif()
if(NOT epoch MATCHES "^[0-9]+$")
  message(FATAL_ERROR "SOURCE_DATE_EPOCH is not a number of seconds: ${epoch}")
endif()

if(NOT CPACK_FAXJOB_PYTHON)
  message(FATAL_ERROR "Python 3 not found: it makes the release files reproducible")
endif()
set(normalize "${CPACK_FAXJOB_PYTHON}" "${source_dir}/packaging/normalize.py")
execute_process(COMMAND ${normalize} zip ${epoch} ${CPACK_PACKAGE_FILES} RESULT_VARIABLE failed)
if(NOT failed)
  execute_process(COMMAND ${normalize} dates ${epoch} "${stage}" RESULT_VARIABLE failed)
endif()
if(failed)
  message(FATAL_ERROR "Could not rewrite the release files deterministically")
endif()

faxjob_build_msi("${stage}" "${CPACK_PACKAGE_VERSION}" "${msi}")
execute_process(COMMAND bash "${source_dir}/scripts/sign" --if-certificate "${msi}"
                RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "Signing ${msi} failed")
endif()
message(STATUS "- package: ${msi} generated.")

# sha256sum's format; the program under its path in the zip, so that `sha256sum -c` checks it
# where the zip unpacks, and a copy installed anywhere can be compared with its line.
set(sums "")
foreach(file IN LISTS CPACK_PACKAGE_FILES msi)
  get_filename_component(name "${file}" NAME)
  set(path_of_${name} "${file}")
  list(APPEND names "${name}")
endforeach()
set(path_of_${program}/faxjob.exe "${stage}/faxjob.exe")
list(APPEND names "${program}/faxjob.exe")
list(SORT names)
foreach(name IN LISTS names)
  file(SHA256 "${path_of_${name}}" hash)
  list(APPEND sums "${hash}  ${name}")
endforeach()
list(JOIN sums "\n" sums)
file(WRITE "${CPACK_PACKAGE_DIRECTORY}/SHA256SUMS" "${sums}\n")
message(STATUS "- checksums: ${CPACK_PACKAGE_DIRECTORY}/SHA256SUMS generated.")
