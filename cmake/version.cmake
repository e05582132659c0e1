# The identification block's version text, made from the project's version:
# "V", the major number in three digits, then the minor, patch and tweak
# numbers in two digits each, after a dot (1.0.0 gives V001.00.00.00). It is
# written into a generated header, res/version.h of the build folder, which
# res/identification.cpp includes.
#
# Sets SELFUPDATE_VERSION_TEXT and SELFUPDATE_VERSION_INCLUDE_DIR.

function(selfupdate_pad number width out)
  string(LENGTH "${number}" length)
  if(length GREATER width)
    message(FATAL_ERROR "version ${PROJECT_VERSION}: ${number} does not fit in ${width} digits "
                        "of the identification block's version text")
  endif()
  while(length LESS width)
    string(PREPEND number 0)
    math(EXPR length "${length} + 1")
  endwhile()
  set(${out} "${number}" PARENT_SCOPE)
endfunction()

set(SELFUPDATE_VERSION_TEXT V)
foreach(_field MAJOR MINOR PATCH TWEAK)
  set(_number ${PROJECT_VERSION_${_field}})
  if("${_number}" STREQUAL "")
    set(_number 0)
  endif()
  if(_field STREQUAL "MAJOR")
    selfupdate_pad(${_number} 3 _digits)
  else()
    selfupdate_pad(${_number} 2 _digits)
    string(APPEND SELFUPDATE_VERSION_TEXT .)
  endif()
  string(APPEND SELFUPDATE_VERSION_TEXT ${_digits})
endforeach()

set(SELFUPDATE_VERSION_INCLUDE_DIR ${PROJECT_BINARY_DIR}/version)
configure_file(${PROJECT_SOURCE_DIR}/res/version.h.in
               ${SELFUPDATE_VERSION_INCLUDE_DIR}/res/version.h @ONLY)
