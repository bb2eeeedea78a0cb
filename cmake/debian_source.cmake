# Fetches a pinned Debian source package into the build tree and unpacks it
# with Debian's patches applied. The package comes through apt with a private
# configuration under ${CMAKE_BINARY_DIR}/third_party/apt: a deb-src twin of
# each of the system's own sources, and private lists and cache directories,
# so the system's apt state is left as it was. A package is fetched once per
# build tree; later configures reuse it until its pin changes.

include_guard(GLOBAL)

set(debianSourceRoot ${CMAKE_BINARY_DIR}/third_party)
set(debianAptDir ${debianSourceRoot}/apt)
set(debianAptOptions
    -o Dir::Etc::sourcelist=${debianAptDir}/sources.list
    -o Dir::Etc::sourceparts=${debianAptDir}/sources.list.d
    -o Dir::State::Lists=${debianAptDir}/lists
    -o Dir::Cache=${debianAptDir}/cache)

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
  file(WRITE ${debianAptDir}/sources.list "${oneLine}")

  file(REMOVE_RECURSE ${debianAptDir}/sources.list.d)
  file(MAKE_DIRECTORY ${debianAptDir}/sources.list.d ${debianAptDir}/lists/partial
       ${debianAptDir}/cache/archives/partial)
  file(GLOB stanzaFiles /etc/apt/sources.list.d/*.sources)
  foreach(stanzaFile IN LISTS stanzaFiles)
    file(READ ${stanzaFile} text)
    string(REGEX REPLACE "(^|\n)[Tt]ypes:[^\n]*" "\\1Types: deb-src" text "${text}")
    get_filename_component(name ${stanzaFile} NAME)
    file(WRITE ${debianAptDir}/sources.list.d/${name} "${text}")
  endforeach()
endfunction()

# Runs a command in workDir and stops the configuration when it fails.
function(runOrStop package what workDir)
  execute_process(COMMAND ${ARGN} WORKING_DIRECTORY ${workDir} RESULT_VARIABLE status
                  OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${package}: ${what} failed (${status}):\n${output}")
  endif()
endfunction()

# Refreshes the private package lists, at most once per configure.
function(updatePrivateAptLists package)
  get_property(updated GLOBAL PROPERTY debianAptListsUpdated)
  if(updated)
    return()
  endif()
  writePrivateAptSources()
  runOrStop(${package} "apt-get update" ${debianSourceRoot} ${APT_GET} -qq
            ${debianAptOptions} update)
  set_property(GLOBAL PROPERTY debianAptListsUpdated TRUE)
endfunction()

# fetchDebianSource(PACKAGE name VERSION version DSC_SHA256 digest
#                   SOURCE_DIR dir PIN_FILE variable)
# Unpacks source package name=version into dir, after checking that its .dsc
# has the SHA-256 digest given; dpkg-source then checks every file that the
# .dsc lists against it. Anything else stops the configuration. Sets variable
# to a file rewritten only when a different pin is unpacked, for the build
# steps that must run again then.
function(fetchDebianSource)
  cmake_parse_arguments(PARSE_ARGV 0 arg "" "PACKAGE;VERSION;DSC_SHA256;SOURCE_DIR;PIN_FILE" "")
  set(package ${arg_PACKAGE})
  set(pin "${package}=${arg_VERSION} ${arg_DSC_SHA256}\n")
  set(pinFile ${debianSourceRoot}/${package}/pin)
  set(${arg_PIN_FILE} ${pinFile} PARENT_SCOPE)
  if(EXISTS ${pinFile} AND IS_DIRECTORY ${arg_SOURCE_DIR})
    file(READ ${pinFile} fetchedPin)
    if(fetchedPin STREQUAL pin)
      return()
    endif()
  endif()

  find_program(APT_GET apt-get REQUIRED)
  find_program(DPKG_SOURCE dpkg-source REQUIRED)
  message(STATUS "${package}: fetching Debian's source package ${package}=${arg_VERSION}")
  file(REMOVE ${pinFile})
  updatePrivateAptLists(${package})
  set(downloadDir ${debianSourceRoot}/${package}/download)
  file(REMOVE_RECURSE ${downloadDir})
  file(MAKE_DIRECTORY ${downloadDir})
  execute_process(COMMAND ${APT_GET} -qq ${debianAptOptions} source --download-only
                          ${package}=${arg_VERSION}
                  WORKING_DIRECTORY ${downloadDir} RESULT_VARIABLE status
                  OUTPUT_VARIABLE output ERROR_VARIABLE output)
  # The file name leaves out the epoch ("1:") of a version.
  string(REGEX REPLACE "^[0-9]+:" "" fileVersion ${arg_VERSION})
  set(description ${downloadDir}/${package}_${fileVersion}.dsc)
  if(NOT status EQUAL 0 OR NOT EXISTS ${description})
    message(FATAL_ERROR "${package}: the pinned source package ${package}=${arg_VERSION} "
                        "could not be fetched from the system's apt sources (${status}):\n"
                        "${output}")
  endif()

  file(SHA256 ${description} digest)
  string(TOLOWER "${arg_DSC_SHA256}" expected)
  if(NOT digest STREQUAL expected)
    message(FATAL_ERROR "${package}: the .dsc fetched for ${package}=${arg_VERSION} has "
                        "SHA-256 ${digest} instead of the pinned ${expected} "
                        "(${description}).")
  endif()

  # dpkg-source verifies the size and checksums (SHA-256 among them) of every
  # file against the .dsc; a signature it cannot check is only a warning,
  # and the .dsc's own digest is checked above instead.
  file(REMOVE_RECURSE ${arg_SOURCE_DIR})
  runOrStop(${package} "unpacking ${description}" ${downloadDir} ${DPKG_SOURCE}
            --require-strong-checksums --no-copy -x ${description} ${arg_SOURCE_DIR})
  file(WRITE ${pinFile} "${pin}")
endfunction()
