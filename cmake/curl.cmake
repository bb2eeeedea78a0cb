# libcurl for the self-contained launcher: Debian's source package of curl
# (with Debian's patches applied), built as a static library with HTTP and
# HTTPS only, TLS from OpenSSL and names resolved by c-ares, so that the
# launcher loads no shared object at run time.
#
# The source package is pinned to one version and the SHA-256 of its .dsc
# (cmake/debian_source.cmake fetches and checks it). Fetching and building
# happen once per build tree; a rebuild reuses both.
#
# Defines the imported target qz::static_curl (libcurl, libssl, libcrypto and
# libcares, all static archives).

include(ExternalProject)
include(${CMAKE_CURRENT_LIST_DIR}/debian_source.cmake)

set(curlRoot ${QZ_THIRD_PARTY_DIR}/curl)
set(curlSourceDir ${curlRoot}/source)
set(curlInstallDir ${curlRoot}/install)

fetchDebianSource(PACKAGE curl VERSION 7.88.1-10+deb12u15
  DSC_SHA256 2744f12e3aef161c0361743fa1b318296b122e566e47f381e4a63320fbcc23f4
  SOURCE_DIR ${curlSourceDir} PIN_FILE curlPin)

set(OPENSSL_USE_STATIC_LIBS TRUE)
find_package(OpenSSL 3 REQUIRED)
find_library(CARES_STATIC_LIBRARY libcares.a REQUIRED)

set(curlLibrary ${curlInstallDir}/lib/libcurl.a)
ExternalProject_Add(curl_build
  SOURCE_DIR ${curlSourceDir}
  BINARY_DIR ${curlRoot}/build
  INSTALL_DIR ${curlInstallDir}
  BUILD_BYPRODUCTS ${curlLibrary}
  CMAKE_ARGS
    ${qzCrossArguments}
    -DCMAKE_INSTALL_PREFIX=<INSTALL_DIR>
    -DCMAKE_INSTALL_LIBDIR=lib
    -DCMAKE_BUILD_TYPE=Release
    # Paths of the source and build trees stay out of the objects, as in our
    # own code, so that the launcher is the same wherever it is built.
    "-DCMAKE_C_FLAGS=-ffunction-sections -fdata-sections -ffile-prefix-map=${curlSourceDir}=curl -ffile-prefix-map=${curlRoot}/build=curl-build"
    -DBUILD_SHARED_LIBS=OFF
    -DBUILD_CURL_EXE=OFF
    -DBUILD_TESTING=OFF
    -DENABLE_MANUAL=OFF
    -DPICKY_COMPILER=OFF
    # Protocols and features: HTTP and HTTPS, through proxies when asked.
    -DHTTP_ONLY=ON
    -DCURL_DISABLE_COOKIES=ON
    -DCURL_DISABLE_NETRC=ON
    -DCURL_DISABLE_ALTSVC=ON
    -DCURL_DISABLE_HSTS=ON
    -DCURL_DISABLE_DOH=ON
    -DCURL_DISABLE_MIME=ON
    -DCURL_DISABLE_NTLM=ON
    -DCURL_DISABLE_GETOPTIONS=ON
    -DCURL_DISABLE_PARSEDATE=ON
    -DENABLE_UNIX_SOCKETS=OFF
    -DENABLE_WEBSOCKETS=OFF
    -DUSE_LIBIDN2=OFF
    -DCURL_USE_LIBPSL=OFF
    -DUSE_NGHTTP2=OFF
    -DCURL_ZLIB=OFF
    -DCURL_BROTLI=OFF
    -DCURL_ZSTD=OFF
    -DCURL_USE_LIBSSH2=OFF
    -DCURL_USE_LIBSSH=OFF
    -DCURL_USE_GSSAPI=OFF
    # Names through c-ares, which reads /etc/hosts and DNS itself: no NSS module.
    -DENABLE_ARES=ON
    -DCARES_LIBRARY=${CARES_STATIC_LIBRARY}
    # TLS from OpenSSL's static archives, its configuration file never read;
    # the certificates are chosen at run time, none compiled in.
    -DCURL_USE_OPENSSL=ON
    -DOPENSSL_USE_STATIC_LIBS=ON
    -DCURL_DISABLE_OPENSSL_AUTO_LOAD_CONFIG=ON
    -DCURL_CA_BUNDLE=none
    -DCURL_CA_PATH=none
    # What curl learns by running test programs, which a cross build cannot:
    # Linux's poll() works, and /dev/urandom is there.
    -DHAVE_POLL_FINE=1
    -DRANDOM_FILE=/dev/urandom
  EXCLUDE_FROM_ALL ON)
ExternalProject_Add_StepDependencies(curl_build configure ${curlPin})

file(MAKE_DIRECTORY ${curlInstallDir}/include)
add_library(qz_static_curl INTERFACE)
add_dependencies(qz_static_curl curl_build)
target_include_directories(qz_static_curl INTERFACE ${curlInstallDir}/include)
target_compile_definitions(qz_static_curl INTERFACE CURL_STATICLIB)
target_link_libraries(qz_static_curl INTERFACE
  ${curlLibrary} OpenSSL::SSL OpenSSL::Crypto ${CARES_STATIC_LIBRARY})
add_library(qz::static_curl ALIAS qz_static_curl)
