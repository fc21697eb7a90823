# Finds the libraries the patcher uses and gathers them in kanade::deps.
if(WIN32)
  include(KanadeDependenciesWindows)
  return()
endif()

find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
find_package(CURL REQUIRED)
find_package(OpenSSL REQUIRED COMPONENTS Crypto)

add_library(kanade_deps INTERFACE)
add_library(kanade::deps ALIAS kanade_deps)
target_link_libraries(kanade_deps INTERFACE CURL::libcurl OpenSSL::Crypto Threads::Threads)

# Picture decoders: JPEG, PNG and JPEG 2000 (with zlib under PNG).
pkg_check_modules(KANADE_PICTURES REQUIRED IMPORTED_TARGET libjpeg libpng libopenjp2 zlib)
target_link_libraries(kanade_deps INTERFACE PkgConfig::KANADE_PICTURES)

# Ed25519 signatures of repository files.
pkg_check_modules(KANADE_SODIUM REQUIRED IMPORTED_TARGET libsodium)
target_link_libraries(kanade_deps INTERFACE PkgConfig::KANADE_SODIUM)
