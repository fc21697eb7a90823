# The Windows side of kanade::deps: the static libraries that
# scripts/build-windows.sh builds (found through CMAKE_PREFIX_PATH) or that
# vcpkg provides, and the Windows system libraries they and the program use.
find_package(Threads REQUIRED)
find_package(CURL CONFIG REQUIRED)
find_package(ZLIB REQUIRED)
find_package(JPEG REQUIRED)
find_package(PNG REQUIRED)
find_package(OpenJPEG CONFIG REQUIRED)

# libsodium (Ed25519): vcpkg installs a CMake package; the cross build has
# the autotools install, a header and libsodium.a.
find_package(unofficial-sodium CONFIG QUIET)
if(TARGET unofficial-sodium::sodium)
  set(KANADE_SODIUM unofficial-sodium::sodium)
else()
  find_path(KANADE_SODIUM_INCLUDE_DIR sodium.h REQUIRED)
  find_library(KANADE_SODIUM_LIBRARY NAMES libsodium.a sodium REQUIRED)
  add_library(kanade_sodium STATIC IMPORTED)
  set_target_properties(kanade_sodium PROPERTIES
    IMPORTED_LOCATION ${KANADE_SODIUM_LIBRARY}
    INTERFACE_INCLUDE_DIRECTORIES ${KANADE_SODIUM_INCLUDE_DIR})
  set(KANADE_SODIUM kanade_sodium)
endif()

add_library(kanade_deps INTERFACE)
add_library(kanade::deps ALIAS kanade_deps)

# OpenJPEG names its static target openjp2 or openjp2_static depending on
# whether a shared one was built beside it.
if(TARGET openjp2_static AND NOT TARGET openjp2)
  set(KANADE_OPENJPEG openjp2_static)
else()
  set(KANADE_OPENJPEG openjp2)
endif()

target_link_libraries(kanade_deps INTERFACE
  CURL::libcurl ${KANADE_SODIUM} PNG::PNG JPEG::JPEG ${KANADE_OPENJPEG} ZLIB::ZLIB
  Threads::Threads
  # SHA-256 (CNG), random bytes for libsodium, TLS and sockets under curl, and
  # the window system.
  bcrypt crypt32 secur32 ws2_32 advapi32 shell32 ole32 comdlg32 comctl32 gdi32 user32 uuid
  # The proxy Windows is set to use.
  winhttp)
# Static libraries: no dllimport declarations in their headers.
target_compile_definitions(kanade_deps INTERFACE CURL_STATICLIB OPJ_STATIC SODIUM_STATIC)
