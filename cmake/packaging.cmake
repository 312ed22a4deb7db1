# The release archives, made by `cmake --build --preset win32 --target package` (CPack, ZIP):
#
#   faxjob-<version>-win32.zip                 faxjob.exe, README.md and callers\ (the examples)
#   ZRQINT32-test-standin-<version>-win32.zip  the stand-in ZRQINT32.DLL with its README
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
include(CPack)
