# The release files, made by `cmake --build --preset win32 --target package` (CPack, ZIP):
#
#   faxjob-<version>-win32.zip                 faxjob.exe, README.md and callers\ (the examples)
#   ZRQINT32-test-standin-<version>-win32.zip  the stand-in ZRQINT32.DLL with its README
#   faxjob-<version>-win32.msi                 the program's files as a Windows Installer package
#   SHA256SUMS                                 the checksums of the above and of faxjob.exe
#
# Each unpacks into a folder named like the archive. The stand-in never shares an archive or a
# folder with the program, so unpacking it cannot put it over the real ZRQINT32.DLL beside
# faxjob.exe.

set(FAXJOB_PACKAGE "faxjob-${PROJECT_VERSION}-win32")
set(FAXJOB_STANDIN_PACKAGE "ZRQINT32-test-standin-${PROJECT_VERSION}-win32")

install(TARGETS faxjob RUNTIME DESTINATION "${FAXJOB_PACKAGE}" COMPONENT program)
install(FILES README.md DESTINATION "${FAXJOB_PACKAGE}" COMPONENT program)
install(DIRECTORY docs/callers/ DESTINATION "${FAXJOB_PACKAGE}/callers" COMPONENT program)

# The DLL alone: its import library is of no use to anyone.
install(PROGRAMS $<TARGET_FILE:zrqint32_standin> DESTINATION "${FAXJOB_STANDIN_PACKAGE}"
        COMPONENT standin)
install(FILES standin/README.md DESTINATION "${FAXJOB_STANDIN_PACKAGE}" COMPONENT standin)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME faxjob)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL program standin)
# The folders are the install destinations above; CPack's own would be one name for both.
set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_ARCHIVE_PROGRAM_FILE_NAME "${FAXJOB_PACKAGE}")
set(CPACK_ARCHIVE_STANDIN_FILE_NAME "${FAXJOB_STANDIN_PACKAGE}")

# Around CPack's own work: the staged faxjob.exe signed when a certificate is given
# (scripts/sign), then the zips made reproducible, the MSI and SHA256SUMS (release_files.cmake).
find_package(Python3 COMPONENTS Interpreter)
set(CPACK_FAXJOB_SOURCE_DIR "${PROJECT_SOURCE_DIR}")
set(CPACK_FAXJOB_PYTHON "${Python3_EXECUTABLE}")
set(CPACK_PRE_BUILD_SCRIPTS "${CMAKE_CURRENT_LIST_DIR}/sign_program.cmake")
set(CPACK_POST_BUILD_SCRIPTS "${CMAKE_CURRENT_LIST_DIR}/release_files.cmake")
include(CPack)
