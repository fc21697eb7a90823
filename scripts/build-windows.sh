#!/usr/bin/env bash
# Builds kanade.exe for 64-bit Windows with MinGW-w64.
#
# The libraries (zlib, libjpeg-turbo, libpng, OpenJPEG, nghttp2, curl on
# Schannel with zlib and HTTP/2, libsodium) are built as static libraries from
# Debian's source packages and kept outside the clone, in a folder named by a
# digest of their versions, the compiler, the toolchain file, the patches and
# this script's recipe. Later runs find that folder and build only the
# program. The window system is Win32 itself (no FLTK).
#
# The same commit gives the same kanade.exe wherever and whenever it is
# built: SOURCE_DATE_EPOCH is the commit's time, and neither the libraries
# nor the program keep the folders they were built in.
#
#   KANADE_MINGW_CACHE   where the libraries are kept (/var/cache/kanade-mingw)
#   KANADE_WIN_BUILD_DIR the program's build folder (build-win)
#   KANADE_WIN_TARGET    the CMake target to build (all; kanade builds only
#                        the program)
#   KANADE_JOBS          parallel compile jobs (all cores)
#   KANADE_PUBLISHER_KEYS the publisher keys file compiled into the program
#                        (CMake's KANADE_PUBLISHER_KEYS; its default otherwise)
#   KANADE_SIGN_*        an Authenticode certificate: kanade.exe is signed
#                        (scripts/sign-windows.sh); unsigned without one
set -euo pipefail
# Files named in the environment are relative to where the script started.
caller=$(pwd)
cd "$(dirname "$0")/.."
tree=$(pwd)

# Bump when a library's build options change, so that the cache is rebuilt.
recipe=3
triple=x86_64-w64-mingw32
cache=${KANADE_MINGW_CACHE:-/var/cache/kanade-mingw}
build_dir=${KANADE_WIN_BUILD_DIR:-build-win}
jobs=${KANADE_JOBS:-$(nproc)}
toolchain=$tree/cmake/toolchains/mingw-w64-x86_64.cmake
patches=$tree/scripts/patches
started=$SECONDS

say() { echo "build-windows: $*" >&2; }
die() {
  say "$*"
  exit 1
}

if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
. scripts/build-common.sh

bash scripts/install-deps.sh

# apt-get source needs deb-src entries; add them beside the deb ones once.
has_deb_src() {
  local listed
  listed=$(apt-cache showsrc zlib 2>/dev/null || true)
  [[ $listed == *Package:* ]]
}

ensure_deb_src() {
  if has_deb_src; then return; fi
  local list=/etc/apt/sources.list.d/kanade-deb-src.sources
  if [ ! -f "$list" ]; then
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
      sed 's/^Types:.*$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources |
        $SUDO tee "$list" >/dev/null
    elif [ -f /etc/apt/sources.list ]; then
      list=/etc/apt/sources.list.d/kanade-deb-src.list
      sed -n 's/^deb /deb-src /p' /etc/apt/sources.list | $SUDO tee "$list" >/dev/null
    fi
  fi
  $SUDO apt-get update -qq
  has_deb_src || die "no source packages available (apt-get source needs deb-src entries)"
}

