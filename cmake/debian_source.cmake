# Fetches a pinned Debian source package into the build tree and unpacks it
# with Debian's patches applied; when the archive has replaced the pin by a
# later Debian revision of the same upstream version (a security update), that
# revision instead, said in a STATUS line. The package comes through apt with a
# private configuration under QZ_THIRD_PARTY_DIR/apt: a deb-src
# twin of each of the system's own sources, and private lists and cache
# directories, so the system's apt state is left as it was. A package is
# fetched once per build tree; later configures reuse it until its pin changes.
# The choice alone also runs as a script, on versions given instead of apt's:
#   cmake -DPACKAGE=curl -DVERSION=PIN "-DOFFERED=V1;V2" -P cmake/debian_source.cmake

include_guard(GLOBAL)
if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  cmake_minimum_required(VERSION 3.25)
endif()

set(debianSourceRoot ${QZ_THIRD_PARTY_DIR})
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

# The upstream version of a Debian version: the version less its Debian
# revision (the part after the last "-"), the epoch kept.
function(debianUpstreamVersion version resultVar)
  string(REGEX REPLACE "-[^-]*$" "" upstream "${version}")
  set(${resultVar} "${upstream}" PARENT_SCOPE)
endfunction()

# Whether Debian orders version a after version b.
function(debianVersionNewer a b resultVar)
  find_program(DPKG dpkg REQUIRED)
  execute_process(COMMAND ${DPKG} --compare-versions "${a}" gt "${b}" RESULT_VARIABLE status)
  if(status EQUAL 0)
    set(${resultVar} TRUE PARENT_SCOPE)
  else()
    set(${resultVar} FALSE PARENT_SCOPE)
  endif()
endfunction()

# Sets versionVar to the version of package to build, of those offered: the
# pin when offered; otherwise the newest offered Debian revision of the pin's
# upstream version that is later than the pin, which is how Debian publishes
# a fix of what was pinned. An earlier revision lacks fixes that the pin has
# and another upstream version is other code, so neither is ever taken: with
# no version left, the configuration stops. Says which it took and why.
function(chooseDebianVersion package pin offered versionVar)
  if(pin IN_LIST offered)
    message(STATUS "${package}: taking ${pin}, the pinned version, which apt offers")
    set(${versionVar} "${pin}" PARENT_SCOPE)
    return()
  endif()
  debianUpstreamVersion("${pin}" upstream)
  set(chosen "")
  foreach(candidate IN LISTS offered)
    debianUpstreamVersion("${candidate}" candidateUpstream)
    if(NOT candidateUpstream STREQUAL upstream)
      continue()
    endif()
    if(chosen STREQUAL "")
      set(reference "${pin}")
    else()
      set(reference "${chosen}")
    endif()
    debianVersionNewer("${candidate}" "${reference}" newer)
    if(newer)
      set(chosen "${candidate}")
    endif()
  endforeach()
  if(chosen STREQUAL "")
    string(REPLACE ";" ", " offeredText "${offered}")
    if(offeredText STREQUAL "")
      set(offeredText "none")
    endif()
    message(FATAL_ERROR "${package}: apt offers neither the pinned source package "
                        "${package}=${pin} nor a later Debian revision of its upstream "
                        "version ${upstream} (offered: ${offeredText}). Pin a version that "
                        "apt offers, with the SHA-256 of its .dsc.")
  endif()
  message(STATUS "${package}: taking ${chosen} in place of the pinned ${pin}, which apt no "
                 "longer offers: the newest Debian update of upstream ${upstream} in apt's "
                 "signed index, which apt checks the download against")
  set(${versionVar} "${chosen}" PARENT_SCOPE)
endfunction()

# Sets versionsVar to the versions of source package that the private apt
# sources offer, each once.
function(offeredDebianVersions package versionsVar)
  find_program(APT_CACHE apt-cache REQUIRED)
  execute_process(COMMAND ${APT_CACHE} ${debianAptOptions} showsrc --only-source ${package}
                  RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE errors)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${package}: apt-cache showsrc failed (${status}):\n${errors}")
  endif()
  string(REGEX MATCHALL "(^|\n)Version: [^\n]+" lines "${output}")
  set(versions "")
  foreach(line IN LISTS lines)
    string(REGEX REPLACE "^\n?Version: " "" version "${line}")
    list(APPEND versions "${version}")
  endforeach()
  list(REMOVE_DUPLICATES versions)
  set(${versionsVar} "${versions}" PARENT_SCOPE)
endfunction()

