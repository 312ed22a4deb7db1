# Before CPack packs the staged files (CPACK_PRE_BUILD_SCRIPTS): signs the staged faxjob.exe when
# a certificate is given (see scripts/sign), so that the zip and the MSI hold the signed program.
# Without one, nothing happens: unsigned is the default.
set(program_exe
    "${CPACK_TEMPORARY_DIRECTORY}/program/${CPACK_ARCHIVE_PROGRAM_FILE_NAME}/faxjob.exe")
execute_process(COMMAND bash "${CPACK_FAXJOB_SOURCE_DIR}/scripts/sign" --if-certificate
                        "${program_exe}"
                RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "Signing ${program_exe} failed")
endif()
