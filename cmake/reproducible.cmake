# Release builds that anyone can repeat byte for byte: two builds of one commit, in any two
# folders, give the same faxjob.exe and ZRQINT32.DLL (checked by tests/reproducible_build.py).
#
# - No link time stamp in the PE headers (0 instead); the PE checksum ld writes is then a
#   function of the content alone.
# - No folder names in the code: __FILE__ and any debug information name files relative to the
#   source folder ("./src/...") and the build folder ("build/...").
#
# Only for the MinGW cross build, the product: native builds keep their absolute paths, which
# debuggers and sanitizer reports need. The dates inside the archives come from the last commit
# (cmake/release_files.cmake).

if(WIN32 AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  add_link_options(LINKER:--no-insert-timestamp)
  # GCC takes the map given last first: the build folder may lie inside the source folder.
  add_compile_options($<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${CMAKE_SOURCE_DIR}=.>
                      $<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${CMAKE_BINARY_DIR}=build>)
endif()
