# cmake -DDIR=folder -DOUTPUT=file.cpp -P EmbedFiles.cmake: the files of DIR as the table
# kWebFiles of escl/WebPage.h, so that the server carries its page and always matches it.
file(GLOB names RELATIVE "${DIR}" "${DIR}/*")
list(SORT names)
set(arrays "")
set(table "")
set(index 0)
foreach(name IN LISTS names)
  file(READ "${DIR}/${name}" hex HEX)
  string(LENGTH "${hex}" length)
  math(EXPR size "${length} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(APPEND arrays "const unsigned char kFile${index}[] = {${bytes}0};\n")
  string(APPEND table "    {\"${name}\", kFile${index}, ${size}},\n")
  math(EXPR index "${index} + 1")
endforeach()
file(WRITE "${OUTPUT}.new" "// Generated from escl/web by cmake/EmbedFiles.cmake.\n#include \"escl/WebPage.h\"\n\n"
  "namespace tarvell::escl {\nnamespace {\n${arrays}}  // namespace\n\nconst WebFile kWebFiles[] = {\n${table}};\n"
  "const size_t kWebFileCount = ${index};\n\n}  // namespace tarvell::escl\n")
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.new")
