# Writes a C++ source that holds every console file as bytes, with its path under "/" and its
# content type: cmake -DSOURCE_DIR=... -DOUTPUT=... -P EmbedConsole.cmake
file(GLOB_RECURSE files RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/*)
list(SORT files)
set(arrays "")
set(entries "")
set(index 0)
foreach(relative IN LISTS files)
  get_filename_component(extension ${relative} LAST_EXT)
  string(TOLOWER "${extension}" extension)
  if(extension STREQUAL ".html")
    set(type "text/html; charset=utf-8")
  elseif(extension STREQUAL ".js")
    set(type "text/javascript; charset=utf-8")
  elseif(extension STREQUAL ".css")
    set(type "text/css; charset=utf-8")
  elseif(extension STREQUAL ".svg")
    set(type "image/svg+xml")
  elseif(extension STREQUAL ".png")
    set(type "image/png")
  elseif(extension STREQUAL ".ico")
    set(type "image/x-icon")
  elseif(extension STREQUAL ".json" OR extension STREQUAL ".webmanifest")
    set(type "application/json")
  elseif(extension STREQUAL ".txt")
    set(type "text/plain; charset=utf-8")
  else()
    message(FATAL_ERROR "console file ${relative}: no content type for \"${extension}\"")
  endif()
  file(READ ${SOURCE_DIR}/${relative} hex HEX)
  file(SIZE ${SOURCE_DIR}/${relative} size)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(APPEND arrays "const unsigned char file${index}[] = {${bytes}0};\n")
  string(APPEND entries
    "    {\"/${relative}\", \"${type}\", {reinterpret_cast<const char*>(file${index}), ${size}}},\n")
  math(EXPR index "${index} + 1")
endforeach()
file(WRITE ${OUTPUT}.new "// Generated from the files in service/console by EmbedConsole.cmake.
#include \"ConsoleFiles.h\"

namespace tether::ConsoleFiles {
namespace {
${arrays}
const ConsoleFile kFiles[] = {
${entries}};
}  // namespace

std::span<const ConsoleFile> all() {
  return kFiles;
}

}  // namespace tether::ConsoleFiles
")
file(COPY_FILE ${OUTPUT}.new ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.new)
