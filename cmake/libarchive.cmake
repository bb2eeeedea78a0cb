# libarchive for reading ZIP archives and writing their members to disk:
# Debian's source package (with Debian's patches applied), built as a static
# library whose only outside dependency is zlib, for deflated members. No
# ACLs, extended attributes, character-set conversion, XML, cryptography or
# other compressors, so nothing else is linked in, and the static launcher
# stays self-contained. The sanitizer build uses the same library.
#
# The source package is pinned to one version and the SHA-256 of its .dsc
# (cmake/debian_source.cmake fetches and checks it). Fetching and building
# happen once per build tree; a rebuild reuses both.
#
# Defines the target qz::archive (libarchive's headers, libarchive.a and
# zlib's libz.a).

include(ExternalProject)
include(${CMAKE_CURRENT_LIST_DIR}/debian_source.cmake)

set(archiveRoot ${CMAKE_BINARY_DIR}/third_party/libarchive)
set(archiveSourceDir ${archiveRoot}/source)
set(archiveInstallDir ${archiveRoot}/install)

fetchDebianSource(PACKAGE libarchive VERSION 3.6.2-1+deb12u5
  DSC_SHA256 aa86e919d6899ed11cc78c812d25a99b0493cbcc0e89b303507bf66d7dbda216
  SOURCE_DIR ${archiveSourceDir} PIN_FILE archivePin)

find_path(ZLIB_STATIC_INCLUDE_DIR zlib.h REQUIRED)
find_library(ZLIB_STATIC_LIBRARY libz.a REQUIRED)

# Only the static library is built (with make's own job slots where make
# drives the build); its two public headers and the archive are copied out,
# so no private header of libarchive is on our include path.
set(archiveLibrary ${archiveInstallDir}/lib/libarchive.a)
if(CMAKE_GENERATOR MATCHES "Makefiles")
  set(archiveBuildCommand "$(MAKE)" archive_static)
else()
  set(archiveBuildCommand ${CMAKE_COMMAND} --build <BINARY_DIR> --target archive_static)
endif()
ExternalProject_Add(libarchive_build
  SOURCE_DIR ${archiveSourceDir}
  BINARY_DIR ${archiveRoot}/build
  INSTALL_DIR ${archiveInstallDir}
  BUILD_BYPRODUCTS ${archiveLibrary}
  CMAKE_ARGS
    -DCMAKE_BUILD_TYPE=Release
    # Paths of the source and build trees stay out of the objects, as in our
    # own code, so that the launcher is the same wherever it is built.
    "-DCMAKE_C_FLAGS=-ffunction-sections -fdata-sections -ffile-prefix-map=${archiveSourceDir}=libarchive -ffile-prefix-map=${archiveRoot}/build=libarchive-build"
    -DENABLE_WERROR=OFF
    -DENABLE_INSTALL=OFF
    -DENABLE_TEST=OFF
    -DBUILD_TESTING=OFF
    -DENABLE_TAR=OFF
    -DENABLE_CPIO=OFF
    -DENABLE_CAT=OFF
    # Deflate through zlib's static archive; no other compressor.
    -DENABLE_ZLIB=ON
    -DZLIB_INCLUDE_DIR=${ZLIB_STATIC_INCLUDE_DIR}
    -DZLIB_LIBRARY=${ZLIB_STATIC_LIBRARY}
    -DENABLE_BZip2=OFF
    -DENABLE_LZMA=OFF
    -DENABLE_LZ4=OFF
    -DENABLE_LZO=OFF
    -DENABLE_ZSTD=OFF
    # No cryptography: encrypted members are refused. libmd is looked for
    # whenever OpenSSL is off, so it is ruled out by hand.
    -DENABLE_OPENSSL=OFF
    -DENABLE_NETTLE=OFF
    -DENABLE_MBEDTLS=OFF
    -DENABLE_CNG=OFF
    -DENABLE_LIBB2=OFF
    -DLIBMD_FOUND=OFF
    # Names are taken as bytes; no ACLs, extended attributes or XML formats.
    -DENABLE_ICONV=OFF
    -DENABLE_ACL=OFF
    -DENABLE_XATTR=OFF
    -DENABLE_LIBXML2=OFF
    -DENABLE_EXPAT=OFF
    # No regular expressions, which only the command-line tools use.
    -DPOSIX_REGEX_LIB=NONE
    -DENABLE_PCREPOSIX=OFF
    -DENABLE_LIBGCC=OFF
  BUILD_COMMAND ${archiveBuildCommand}
  INSTALL_COMMAND
    ${CMAKE_COMMAND} -E make_directory <INSTALL_DIR>/include <INSTALL_DIR>/lib
  COMMAND ${CMAKE_COMMAND} -E copy <SOURCE_DIR>/libarchive/archive.h
          <SOURCE_DIR>/libarchive/archive_entry.h <INSTALL_DIR>/include
  COMMAND ${CMAKE_COMMAND} -E copy <BINARY_DIR>/libarchive/libarchive.a <INSTALL_DIR>/lib
  EXCLUDE_FROM_ALL ON)
ExternalProject_Add_StepDependencies(libarchive_build configure ${archivePin})

file(MAKE_DIRECTORY ${archiveInstallDir}/include)
add_library(qz_archive INTERFACE)
add_dependencies(qz_archive libarchive_build)
target_include_directories(qz_archive INTERFACE ${archiveInstallDir}/include)
target_link_libraries(qz_archive INTERFACE ${archiveLibrary} ${ZLIB_STATIC_LIBRARY})
add_library(qz::archive ALIAS qz_archive)
