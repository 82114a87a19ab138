# Writes OUTPUT, a C++ source holding the station's page (page.html,
# page.css, page.js from SOURCE_DIR) as strings: the program serves its page
# without reading a file.
set(content "// Made by cmake/embed_page.cmake from station/page/: edit those.\n#include \"page_assets.h\"\n\nnamespace station::page {\n")
foreach(pair "page_html;page.html" "page_css;page.css" "page_js;page.js")
  list(GET pair 0 name)
  list(GET pair 1 file)
  file(READ "${SOURCE_DIR}/${file}" text)
  string(FIND "${text}" ")asset\"" clash)
  if(NOT clash EQUAL -1)
    message(FATAL_ERROR "${file} holds the raw string's delimiter")
  endif()
  string(APPEND content "\nconst char ${name}[] = R\"asset(${text})asset\";\n")
endforeach()
string(APPEND content "\n} // namespace station::page\n")
file(WRITE "${OUTPUT}.new" "${content}")
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.new")
