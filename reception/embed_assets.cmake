# Writes OUTPUT, a C++ source that holds the desk page files of ASSET_DIR (all
# UTF-8 text) as byte arrays and defines findAsset over them.
# Usage: cmake -DASSET_DIR=<dir> -DOUTPUT=<file> -P embed_assets.cmake
# The page at / and each file by its name: one script per panel of the page.
set(assets "/|index.html|text/html")
file(GLOB files RELATIVE "${ASSET_DIR}" "${ASSET_DIR}/*.html" "${ASSET_DIR}/*.css" "${ASSET_DIR}/*.js")
list(SORT files)
foreach(file IN LISTS files)
  if(file MATCHES "\\.html$")
    set(type text/html)
  elseif(file MATCHES "\\.css$")
    set(type text/css)
  else()
    set(type text/javascript)
  endif()
  list(APPEND assets "/${file}|${file}|${type}")
endforeach()
# The host's own page at /me/, the kiosk's at /kiosk/ and the roll call at
# /roll-call/, each from its folder, the same way.
foreach(folder IN ITEMS me kiosk roll-call)
  file(GLOB folder_files RELATIVE "${ASSET_DIR}/${folder}" "${ASSET_DIR}/${folder}/*.html" "${ASSET_DIR}/${folder}/*.css"
       "${ASSET_DIR}/${folder}/*.js")
  list(SORT folder_files)
  if(folder_files)
    list(APPEND assets "/${folder}/|${folder}/index.html|text/html")
  endif()
  foreach(file IN LISTS folder_files)
    if(file MATCHES "\\.html$")
      set(type text/html)
    elseif(file MATCHES "\\.css$")
      set(type text/css)
    else()
      set(type text/javascript)
    endif()
    list(APPEND assets "/${folder}/${file}|${folder}/${file}|${type}")
  endforeach()
endforeach()

set(arrays "")
set(table "")
set(index 0)
foreach(asset IN LISTS assets)
  string(REPLACE "|" ";" fields "${asset}")
  list(GET fields 0 path)
  list(GET fields 1 file)
  list(GET fields 2 type)
  file(READ "${ASSET_DIR}/${file}" hex HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
  string(APPEND arrays "const unsigned char asset${index}[] = {\n${bytes}};\n")
  string(APPEND table "    {\"${path}\", asset${index}, sizeof asset${index}, \"${type}; charset=utf-8\"},\n")
  math(EXPR index "${index} + 1")
endforeach()

file(WRITE "${OUTPUT}.tmp" "// Generated from reception/assets by embed_assets.cmake; do not edit.
#include \"service.h\"

#include <cstddef>

namespace {

${arrays}
struct Asset {
  std::string_view path;
  const unsigned char* bytes;
  std::size_t size;
  std::string_view contentType;
};

const Asset assets[] = {
${table}};

}  // namespace

bool findAsset(std::string_view path, std::string_view& bytes, std::string_view& contentType) {
  for (const Asset& asset : assets) {
    if (asset.path != path) continue;
    bytes = std::string_view(reinterpret_cast<const char*>(asset.bytes), asset.size);
    contentType = asset.contentType;
    return true;
  }
  return false;
}
")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
