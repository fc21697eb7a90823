# The patcher's executable: kanade on Linux, kanade.exe on Windows. It links
# the layers (kanade_app and below), the FLTK backend and the embedded backdrop pictures.
include(EmbedFiles)

kanade_embed_backdrops()

# FLTK 1.3 with Xft and fontconfig. Debian's CMake package file names
# libraries by a variable only its own build sets, so ask fltk-config.
find_program(FLTK_CONFIG fltk-config REQUIRED)
execute_process(COMMAND ${FLTK_CONFIG} --ldflags
                OUTPUT_VARIABLE KANADE_FLTK_LDFLAGS OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND ${FLTK_CONFIG} --includedir
                OUTPUT_VARIABLE KANADE_FLTK_INCLUDES OUTPUT_STRIP_TRAILING_WHITESPACE)
separate_arguments(KANADE_FLTK_LDFLAGS UNIX_COMMAND "${KANADE_FLTK_LDFLAGS}")

file(GLOB KANADE_FLTK_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/ui/fltk_*.cpp)
add_library(kanade_fltk STATIC ${KANADE_FLTK_SOURCES})
target_include_directories(kanade_fltk SYSTEM PUBLIC ${KANADE_FLTK_INCLUDES})
target_link_libraries(kanade_fltk PUBLIC kanade_ui ${KANADE_FLTK_LDFLAGS})
if(NOT WIN32 AND NOT APPLE)
  # Fonts are chosen through fontconfig; window hints are set through Xlib.
  pkg_check_modules(KANADE_X11 REQUIRED IMPORTED_TARGET fontconfig x11)
  target_link_libraries(kanade_fltk PUBLIC PkgConfig::KANADE_X11)
endif()

add_executable(kanade src/app/main.cpp)
target_link_libraries(kanade PRIVATE kanade_app kanade_fltk)
