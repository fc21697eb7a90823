# Turns files into a C++ source of byte arrays.
#
# As a function: kanade_embed_files(OUTPUT <cpp> NAME <prefix> FILES <files...>)
# adds a build step that writes <cpp> defining
#   extern const std::uint8_t* const <prefix>Data[N];
#   extern const std::size_t <prefix>Size[N];
# in namespace kanade, rewritten whenever one of the files changes.
# As a script (cmake -P), it does the writing.

if(CMAKE_SCRIPT_MODE_FILE)
  set(body "// Generated from the files below by cmake/EmbedFiles.cmake; do not edit.\n")
  string(APPEND body "#include <cstddef>\n#include <cstdint>\n\nnamespace kanade {\n\nnamespace {\n")
  set(pointers "")
  set(sizes "")
  set(index 0)
  string(REPLACE "|" ";" files "${EMBED_FILES}")
  foreach(file IN LISTS files)
    file(READ "${file}" hex HEX)
    string(LENGTH "${hex}" hex_length)
    math(EXPR size "${hex_length} / 2")
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
    # Sixteen bytes a line keeps the file readable for compilers and people.
    string(REPEAT "0x[0-9a-f][0-9a-f]," 16 line_pattern)
    string(REGEX REPLACE "(${line_pattern})" "\\1\n" bytes "${bytes}")
    get_filename_component(name "${file}" NAME)
    string(APPEND body "// ${name}\nconst std::uint8_t kFile${index}[${size}] = {\n${bytes}\n};\n")
    string(APPEND pointers "kFile${index}, ")
    string(APPEND sizes "${size}, ")
    math(EXPR index "${index} + 1")
  endforeach()
  string(APPEND body "\n}  // namespace\n\n")
  string(APPEND body "extern const std::uint8_t* const ${EMBED_NAME}Data[${index}] = {${pointers}};\n")
  string(APPEND body "extern const std::size_t ${EMBED_NAME}Size[${index}] = {${sizes}};\n")
  string(APPEND body "\n}  // namespace kanade\n")
  file(WRITE "${EMBED_OUTPUT}.tmp" "${body}")
  file(RENAME "${EMBED_OUTPUT}.tmp" "${EMBED_OUTPUT}")
  return()
endif()

set(KANADE_EMBED_SCRIPT ${CMAKE_CURRENT_LIST_FILE})

function(kanade_embed_files)
  cmake_parse_arguments(EMBED "" "OUTPUT;NAME" "FILES" ${ARGN})
  string(REPLACE ";" "|" file_list "${EMBED_FILES}")
  add_custom_command(
    OUTPUT ${EMBED_OUTPUT}
    COMMAND ${CMAKE_COMMAND} -DEMBED_OUTPUT=${EMBED_OUTPUT} -DEMBED_NAME=${EMBED_NAME}
            "-DEMBED_FILES=${file_list}" -P ${KANADE_EMBED_SCRIPT}
    DEPENDS ${EMBED_FILES} ${KANADE_EMBED_SCRIPT}
    COMMENT "Embedding ${EMBED_NAME} files"
    VERBATIM)
endfunction()

# The eight backdrop pictures as byte arrays inside kanade_ui
# (ui/backdrops.h), for every platform's program.
function(kanade_embed_backdrops)
  set(backdrops "")
  foreach(n RANGE 1 8)
    list(APPEND backdrops ${CMAKE_SOURCE_DIR}/assets/backdrop_${n}.jpg)
  endforeach()
  kanade_embed_files(OUTPUT ${CMAKE_BINARY_DIR}/generated/backdrops.cpp NAME kBackdrop
                     FILES ${backdrops})
  target_sources(kanade_ui PRIVATE ${CMAKE_BINARY_DIR}/generated/backdrops.cpp)
endfunction()