# Versions of a source package that the archive lists, newest first.
source_versions() {
  local versions=() v i j t
  mapfile -t versions < <(apt-cache showsrc --only-source "$1" 2>/dev/null |
    sed -n 's/^Version: //p' | sort -u)
  for ((i = 0; i < ${#versions[@]}; i++)); do
    for ((j = i + 1; j < ${#versions[@]}; j++)); do
      if dpkg --compare-versions "${versions[j]}" gt "${versions[i]}"; then
        t=${versions[i]}
        versions[i]=${versions[j]}
        versions[j]=$t
      fi
    done
  done
  printf '%s\n' "${versions[@]}"
}

# Unpacks (with Debian's patches) the newest version of a source package that
# the archive can deliver into $cache/src and prints "version<TAB>folder".
# The mirror may lack the newest files of a package; an older listed version
# is taken then.
fetch_source() {
  local package=$1 version dir tmp
  while read -r version; do
    [ -n "$version" ] || continue
    dir=$cache/src/${package}_${version//:/_}
    if [ -f "$dir/.complete" ]; then
      printf '%s\t%s\n' "$version" "$dir"
      return 0
    fi
    tmp=$(mktemp -d "$cache/src/.fetch.XXXXXX")
    if (cd "$tmp" && apt-get source -qq "$package=$version" >/dev/null 2>"$tmp.log"); then
      rm -rf "$dir"
      mv "$(find "$tmp" -mindepth 1 -maxdepth 1 -type d | head -n 1)" "$dir"
      touch "$dir/.complete"
      rm -rf "$tmp" "$tmp.log"
      printf '%s\t%s\n' "$version" "$dir"
      return 0
    fi
    say "$package $version: $(grep -m 1 '^E:' "$tmp.log" || echo 'apt-get source failed')"
    rm -rf "$tmp" "$tmp.log"
  done < <(source_versions "$package")
  return 1
}

command -v $triple-g++-posix >/dev/null || die "$triple-g++-posix is missing"
ensure_deb_src
mkdir -p "$cache/src"

# One build at a time per cache.
exec 9>"$cache/.lock"
flock 9

declare -A src version
packages=(zlib libjpeg-turbo libpng1.6 openjpeg2 nghttp2 curl libsodium)
for package in "${packages[@]}"; do
  line=$(fetch_source "$package") || die "$package: no source package can be fetched"
  version[$package]=${line%%$'\t'*}
  src[$package]=${line#*$'\t'}
done

key_text=$(
  echo "recipe=$recipe"
  $triple-g++-posix --version | head -n 1
  cmake --version | head -n 1
  autoreconf --version | head -n 1
  echo "toolchain $(sha256sum <"$toolchain" | cut -c1-64)"
  echo "patches $(cat "$patches"/*.patch | sha256sum | cut -c1-64)"
  for package in "${packages[@]}"; do
    echo "$package=${version[$package]}"
  done
)
key=$(printf '%s\n' "$key_text" | sha256sum | cut -c1-16)
prefix=$cache/$key
# Sources and build folders are named in debug information and assertions:
# the same names whichever folder holds the cache.
map_cache="-ffile-prefix-map=$cache/src=/kanade-mingw/src -ffile-prefix-map=$prefix=/kanade-mingw"

configure() {
  local name=$1 source=$2
  shift 2
  rm -rf "$prefix/.build/$name"
  cmake -S "$source" -B "$prefix/.build/$name" -G Ninja --log-level=WARNING \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_POLICY_DEFAULT_CMP0074=NEW -DCMAKE_C_FLAGS="$map_cache" "$@" \
    >"$prefix/.build/$name.log" 2>&1 ||
    die "$name: configure failed, see $prefix/.build/$name.log"
}

build() {
  local name=$1
  shift
  cmake --build "$prefix/.build/$name" -j "$jobs" "$@" >>"$prefix/.build/$name.log" 2>&1 ||
    die "$name: build failed, see $prefix/.build/$name.log"
}

install_built() {
  cmake --install "$prefix/.build/$1" >>"$prefix/.build/$1.log" 2>&1 ||
    die "$1: install failed, see $prefix/.build/$1.log"
}

# A static library with its own autotools. The Debian sources have no
# configure script and autoreconf writes into the tree: build in a copy.
autotools() {
  local name=$1 source=$2
  shift 2
  cp -a "$source" "$prefix/.build/$name"
  (
    cd "$prefix/.build/$name" && autoreconf -fi &&
      ./configure --host=$triple CC=$triple-gcc-posix CPPFLAGS="$map_cache" \
        --prefix="$prefix" --disable-shared --enable-static --disable-dependency-tracking "$@" &&
      make -j "$jobs" && make install
  ) >"$prefix/.build/$name.log" 2>&1 ||
    die "$name: build failed, see $prefix/.build/$name.log"
}

build_libraries() {
  # A folder without the mark is what an interrupted build left: start over.
  rm -rf "$prefix"
  mkdir -p "$prefix/.build" "$prefix/include" "$prefix/lib"
  printf '%s\n' "$key_text" >"$prefix/versions.txt"

  say "zlib ${version[zlib]}"
  configure zlib "${src[zlib]}"
  build zlib --target zlibstatic
  cp "${src[zlib]}/zlib.h" "$prefix/.build/zlib/zconf.h" "$prefix/include/"
  cp "$prefix/.build/zlib/libzlibstatic.a" "$prefix/lib/libz.a"
  local zlib=(-DZLIB_INCLUDE_DIR="$prefix/include" -DZLIB_LIBRARY="$prefix/lib/libz.a")

  say "libjpeg-turbo ${version[libjpeg-turbo]}"
  configure jpeg "${src[libjpeg-turbo]}" -DENABLE_SHARED=OFF -DENABLE_STATIC=ON \
    -DWITH_TURBOJPEG=OFF -DWITH_SIMD=OFF -DWITH_JAVA=OFF
  build jpeg --target jpeg-static
  cp "${src[libjpeg-turbo]}"/{jpeglib.h,jmorecfg.h,jerror.h} "$prefix/.build/jpeg/jconfig.h" \
    "$prefix/include/"
  cp "$prefix/.build/jpeg/libjpeg.a" "$prefix/lib/"

  say "libpng ${version[libpng1.6]}"
  configure png "${src[libpng1.6]}" "${zlib[@]}" -DPNG_SHARED=OFF -DPNG_STATIC=ON \
    -DPNG_EXECUTABLES=OFF -DPNG_TESTS=OFF -DSKIP_INSTALL_PROGRAMS=ON
  build png
  install_built png

  say "openjpeg ${version[openjpeg2]}"
  configure openjpeg "${src[openjpeg2]}" -DBUILD_SHARED_LIBS=OFF -DBUILD_STATIC_LIBS=ON \
    -DBUILD_CODEC=OFF -DBUILD_TESTING=OFF -DBUILD_DOC=OFF -DBUILD_JPIP=OFF \
    -DBUILD_PKGCONFIG_FILES=ON
  build openjpeg
  install_built openjpeg

  # HTTP/2 for curl: the library alone, no tools, and nothing exported from
  # kanade.exe. Its clock is GetTickCount64: nghttp2 1.52 fails to link when
  # it finds winpthreads' clock_gettime as well.
  say "nghttp2 ${version[nghttp2]}"
  autotools nghttp2 "${src[nghttp2]}" --enable-lib-only ac_cv_func_clock_gettime=no \
    CPPFLAGS="$map_cache -DNGHTTP2_STATICLIB"
  local nghttp2=(-DUSE_NGHTTP2=ON -DNGHTTP2_INCLUDE_DIR="$prefix/include"
    -DNGHTTP2_LIBRARY="$prefix/lib/libnghttp2.a")

  # HTTP(S) only, TLS from Schannel with ALPN (our patch), no OpenSSL; zlib
  # for gzip and deflate bodies, nghttp2 for HTTP/2, no other optional
  # library. The patch goes into a copy: the unpacked source stays Debian's.
  say "curl ${version[curl]}"
  local curl_src=$prefix/.build/curl-src
  cp -a "${src[curl]}" "$curl_src"
  for patch in "$patches"/curl-*.patch; do
    patch -d "$curl_src" -p1 --forward --batch --quiet <"$patch" >>"$prefix/.build/curl.log" 2>&1 ||
      die "curl: $(basename "$patch") does not apply to curl ${version[curl]}"
  done
  configure curl "$curl_src" "${zlib[@]}" "${nghttp2[@]}" \
    -DCMAKE_C_FLAGS="$map_cache -DNGHTTP2_STATICLIB" -DBUILD_SHARED_LIBS=OFF -DBUILD_CURL_EXE=OFF \
    -DBUILD_TESTING=OFF -DENABLE_MANUAL=OFF -DHTTP_ONLY=ON -DCURL_DISABLE_LDAP=ON \
    -DCURL_USE_SCHANNEL=ON -DCURL_USE_OPENSSL=OFF -DCURL_USE_LIBSSH2=OFF \
    -DCURL_USE_LIBPSL=OFF -DUSE_LIBIDN2=OFF -DCURL_ZLIB=ON \
    -DCURL_BROTLI=OFF -DCURL_ZSTD=OFF -DENABLE_UNIX_SOCKETS=OFF -DENABLE_UNICODE=ON \
    -DPICKY_COMPILER=OFF
  build curl
  install_built curl

  # Ed25519 (Windows CNG has none).
  say "libsodium ${version[libsodium]}"
  autotools sodium "${src[libsodium]}"

  rm -rf "$prefix/.build"
  touch "$prefix/.complete"
}

if [ -f "$prefix/.complete" ]; then
  say "using the libraries in $prefix"
else
  say "building the libraries into $prefix"
  build_libraries
  say "libraries built in $((SECONDS - started)) s"
fi
flock -u 9

say "building kanade.exe in $build_dir"
export_source_date_epoch
# Library paths found earlier stay in CMake's cache: start afresh when the
# libraries have moved to another folder.
mark=$build_dir/kanade-mingw-prefix.txt
if [ "$(cat "$mark" 2>/dev/null)" != "$prefix" ]; then
  rm -rf "$build_dir/CMakeCache.txt" "$build_dir/CMakeFiles"
fi
mkdir -p "$build_dir"
echo "$prefix" >"$mark"
set_publisher_keys_args
cmake -S . -B "$build_dir" -G Ninja --log-level=WARNING \
  -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_PREFIX_PATH="$prefix" "${publisher_keys_args[@]}" >/dev/null
exe=$build_dir/kanade.exe
signing=${KANADE_SIGN_PFX:-}${KANADE_SIGN_CERT:-}${KANADE_SIGN_KEY:-}
# An unsigned build must not hand on the signature of an earlier run: link
# the program afresh.
signature=$build_dir/kanade.exe.signature
rm -f "$signature"
if [ -z "$signing" ] && [ -f "$exe" ] &&
  osslsigncode extract-signature -in "$exe" -out "$signature" >/dev/null 2>&1; then
  rm -f "$exe"
fi
rm -f "$signature"
cmake --build "$build_dir" -j "$jobs" --target "${KANADE_WIN_TARGET:-all}"

# The program must run from its folder alone: only DLLs that Windows has.
[ -f "$exe" ] || die "$exe was not built"
bad=$($triple-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' |
  grep -v -x -E '(kernel32|user32|gdi32|gdiplus|advapi32|shell32|ole32|oleaut32|comdlg32|comctl32|ws2_32|crypt32|bcrypt|secur32|wldap32|normaliz|uuid|imm32|winmm|msimg32|shlwapi|version|iphlpapi|winhttp|msvcrt|api-ms-win-[a-z0-9-]+)\.dll' ||
  true)
[ -z "$bad" ] || die "kanade.exe needs DLLs that Windows lacks: $bad"

if [ -n "$signing" ]; then
  exe_path=$(realpath "$exe")
  (cd "$caller" && bash "$tree/scripts/sign-windows.sh" "$exe_path") || exit 1
else
  say "kanade.exe is not signed (no KANADE_SIGN_PFX, or KANADE_SIGN_CERT and KANADE_SIGN_KEY)"
fi
say "built $exe in $((SECONDS - started)) s"
say "libraries: KANADE_MINGW_PREFIX=$prefix (for the mingw-cross preset)"
