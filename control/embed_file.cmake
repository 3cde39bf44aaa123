# cmake -DINPUT=file -DOUTPUT=file.cpp -DNAME=function -P embed_file.cmake
# Writes a C++ file whose function `twk::NAME()` returns the bytes of INPUT as a string_view.
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" hex_length)
math(EXPR size "${hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){24})" "\\1\n" bytes "${bytes}")
file(WRITE "${OUTPUT}.tmp"
  "// Generated from ${INPUT} at build time; do not edit.\n"
  "#include <cstddef>\n#include <string_view>\n\n"
  "namespace twk {\n\nnamespace {\n"
  "const unsigned char kBytes[] = {\n${bytes}0};\n"
  "constexpr std::size_t kSize = ${size};\n}\n\n"
  "std::string_view ${NAME}() { return {reinterpret_cast<const char*>(kBytes), kSize}; }\n\n"
  "} // namespace twk\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
