# Writes a C++ source that holds the bytes of one file, for data the program carries
# inside itself. Run as a script:
#   cmake -DINPUT=<file> -DOUTPUT=<file.cpp> -DNAMESPACE=<ns> -DFUNCTION=<name> -P EmbedFile.cmake
# The source defines `std::string_view <ns>::<name>() noexcept` over the bytes (a byte
# array, not a string literal: -Wpedantic limits literal lengths).
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" digits)
math(EXPR size "${digits} / 2")
# 32 bytes a line, then every byte as 0xNN.
string(REGEX REPLACE "([0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f])"
       "\\1\n" hex "${hex}")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
get_filename_component(name "${INPUT}" NAME)
set(content "// Generated from ${name} by cmake/EmbedFile.cmake; do not edit.
#include <cstddef>
#include <string_view>

namespace {
// A trailing zero keeps the array non-empty for an empty file.
const unsigned char kBytes[] = {
${bytes}0x00};
}  // namespace

namespace ${NAMESPACE} {
std::string_view ${FUNCTION}() noexcept {
  return {reinterpret_cast<const char*>(kBytes), ${size}};
}
}  // namespace ${NAMESPACE}
")
# Rewrite only on change so an unchanged file does not recompile.
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" previous)
  if(previous STREQUAL content)
    return()
  endif()
endif()
file(WRITE "${OUTPUT}" "${content}")
