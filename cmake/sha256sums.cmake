# Writes a SHA256SUMS file in the format `sha256sum -c` reads: one line per
# file, the hash, two spaces and the file's name without its folder.
#
# usage: cmake -DOUTPUT=SUMS -DFILES="a;b" -P sha256sums.cmake
set(_lines "")
foreach(_file IN LISTS FILES)
  file(SHA256 "${_file}" _hash)
  get_filename_component(_name "${_file}" NAME)
  string(APPEND _lines "${_hash}  ${_name}\n")
endforeach()
file(WRITE "${OUTPUT}" "${_lines}")
