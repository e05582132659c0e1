# What a vendor downloads: `cmake --build --preset X --target package` leaves
# an archive in the build folder holding the updater, a SHA256SUMS file for
# it and, on Windows, a short README; a ZIP for Windows, a tarball for Linux.
# The updater is packaged as built (not stripped again), so the sums match
# the reproducible build byte for byte.

set(SELFUPDATE_PACKAGED $<TARGET_FILE:${SELFUPDATE_EXE}>)
set(SELFUPDATE_SUMS ${CMAKE_BINARY_DIR}/SHA256SUMS)
if(WIN32)
  set(SELFUPDATE_README ${CMAKE_CURRENT_SOURCE_DIR}/packaging/README.txt)
  list(APPEND SELFUPDATE_PACKAGED ${SELFUPDATE_README})
endif()

add_custom_command(
  OUTPUT ${SELFUPDATE_SUMS}
  COMMAND ${CMAKE_COMMAND} -DOUTPUT=${SELFUPDATE_SUMS} "-DFILES=${SELFUPDATE_PACKAGED}"
          -P ${CMAKE_CURRENT_SOURCE_DIR}/cmake/sha256sums.cmake
  DEPENDS ${SELFUPDATE_EXE} ${SELFUPDATE_README} ${CMAKE_CURRENT_SOURCE_DIR}/cmake/sha256sums.cmake
  COMMENT "Writing SHA256SUMS"
  VERBATIM)
add_custom_target(sha256sums ALL DEPENDS ${SELFUPDATE_SUMS})

install(TARGETS ${SELFUPDATE_EXE} RUNTIME DESTINATION .)
install(FILES ${SELFUPDATE_SUMS} ${SELFUPDATE_README} DESTINATION .)

set(CPACK_PACKAGE_NAME selfupdate)
set(CPACK_PACKAGE_VENDOR selfupdate)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME selfupdate-win32)
else()
  set(CPACK_GENERATOR TGZ)
  set(CPACK_PACKAGE_FILE_NAME selfupdate-linux-${CMAKE_SYSTEM_PROCESSOR})
endif()
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
include(CPack)
