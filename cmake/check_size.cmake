# Checks the executable just linked against what its size budget relies on
# (see win32_size_budget.cmake), and fails the build when it falls short:
# - it imports none of THREAD_IMPORTS, as the guards left out of its
#   function-local statics are safe on one thread only;
# - with a BUDGET other than 0, it is no larger than BUDGET bytes; the room
#   left is reported.
# A file that fails is renamed to FILE.rejected, so it can be looked at and
# the next build links it again (and fails again) instead of finding it up
# to date.
#
# usage: cmake -DFILE=SelfUpdate.exe -DBUDGET=102400 -DOBJDUMP=objdump
#              "-DTHREAD_IMPORTS=CreateThread;..." -P check_size.cmake

function(reject why)
  file(RENAME "${FILE}" "${FILE}.rejected")
  message(FATAL_ERROR "${FILE} ${why} (moved to ${FILE}.rejected)")
endfunction()

execute_process(COMMAND ${OBJDUMP} -p "${FILE}" OUTPUT_VARIABLE dump RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT dump MATCHES "DLL Name: ")
  reject("has no import table that ${OBJDUMP} can read")
endif()
set(found "")
foreach(name IN LISTS THREAD_IMPORTS)
  # objdump lists each import by name as "<hint> <name>" on a line of its own.
  if(dump MATCHES "[ \t][0-9a-fA-F]+[ \t]+${name}\n")
    list(APPEND found ${name})
  endif()
endforeach()
if(found)
  list(JOIN found ", " found)
  reject("imports ${found}, which would run code on another thread: it is built without "
         "guards around function-local statics, safe on one thread only")
endif()

file(SIZE "${FILE}" size)
if(BUDGET GREATER 0)
  if(size GREATER BUDGET)
    reject("is ${size} bytes, over the budget of ${BUDGET}")
  endif()
  math(EXPR left "${BUDGET} - ${size}")
  message(STATUS "${FILE}: ${size} bytes, within the budget of ${BUDGET}: ${left} bytes left; "
                 "imports nothing that starts a thread")
else()
  message(STATUS "${FILE}: ${size} bytes, no budget; imports nothing that starts a thread")
endif()
