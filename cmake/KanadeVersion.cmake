# The one version number, project(... VERSION ...) in CMakeLists.txt: the
# console title and kanade-repo --version read it from kanade_version.h, the
# Windows version resource and the manifest are made from it. Windows keeps
# four numbers of at most 65535 each; missing ones are 0.
set(KANADE_VERSION_NUMBERS "")
foreach(part MAJOR MINOR PATCH TWEAK)
  set(number "${PROJECT_VERSION_${part}}")
  if(number STREQUAL "")
    set(number 0)
  endif()
  if(number GREATER 65535)
    message(FATAL_ERROR "VERSION ${PROJECT_VERSION}: Windows takes numbers up to 65535 only")
  endif()
  list(APPEND KANADE_VERSION_NUMBERS ${number})
endforeach()
string(REPLACE ";" "," KANADE_VERSION_COMMAS "${KANADE_VERSION_NUMBERS}")
string(REPLACE ";" "." KANADE_VERSION_DOTTED "${KANADE_VERSION_NUMBERS}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/kanade_version.h.in
               ${CMAKE_BINARY_DIR}/generated/kanade_version.h @ONLY)
