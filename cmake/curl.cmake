# libcurl for the self-contained launcher: Debian's source package of curl
# (with Debian's patches applied), built as a static library with HTTP and
# HTTPS only, TLS from OpenSSL and names resolved by c-ares, so that the
# launcher loads no shared object at run time.
#
# The source comes through apt with a private configuration in the build tree:
# a deb-src twin of each of the system's own sources, and private lists and
# cache directories, so the system's apt state is left as it was. Fetching and
# building happen once per build tree; a rebuild reuses both.
#
# Defines the imported target qz::static_curl (libcurl, libssl, libcrypto and
# libcares, all static archives).

include(ExternalProject)

set(curlRoot ${CMAKE_BINARY_DIR}/third_party/curl)
set(curlAptDir ${curlRoot}/apt)
set(curlSourceDir ${curlRoot}/source)
set(curlInstallDir ${curlRoot}/install)

# Writes the private sources: "deb" lines of one-line files become "deb-src"
# lines, and deb822 stanzas get "Types: deb-src".
function(writePrivateAptSources)
  set(oneLine "")
  file(GLOB listFiles /etc/apt/sources.list /etc/apt/sources.list.d/*.list)
  foreach(listFile IN LISTS listFiles)
    file(STRINGS ${listFile} lines REGEX "^[ \t]*deb[ \t]")
    foreach(line IN LISTS lines)
      string(REGEX REPLACE "^[ \t]*deb[ \t]" "deb-src " line "${line}")
      string(APPEND oneLine "${line}\n")
    endforeach()
  endforeach()
  file(WRITE ${curlAptDir}/sources.list "${oneLine}")

  file(REMOVE_RECURSE ${curlAptDir}/sources.list.d)
  file(MAKE_DIRECTORY ${curlAptDir}/sources.list.d ${curlAptDir}/lists/partial
       ${curlAptDir}/cache/archives/partial)
  file(GLOB stanzaFiles /etc/apt/sources.list.d/*.sources)
  foreach(stanzaFile IN LISTS stanzaFiles)
    file(READ ${stanzaFile} text)
    string(REGEX REPLACE "(^|\n)[Tt]ypes:[^\n]*" "\\1Types: deb-src" text "${text}")
    get_filename_component(name ${stanzaFile} NAME)
    file(WRITE ${curlAptDir}/sources.list.d/${name} "${text}")
  endforeach()
endfunction()

function(runOrStop what)
  execute_process(COMMAND ${ARGN} WORKING_DIRECTORY ${curlRoot} RESULT_VARIABLE status
                  OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "libcurl: ${what} failed (${status}):\n${output}")
  endif()
endfunction()

# Fetches and unpacks the source package once; a later configure finds it.
function(fetchCurlSource)
  if(EXISTS ${curlSourceDir}/CMakeLists.txt)
    return()
  endif()
  find_program(APT_GET apt-get REQUIRED)
  find_program(DPKG_SOURCE dpkg-source REQUIRED)
  message(STATUS "libcurl: fetching Debian's source package of curl into ${curlRoot}")
  writePrivateAptSources()
  set(aptOptions
      -o Dir::Etc::sourcelist=${curlAptDir}/sources.list
      -o Dir::Etc::sourceparts=${curlAptDir}/sources.list.d
      -o Dir::State::Lists=${curlAptDir}/lists
      -o Dir::Cache=${curlAptDir}/cache)
  runOrStop("apt-get update" ${APT_GET} -qq ${aptOptions} update)
  file(REMOVE_RECURSE ${curlRoot}/download)
  file(MAKE_DIRECTORY ${curlRoot}/download)
  execute_process(COMMAND ${APT_GET} -qq ${aptOptions} source --download-only curl
                  WORKING_DIRECTORY ${curlRoot}/download RESULT_VARIABLE status
                  OUTPUT_VARIABLE output ERROR_VARIABLE output)
  file(GLOB descriptions ${curlRoot}/download/curl_*.dsc)
  if(NOT status EQUAL 0 OR NOT descriptions)
    message(FATAL_ERROR "libcurl: apt-get source curl failed (${status}):\n${output}")
  endif()
  list(GET descriptions 0 description)
  # apt has checked every file against the signed index already; this is
  # what apt-get source itself runs.
  file(REMOVE_RECURSE ${curlSourceDir})
  runOrStop("unpacking ${description}" ${DPKG_SOURCE} --no-check -x ${description}
            ${curlSourceDir})
endfunction()

fetchCurlSource()
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
    -DCMAKE_INSTALL_PREFIX=<INSTALL_DIR>
    -DCMAKE_INSTALL_LIBDIR=lib
    -DCMAKE_BUILD_TYPE=Release
    "-DCMAKE_C_FLAGS=-ffunction-sections -fdata-sections"
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
  EXCLUDE_FROM_ALL ON)

file(MAKE_DIRECTORY ${curlInstallDir}/include)
add_library(qz_static_curl INTERFACE)
add_dependencies(qz_static_curl curl_build)
target_include_directories(qz_static_curl INTERFACE ${curlInstallDir}/include)
target_compile_definitions(qz_static_curl INTERFACE CURL_STATICLIB)
target_link_libraries(qz_static_curl INTERFACE
  ${curlLibrary} OpenSSL::SSL OpenSSL::Crypto ${CARES_STATIC_LIBRARY})
add_library(qz::static_curl ALIAS qz_static_curl)
