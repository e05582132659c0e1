# What a vendor downloads: `cmake --workflow --preset package-win32` (or
# package-linux) leaves an archive in the build folder named with the
# project's version, holding the updater, a short README.txt, the LICENSE, the
# CHANGELOG.md and a SHA256SUMS file for them; a ZIP for Windows, a tarball
# for Linux.
#
# The Windows executable is packaged as built (the link already strips it),
# so the sums match the reproducible build byte for byte. The Linux binary is
# packaged stripped; where the build has debug information, it goes beside it
# as selfupdate.debug, which the stripped binary names (.gnu_debuglink), so a
# debugger finds it there. Both are made from the reproducible binary by
# objcopy, which adds nothing of its own.
#
# Sets, for the package test: SELFUPDATE_ARCHIVE_NAME (without extension),
# SELFUPDATE_PACKAGED_EXE, SELFUPDATE_DEBUG_FILE (empty when there is none)
# and SELFUPDATE_PACKAGE_FILES (the names in the archive).

set(SELFUPDATE_PACKAGE_DIR ${PROJECT_BINARY_DIR}/package)
set(SELFUPDATE_SUMS ${SELFUPDATE_PACKAGE_DIR}/SHA256SUMS)
set(SELFUPDATE_DEBUG_FILE "")
if(WIN32)
  set(SELFUPDATE_ARCHIVE_NAME ${PROJECT_NAME}-${PROJECT_VERSION}-win32)
  set(SELFUPDATE_README ${PROJECT_SOURCE_DIR}/packaging/README.txt)
  set(SELFUPDATE_PACKAGED_EXE $<TARGET_FILE:${SELFUPDATE_EXE}>)
else()
  set(SELFUPDATE_ARCHIVE_NAME ${PROJECT_NAME}-${PROJECT_VERSION}-linux-${CMAKE_SYSTEM_PROCESSOR})
  set(SELFUPDATE_README ${PROJECT_SOURCE_DIR}/packaging/README.linux.txt)
  set(SELFUPDATE_PACKAGED_EXE ${SELFUPDATE_PACKAGE_DIR}/${SELFUPDATE_EXE})
  if(CMAKE_BUILD_TYPE MATCHES "^(Debug|RelWithDebInfo)$")
    set(SELFUPDATE_DEBUG_FILE ${SELFUPDATE_PACKAGE_DIR}/${SELFUPDATE_EXE}.debug)
    set(_keep_debug
      COMMAND ${CMAKE_OBJCOPY} --only-keep-debug $<TARGET_FILE:${SELFUPDATE_EXE}> ${SELFUPDATE_DEBUG_FILE}
      COMMAND ${CMAKE_OBJCOPY} --strip-all --add-gnu-debuglink=${SELFUPDATE_DEBUG_FILE}
              $<TARGET_FILE:${SELFUPDATE_EXE}> ${SELFUPDATE_PACKAGED_EXE})
  else()
    set(_keep_debug
      COMMAND ${CMAKE_OBJCOPY} --strip-all $<TARGET_FILE:${SELFUPDATE_EXE}> ${SELFUPDATE_PACKAGED_EXE})
  endif()
  add_custom_command(
    OUTPUT ${SELFUPDATE_PACKAGED_EXE} ${SELFUPDATE_DEBUG_FILE}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${SELFUPDATE_PACKAGE_DIR}
    ${_keep_debug}
    DEPENDS ${SELFUPDATE_EXE}
    COMMENT "Stripping ${SELFUPDATE_EXE} for the package"
    VERBATIM)
endif()

# The texts as they are, with CRLF line ends in the Windows archive, where
# Notepad of older systems shows LF-only files as one line.
function(selfupdate_package_text source name)
  file(READ ${source} _text)
  set(_style UNIX)
  if(WIN32)
    set(_style DOS)
  endif()
  file(CONFIGURE OUTPUT ${SELFUPDATE_PACKAGE_DIR}/${name} CONTENT "${_text}" @ONLY NEWLINE_STYLE ${_style})
  set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
endfunction()
selfupdate_package_text(${SELFUPDATE_README} README.txt)
# The license and the change log travel with every archive.
selfupdate_package_text(${PROJECT_SOURCE_DIR}/LICENSE LICENSE)
selfupdate_package_text(${PROJECT_SOURCE_DIR}/CHANGELOG.md CHANGELOG.md)
set(_packaged ${SELFUPDATE_PACKAGED_EXE} ${SELFUPDATE_DEBUG_FILE} ${SELFUPDATE_PACKAGE_DIR}/README.txt
              ${SELFUPDATE_PACKAGE_DIR}/LICENSE ${SELFUPDATE_PACKAGE_DIR}/CHANGELOG.md)
add_custom_command(
  OUTPUT ${SELFUPDATE_SUMS}
  COMMAND ${CMAKE_COMMAND} -DOUTPUT=${SELFUPDATE_SUMS} "-DFILES=${_packaged}"
          -P ${PROJECT_SOURCE_DIR}/cmake/sha256sums.cmake
  DEPENDS ${SELFUPDATE_EXE} ${_packaged} ${PROJECT_SOURCE_DIR}/cmake/sha256sums.cmake
  COMMENT "Writing SHA256SUMS"
  VERBATIM)
add_custom_target(sha256sums ALL DEPENDS ${SELFUPDATE_SUMS})

set(SELFUPDATE_PACKAGE_FILES $<TARGET_FILE_NAME:${SELFUPDATE_EXE}> README.txt LICENSE CHANGELOG.md SHA256SUMS)
if(SELFUPDATE_DEBUG_FILE)
  list(APPEND SELFUPDATE_PACKAGE_FILES ${SELFUPDATE_EXE}.debug)
endif()

install(PROGRAMS ${SELFUPDATE_PACKAGED_EXE} DESTINATION .)
install(FILES ${SELFUPDATE_SUMS} ${SELFUPDATE_DEBUG_FILE} ${SELFUPDATE_PACKAGE_DIR}/README.txt
              ${SELFUPDATE_PACKAGE_DIR}/LICENSE ${SELFUPDATE_PACKAGE_DIR}/CHANGELOG.md
        DESTINATION .)

set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VENDOR ${PROJECT_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME ${SELFUPDATE_ARCHIVE_NAME})
# ARCHIVE.sha256 beside the archive, to check the download itself.
set(CPACK_PACKAGE_CHECKSUM SHA256)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
else()
  set(CPACK_GENERATOR TGZ)
endif()
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
include(CPack)
