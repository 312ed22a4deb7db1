# The Wine environment that every test of the Windows build runs in: a private Wine prefix in the
# build tree, an Xvfb display for message boxes, and a persistent wineserver, brought up by the
# ctest fixture "wine" and taken down after the last test that needs it.
#
# Provides
#   FAXJOB_WINE_ENVIRONMENT  list of NAME=VALUE for the ENVIRONMENT test property
#   faxjob_wine_test(NAME <name> COMMAND <command> [<arg>...]
#                    [WORKING_DIRECTORY <dir>] [TIMEOUT <seconds>] [ENVIRONMENT <NAME=VALUE>...])
#     add_test() with that environment and FIXTURES_REQUIRED wine. A target name as the command
#     runs under Wine through CMAKE_CROSSCOMPILING_EMULATOR; any other command runs on the host.

set(FAXJOB_WINEPREFIX "${CMAKE_BINARY_DIR}/wineprefix")
set(FAXJOB_WINE_STATE_DIR "${CMAKE_BINARY_DIR}/wine-state")

# One display number per build tree, so that two build trees on one machine do not share an X
# server; start.sh makes sure the number is free or held by an X server it can use.
string(SHA1 _faxjob_build_hash "${CMAKE_BINARY_DIR}")
string(SUBSTRING "${_faxjob_build_hash}" 0 4 _faxjob_build_hash)
math(EXPR _faxjob_display "100 + 0x${_faxjob_build_hash} % 400")
set(FAXJOB_WINE_DISPLAY_NUMBER "${_faxjob_display}" CACHE STRING
    "X display number of the Xvfb that the Wine tests start")

set(FAXJOB_WINE_ENVIRONMENT
    "WINEPREFIX=${FAXJOB_WINEPREFIX}"
    "WINEARCH=win32"
    "WINEDEBUG=-all"
    # A crash must never wait in a debugger dialog, and the prefix needs no .NET, no HTML engine
    # and no desktop menu entries. One override entry, as ';' would split the CMake list.
    "WINEDLLOVERRIDES=winedbg.exe,winemenubuilder.exe,mscoree,mshtml=d"
    # ANSI code page 932, as on the Japanese Windows that faxjob is made for.
    "LC_ALL=ja_JP.UTF-8"
    "DISPLAY=:${FAXJOB_WINE_DISPLAY_NUMBER}")
set_property(GLOBAL PROPERTY FAXJOB_WINE_ENVIRONMENT "${FAXJOB_WINE_ENVIRONMENT}")

find_program(FAXJOB_BASH bash REQUIRED)
set(_faxjob_wine_scripts "${CMAKE_CURRENT_LIST_DIR}")

add_test(NAME wine_start
         COMMAND "${FAXJOB_BASH}" "${_faxjob_wine_scripts}/start.sh" "${FAXJOB_WINE_STATE_DIR}")
# A new prefix takes minutes to initialise where 32-bit programs run under emulation.
set_tests_properties(wine_start PROPERTIES
                     FIXTURES_SETUP wine
                     ENVIRONMENT "${FAXJOB_WINE_ENVIRONMENT}"
                     TIMEOUT 1800)

add_test(NAME wine_stop
         COMMAND "${FAXJOB_BASH}" "${_faxjob_wine_scripts}/stop.sh" "${FAXJOB_WINE_STATE_DIR}")
set_tests_properties(wine_stop PROPERTIES
                     FIXTURES_CLEANUP wine
                     ENVIRONMENT "${FAXJOB_WINE_ENVIRONMENT}"
                     TIMEOUT 120)

function(faxjob_wine_test)
  cmake_parse_arguments(PARSE_ARGV 0 arg "" "NAME;WORKING_DIRECTORY;TIMEOUT"
                        "COMMAND;ENVIRONMENT")
  if(NOT arg_NAME OR NOT arg_COMMAND OR arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "faxjob_wine_test(NAME <name> COMMAND <command> [<arg>...] "
                        "[WORKING_DIRECTORY <dir>] [TIMEOUT <seconds>] "
                        "[ENVIRONMENT <NAME=VALUE>...])")
  endif()
  set(working_directory)
  if(arg_WORKING_DIRECTORY)
    set(working_directory WORKING_DIRECTORY "${arg_WORKING_DIRECTORY}")
  endif()
  add_test(NAME ${arg_NAME} COMMAND ${arg_COMMAND} ${working_directory})
  get_property(environment GLOBAL PROPERTY FAXJOB_WINE_ENVIRONMENT)
  list(APPEND environment ${arg_ENVIRONMENT})
  set_tests_properties(${arg_NAME} PROPERTIES ENVIRONMENT "${environment}" FIXTURES_REQUIRED wine)
  if(arg_TIMEOUT)
    set_tests_properties(${arg_NAME} PROPERTIES TIMEOUT ${arg_TIMEOUT})
  endif()
endfunction()
