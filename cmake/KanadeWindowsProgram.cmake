# kanade.exe: the layers (kanade_app and below) with its Win32 window backend, the embedded
# backdrop pictures, and the resources (icon, version, manifest).
include(EmbedFiles)

kanade_embed_backdrops()

set(KANADE_ICON ${CMAKE_SOURCE_DIR}/src/app/kanade.ico)
set(KANADE_MANIFEST ${CMAKE_BINARY_DIR}/generated/kanade.manifest)
configure_file(${CMAKE_SOURCE_DIR}/src/app/kanade.manifest.in ${KANADE_MANIFEST} @ONLY)
configure_file(${CMAKE_SOURCE_DIR}/src/app/kanade.rc.in ${CMAKE_BINARY_DIR}/generated/kanade.rc
               @ONLY)

# A GUI program: no console window opens beside it.
add_executable(kanade WIN32 src/app/main.cpp ${CMAKE_BINARY_DIR}/generated/kanade.rc)
target_link_libraries(kanade PRIVATE kanade_app)
set_property(SOURCE ${CMAKE_BINARY_DIR}/generated/kanade.rc APPEND PROPERTY OBJECT_DEPENDS
             ${KANADE_ICON} ${KANADE_MANIFEST})
if(MSVC)
  # The linker embeds the manifest itself; main() stays the entry point.
  target_sources(kanade PRIVATE ${KANADE_MANIFEST})
  target_link_options(kanade PRIVATE /ENTRY:mainCRTStartup)
else()
  set_property(SOURCE ${CMAKE_BINARY_DIR}/generated/kanade.rc APPEND PROPERTY COMPILE_DEFINITIONS
               KANADE_EMBED_MANIFEST)
endif()

# A console program that the Wine smoke test runs (tests/e2e/windows).
if(KANADE_BUILD_TESTS)
  add_executable(kanade-win32-probe tests/e2e/windows/win32_probe.cpp)
  target_link_libraries(kanade-win32-probe PRIVATE kanade_app)
  target_include_directories(kanade-win32-probe PRIVATE tests/e2e)
endif()
