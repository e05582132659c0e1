# The Windows build: the Win32 platform library and SelfUpdate.exe.
#
# The executable is a 32-bit GUI program (no console window), linked
# statically so that it imports nothing but Windows' own DLLs (kernel32,
# user32, shell32, advapi32 and the system C runtime msvcrt): the updater
# replaces DLLs in its own folder and must not depend on any found there.

add_library(selfupdate_os STATIC
  platform/win32/code_page_win32.cpp
  platform/win32/own_path.cpp
  platform/win32/run_lock.cpp
  platform/win32/win32_services.cpp)
target_link_libraries(selfupdate_os PUBLIC selfupdate_portable shell32 user32 advapi32)
# For every file that includes <windows.h>: the smaller header set, and no
# min/max macros to clash with the standard library (which sets it too).
target_compile_definitions(selfupdate_os PUBLIC WIN32_LEAN_AND_MEAN NOMINMAX=1)

find_package(Python3 REQUIRED COMPONENTS Interpreter)

# The icon is drawn by a script rather than kept as a binary file.
set(SELFUPDATE_ICON ${CMAKE_CURRENT_BINARY_DIR}/res/SelfUpdate.ico)
add_custom_command(
  OUTPUT ${SELFUPDATE_ICON}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/res
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/res/make_icon.py ${SELFUPDATE_ICON}
  DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/res/make_icon.py
  COMMENT "Drawing the updater's icon"
  VERBATIM)
set_source_files_properties(res/SelfUpdate.rc PROPERTIES
  OBJECT_DEPENDS "${SELFUPDATE_ICON};${CMAKE_CURRENT_SOURCE_DIR}/res/SelfUpdate.manifest"
  INCLUDE_DIRECTORIES "${CMAKE_CURRENT_BINARY_DIR}/res;${CMAKE_CURRENT_SOURCE_DIR}/res")

enable_language(RC)
add_executable(SelfUpdate WIN32
  platform/win32/main.cpp
  platform/win32/runtime_trim.cpp
  res/SelfUpdate.rc
  ${SELFUPDATE_ICON})
target_link_libraries(SelfUpdate PRIVATE selfupdate_logic selfupdate_os)
# Small: unused code and data are dropped (--gc-sections), symbols are
# stripped (-s), and parts of the runtime the updater does not need are
# replaced by stand-ins (--wrap, see runtime_trim.cpp). The
# identification record is referenced by nothing; naming it to the linker
# keeps it from being dropped. The header's link time is left at zero, so
# one commit always links to the same bytes.
target_link_options(SelfUpdate PRIVATE
  -s
  -Wl,--no-insert-timestamp
  -Wl,--gc-sections
  -Wl,--wrap=__cxa_demangle
  -Wl,--wrap=__mingw_vsnprintf
  -Wl,--require-defined=_selfupdate_identification)
set(SELFUPDATE_EXE SelfUpdate)
