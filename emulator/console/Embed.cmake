# Writes the console's files into a C++ header, so the emulator serves them
# from the executable wherever it is installed.
# cmake -DOUTPUT=header -DSOURCE_DIR=dir -DFILES=a,b -P Embed.cmake
set(text "// Generated from emulator/console/ by Embed.cmake; edit those files instead.\n")
string(APPEND text "#pragma once\n#include <cstddef>\nnamespace orvo::emulator::embedded {\n")
set(table "")
set(index 0)
string(REPLACE "," ";" FILES "${FILES}")
foreach(name ${FILES})
  file(READ ${SOURCE_DIR}/${name} hex HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  # The extra zero keeps an empty file a valid array; the size leaves it out.
  string(APPEND text "inline constexpr unsigned char kFile${index}[] = {${bytes}0x00};\n")
  string(APPEND table "    {\"${name}\", kFile${index}, sizeof kFile${index} - 1},\n")
  math(EXPR index "${index} + 1")
endforeach()
string(APPEND text "struct File {\n  const char* name;\n  const unsigned char* data;\n  std::size_t size;\n};\n")
string(APPEND text "inline constexpr File kConsoleFiles[] = {\n${table}};\n}  // namespace orvo::emulator::embedded\n")
file(WRITE ${OUTPUT} "${text}")
