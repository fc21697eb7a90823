# The same commit gives the same kanade and kanade.exe in any folder and at
# any time (scripts/verify-build.sh checks it). The build scripts set
# SOURCE_DATE_EPOCH to the commit's time; this file keeps folder names and
# archive dates out of what is built, and makes Release the published form:
# optimised, stripped, its debug information in a file beside the program.
if(NOT MSVC)
  # Debug information, assertions and __FILE__ name files relative to the
  # source and build folders. The build folder's map comes last, so that it
  # wins for a build folder inside the source tree.
  add_compile_options(-ffile-prefix-map=${CMAKE_SOURCE_DIR}=.
                      -ffile-prefix-map=${CMAKE_BINARY_DIR}=build)

  # Archives without dates, owners or modes, whatever the binutils default.
  foreach(lang C CXX)
    set(CMAKE_${lang}_ARCHIVE_CREATE "<CMAKE_AR> qcD <TARGET> <LINK_FLAGS> <OBJECTS>")
    set(CMAKE_${lang}_ARCHIVE_APPEND "<CMAKE_AR> qD <TARGET> <LINK_FLAGS> <OBJECTS>")
    set(CMAKE_${lang}_ARCHIVE_FINISH "<CMAKE_RANLIB> -D <TARGET>")
  endforeach()

  # Debug information in Release too; it does not change the code, and the
  # program is stripped of it after linking (kanade_package_program).
  string(APPEND CMAKE_C_FLAGS_RELEASE " -g")
  string(APPEND CMAKE_CXX_FLAGS_RELEASE " -g")
  if(WIN32)
    # A build id (a CodeView record, as ELF programs have one already) ties
    # kanade.exe to its debug file.
    add_link_options(-Wl,--build-id)
  endif()
endif()

# A Release build of `target` is the published one: its debug information
# moves to <program>.debug beside it, for crash reports, and the program is
# stripped. An ELF program names that file (with its CRC) in .gnu_debuglink;
# a PE program is found by its build id instead, since the long section name
# would leave the file unaligned, and Authenticode signing would pad it.
function(kanade_package_program target)
  if(MSVC OR NOT CMAKE_BUILD_TYPE STREQUAL "Release")
    return()
  endif()
  if(NOT CMAKE_OBJCOPY)
    message(FATAL_ERROR "objcopy is needed to strip a Release build")
  endif()
  set(program $<TARGET_FILE:${target}>)
  # objcopy writes a PE header anew, stamped with SOURCE_DATE_EPOCH or else
  # the current time: keep the linker's zero (--no-insert-timestamp).
  set(objcopy ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=0 ${CMAKE_OBJCOPY})
  if(WIN32)
    set(link_debug_file "")
  else()
    set(link_debug_file --add-gnu-debuglink=${program}.debug)
  endif()
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${objcopy} --only-keep-debug ${program} ${program}.debug
    COMMAND ${objcopy} --strip-all ${link_debug_file} ${program}
    COMMENT "Stripping ${target}; its debug information goes beside it (.debug)"
    VERBATIM)
endfunction()
