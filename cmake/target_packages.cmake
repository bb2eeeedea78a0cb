# The static libraries of the target architecture for a cross build: Debian's
# -dev packages of that architecture, fetched with apt-get download and
# unpacked under QZ_THIRD_PARTY_DIR, never installed (an installed :arm64
# library pulls its amd64 twin to the same version, and busybox-static:arm64
# would replace the amd64 BusyBox). Needs the architecture added to dpkg and
# its package lists (scripts/install-deps.sh). Fetched once per tree; each
# file unpacked is listed in contents.txt with its package and version, from
# which the launcher's record names what the linker read.
#
# Sets CMAKE_FIND_ROOT_PATH to the unpacked tree, so that find_package and
# find_library look only there, and qzCrossArguments, the CMake arguments
# that give an ExternalProject the same toolchain and root.

include_guard(GLOBAL)

set(targetPackageRoot ${QZ_THIRD_PARTY_DIR}/target-packages)
set(qzCrossArguments "")
if(NOT CMAKE_CROSSCOMPILING)
  return()
endif()

# BusyBox is for the tests: a root that holds only an arm64 shell.
set(targetPackages libssl-dev libc-ares-dev zlib1g-dev busybox-static)
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "aarch64")
  set(targetArchitecture arm64)
else()
  message(FATAL_ERROR "No Debian architecture is known for ${CMAKE_SYSTEM_PROCESSOR}.")
endif()

# Unpacks each of debs into sysroot and writes contentsFile: one line
# "PACKAGE:ARCH VERSION PATH" for each file, PATH relative to sysroot.
function(unpackTargetPackages debs sysroot contentsFile)
  find_program(DPKG_DEB dpkg-deb REQUIRED)
  set(contents "")
  foreach(deb IN LISTS debs)
    execute_process(COMMAND ${DPKG_DEB} -x ${deb} ${sysroot} RESULT_VARIABLE status)
    execute_process(COMMAND ${DPKG_DEB} -f ${deb} Package Architecture Version OUTPUT_VARIABLE fields)
    execute_process(COMMAND ${DPKG_DEB} --fsys-tarfile ${deb} COMMAND tar -t OUTPUT_VARIABLE files)
    if(NOT status EQUAL 0 OR NOT fields MATCHES "Package: ([^\n]*)\nArchitecture: ([^\n]*)\nVersion: ([^\n]*)")
      message(FATAL_ERROR "Could not unpack ${deb}.")
    endif()
    set(package "${CMAKE_MATCH_1}:${CMAKE_MATCH_2} ${CMAKE_MATCH_3}")
    string(REGEX REPLACE "(^|\n)\\./" "\\1${package} " files "${files}")
    string(APPEND contents "${files}")
  endforeach()
  file(WRITE ${contentsFile} "${contents}")
endfunction()

set(targetSysroot ${targetPackageRoot}/root)
set(stamp "${targetArchitecture}: ${targetPackages}\n")
set(stampFile ${targetPackageRoot}/fetched)
set(fetched "")
if(EXISTS ${stampFile} AND IS_DIRECTORY ${targetSysroot})
  file(READ ${stampFile} fetched)
endif()
if(NOT fetched STREQUAL stamp)
  find_program(APT_GET apt-get REQUIRED)
  set(downloadDir ${targetPackageRoot}/download)
  file(REMOVE_RECURSE ${targetPackageRoot})
  file(MAKE_DIRECTORY ${downloadDir} ${targetSysroot})
  list(TRANSFORM targetPackages APPEND ":${targetArchitecture}" OUTPUT_VARIABLE names)
  message(STATUS "Fetching the ${targetArchitecture} packages ${targetPackages}")
  # Root's apt would hand the download to its _apt user, who cannot write here.
  execute_process(COMMAND ${APT_GET} -qq -o APT::Sandbox::User=root download ${names}
                  WORKING_DIRECTORY ${downloadDir} RESULT_VARIABLE status
                  OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "The ${targetArchitecture} packages could not be fetched (${status}); "
                        "scripts/install-deps.sh adds the architecture:\n${output}")
  endif()
  file(GLOB debs ${downloadDir}/*.deb)
  unpackTargetPackages("${debs}" ${targetSysroot} ${targetPackageRoot}/contents.txt)
  file(WRITE ${stampFile} "${stamp}")
endif()

set(CMAKE_FIND_ROOT_PATH ${targetSysroot})
# Debian keeps a library's machine-specific headers (OpenSSL's opensslconf.h)
# under include/aarch64-linux-gnu, which the cross compiler looks for only
# in /usr, not in the unpacked tree.
set(machineIncludes ${targetSysroot}/usr/include/${CMAKE_LIBRARY_ARCHITECTURE})
list(APPEND CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES ${machineIncludes})
get_filename_component(toolchainFile ${CMAKE_TOOLCHAIN_FILE} ABSOLUTE)
set(qzCrossArguments -DCMAKE_TOOLCHAIN_FILE=${toolchainFile} -DCMAKE_FIND_ROOT_PATH=${targetSysroot}
    -DCMAKE_C_STANDARD_INCLUDE_DIRECTORIES=${machineIncludes})
