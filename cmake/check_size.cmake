# Fails when FILE is larger than BUDGET bytes. The file is then renamed to
# FILE.oversize, so it can be looked at and the next build links it again
# (and fails again) instead of finding it up to date.
#
# usage: cmake -DFILE=SelfUpdate.exe -DBUDGET=102400 -P check_size.cmake
file(SIZE "${FILE}" size)
if(size GREATER BUDGET)
  file(RENAME "${FILE}" "${FILE}.oversize")
  message(FATAL_ERROR "${FILE} is ${size} bytes, over the budget of ${BUDGET} "
                      "(moved to ${FILE}.oversize)")
endif()
message(STATUS "${FILE}: ${size} bytes, within the budget of ${BUDGET}")