# Downloads source package=version into downloadDir through the private apt
# sources, which check every file against their signed index, and sets
# descriptionVar to its .dsc, or to "" and errorVar to apt's errors.
function(downloadDebianSource package version downloadDir descriptionVar errorVar)
  file(REMOVE_RECURSE ${downloadDir})
  file(MAKE_DIRECTORY ${downloadDir})
  execute_process(COMMAND ${APT_GET} -qq ${debianAptOptions} source --download-only
                          ${package}=${version}
                  WORKING_DIRECTORY ${downloadDir} RESULT_VARIABLE status
                  OUTPUT_VARIABLE output ERROR_VARIABLE output)
  # The file name leaves out the epoch ("1:") of a version.
  string(REGEX REPLACE "^[0-9]+:" "" fileVersion ${version})
  set(description ${downloadDir}/${package}_${fileVersion}.dsc)
  if(NOT status EQUAL 0 OR NOT EXISTS ${description})
    set(description "")
    string(REGEX MATCHALL "(^|\n)E: [^\n]*" errors "${output}")
    string(REGEX REPLACE "(^|;)\n" "\\1" errors "${errors}")
    string(REPLACE ";" "\n" errors "${errors}")
    if(errors STREQUAL "")
      set(errors "${output}")
    endif()
    set(${errorVar} "apt-get source ${package}=${version} failed (${status}):\n${errors}"
        PARENT_SCOPE)
  endif()
  set(${descriptionVar} "${description}" PARENT_SCOPE)
endfunction()

# fetchDebianSource(PACKAGE name VERSION version DSC_SHA256 digest
#                   SOURCE_DIR dir PIN_FILE variable)
# Unpacks source package name into dir: name=version after checking that its
# .dsc has the SHA-256 digest given, or, when apt cannot fetch the pin, the
# later revision that chooseDebianVersion takes in its place, as apt's signed
# index vouches for it. dpkg-source then checks every file that the .dsc
# lists against it. Anything else stops the configuration. Sets variable to a file rewritten
# only when another version is unpacked, for the build steps that must run
# again then; its second line ("source NAME VERSION DSC-SHA256") is what each
# launcher's record of its Debian versions says of this package.
function(fetchDebianSource)
  cmake_parse_arguments(PARSE_ARGV 0 arg "" "PACKAGE;VERSION;DSC_SHA256;SOURCE_DIR;PIN_FILE" "")
  set(package ${arg_PACKAGE})
  set(pin "${package}=${arg_VERSION} ${arg_DSC_SHA256}")
  set(pinFile ${debianSourceRoot}/${package}/pin)
  set(${arg_PIN_FILE} ${pinFile} PARENT_SCOPE)
  set_property(GLOBAL APPEND PROPERTY debianSourcePinFiles ${pinFile})
  if(EXISTS ${pinFile} AND IS_DIRECTORY ${arg_SOURCE_DIR})
    file(STRINGS ${pinFile} fetched)
    list(LENGTH fetched lines)
    if(lines EQUAL 2)
      list(GET fetched 0 fetchedPin)
      list(GET fetched 1 record)
      string(REPLACE " " ";" record "${record}")
      list(GET record 2 taken)
    endif()
    if(lines EQUAL 2 AND fetchedPin STREQUAL pin)
      message(STATUS "${package}: ${taken} (pinned ${arg_VERSION}), already in this build tree")
      return()
    endif()
  endif()

  find_program(APT_GET apt-get REQUIRED)
  find_program(DPKG_SOURCE dpkg-source REQUIRED)
  file(REMOVE ${pinFile})
  updatePrivateAptLists(${package})
  offeredDebianVersions(${package} offered)
  chooseDebianVersion(${package} "${arg_VERSION}" "${offered}" version)
  set(downloadDir ${debianSourceRoot}/${package}/download)
  downloadDebianSource(${package} ${version} ${downloadDir} description error)
  # A pin that the index still lists while its files have left the archive
  # (a mirror catching up with an update) counts as gone.
  if(description STREQUAL "" AND version STREQUAL arg_VERSION)
    message(STATUS "${package}: apt lists ${version} but cannot fetch it: ${error}")
    list(REMOVE_ITEM offered ${version})
    chooseDebianVersion(${package} "${arg_VERSION}" "${offered}" version)
    downloadDebianSource(${package} ${version} ${downloadDir} description error)
  endif()
  if(description STREQUAL "")
    message(FATAL_ERROR "${package}: ${error}")
  endif()

  file(SHA256 ${description} digest)
  string(TOLOWER "${arg_DSC_SHA256}" expected)
  if(version STREQUAL arg_VERSION AND NOT digest STREQUAL expected)
    message(FATAL_ERROR "${package}: the .dsc fetched for ${package}=${version} has "
                        "SHA-256 ${digest} instead of the pinned ${expected} "
                        "(${description}).")
  endif()

  # dpkg-source verifies the size and checksums (SHA-256 among them) of every
  # file against the .dsc; a signature it cannot check is only a warning:
  # the .dsc itself is vouched for by the pinned digest or apt's index.
  file(REMOVE_RECURSE ${arg_SOURCE_DIR})
  runOrStop(${package} "unpacking ${description}" ${downloadDir} ${DPKG_SOURCE}
            --require-strong-checksums --no-copy -x ${description} ${arg_SOURCE_DIR})
  file(WRITE ${pinFile} "${pin}\nsource ${package} ${version} ${digest}\n")
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  chooseDebianVersion("${PACKAGE}" "${VERSION}" "${OFFERED}" version)
endif()
