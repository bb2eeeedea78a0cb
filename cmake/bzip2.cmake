# bzip2's decoder, for ZIP members compressed with bzip2: Debian's source
# package (with Debian's patches applied), its library files compiled into a
# static library of our own without stdio, so that the launcher stays one
# self-contained executable. Both builds use it.
#
# The source package is pinned to one version and the SHA-256 of its .dsc
# (cmake/debian_source.cmake fetches and checks it) and fetched once per
# build tree.
#
# Defines the target qz::bzip2.

include(${CMAKE_CURRENT_LIST_DIR}/debian_source.cmake)

set(bzip2SourceDir ${QZ_THIRD_PARTY_DIR}/bzip2/source)
fetchDebianSource(PACKAGE bzip2 VERSION 1.0.8-5
  DSC_SHA256 ed9c40f4de3f9e064535e15eac1c61a0f606763db98f4579dbc04067b94a8944
  SOURCE_DIR ${bzip2SourceDir} PIN_FILE bzip2Pin)

set(bzip2Files blocksort.c bzlib.c compress.c crctable.c decompress.c huffman.c randtable.c)
list(TRANSFORM bzip2Files PREPEND ${bzip2SourceDir}/)
add_library(qz_bzip2 STATIC ${bzip2Files})
set_source_files_properties(${bzip2Files} PROPERTIES OBJECT_DEPENDS ${bzip2Pin})
target_include_directories(qz_bzip2 SYSTEM PUBLIC ${bzip2SourceDir})
# No file functions: the library reports an internal error through
# bz_internal_error, which the launcher defines.
target_compile_definitions(qz_bzip2 PRIVATE BZ_NO_STDIO)
# Someone else's code: its warnings are not ours to mend.
target_compile_options(qz_bzip2 PRIVATE -w -ffile-prefix-map=${bzip2SourceDir}=bzip2)
add_library(qz::bzip2 ALIAS qz_bzip2)
