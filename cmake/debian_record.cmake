# Records the exact Debian versions of what went into a launcher, in
# TARGET.versions beside it, rewritten at every link: the source packages
# built in this tree, the installed packages and the fetched ones (a cross
# build's) whose files the linker read (as the linker itself lists them), and
# the compiler and linker. Two trees with equal records were built from the
# same versions. Also runs as a script, which each link of a launcher calls:
#   cmake -DINPUTS=FILE -DSOURCES=PINS -DTOOLS=PROGRAMS -DBUILD_DIR=DIR
#         -DTHIRD_PARTY_DIR=DIR -DOUTPUT=FILE -P cmake/debian_record.cmake

include_guard(GLOBAL)
if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  cmake_minimum_required(VERSION 3.25)
endif()

# recordDebianVersions(TARGET): the linker lists the files it reads in
# TARGET.inputs, from which each link writes the record of TARGET, with the
# source packages that fetchDebianSource has unpacked in this tree.
function(recordDebianVersions target)
  set(inputs ${CMAKE_CURRENT_BINARY_DIR}/${target}.inputs)
  get_property(pinFiles GLOBAL PROPERTY debianSourcePinFiles)
  string(JOIN "|" sources ${pinFiles})
  string(JOIN "|" tools ${CMAKE_CXX_COMPILER} ${CMAKE_LINKER})
  target_link_options(${target} PRIVATE "LINKER:--dependency-file=${inputs}")
  # A change of how the record is written links again, and so writes it again.
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${CMAKE_CURRENT_FUNCTION_LIST_FILE})
  # No record at all rather than a stale one when the link or the record fails.
  add_custom_command(TARGET ${target} PRE_LINK
    COMMAND ${CMAKE_COMMAND} -E rm -f $<TARGET_FILE:${target}>.versions VERBATIM)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -DINPUTS=${inputs} -DSOURCES=${sources} -DTOOLS=${tools}
            -DBUILD_DIR=${CMAKE_BINARY_DIR} -DTHIRD_PARTY_DIR=${QZ_THIRD_PARTY_DIR}
            -DOUTPUT=$<TARGET_FILE:${target}>.versions
            -P ${CMAKE_CURRENT_FUNCTION_LIST_FILE}
    VERBATIM)
endfunction()

# Sets filesVar to the files outside buildDir and thirdPartyDir that the
# linker read, from the dependency file that it wrote (one "FILE:" line for
# each), each once, and fetchedVar to those under thirdPartyDir's fetched
# packages (target-packages/root), relative to that root.
function(linkerInputsOutside inputs buildDir thirdPartyDir filesVar fetchedVar)
  file(STRINGS ${inputs} entries REGEX ":$")
  set(files "")
  set(fetched "")
  set(fetchedRoot "${thirdPartyDir}/target-packages/root")
  # The linker ran where it wrote the file, and names files relative to there.
  get_filename_component(linkedIn "${inputs}" DIRECTORY)
  foreach(entry IN LISTS entries)
    string(REGEX REPLACE ":$" "" path "${entry}")
    cmake_path(ABSOLUTE_PATH path BASE_DIRECTORY "${linkedIn}" NORMALIZE)
    cmake_path(IS_PREFIX buildDir "${path}" NORMALIZE inBuildTree)
    cmake_path(IS_PREFIX thirdPartyDir "${path}" NORMALIZE inThirdParty)
    cmake_path(IS_PREFIX fetchedRoot "${path}" NORMALIZE inFetched)
    if(inFetched)
      file(RELATIVE_PATH path "${fetchedRoot}" "${path}")
      list(APPEND fetched "${path}")
    elseif(NOT inBuildTree AND NOT inThirdParty)
      list(APPEND files "${path}")
    endif()
  endforeach()
  list(REMOVE_DUPLICATES files)
  list(REMOVE_DUPLICATES fetched)
  set(${filesVar} "${files}" PARENT_SCOPE)
  set(${fetchedVar} "${fetched}" PARENT_SCOPE)
endfunction()

# Sets ownersVar to one "PACKAGE PATH" entry for each of paths that an
# installed package holds (both names as dpkg-query gives them).
function(debianOwners paths ownersVar)
  execute_process(COMMAND ${DPKG_QUERY} -S ${paths}
                  OUTPUT_VARIABLE output ERROR_QUIET)
  string(REPLACE "\n" ";" lines "${output}")
  set(owners "")
  foreach(line IN LISTS lines)
    # "PACKAGE[, PACKAGE]: PATH"; diversions are named on lines of their own.
    if(line MATCHES "^diversion " OR NOT line MATCHES "^([^ ]+(, [^ ]+)*): (/.*)$")
      continue()
    endif()
    set(path "${CMAKE_MATCH_3}")
    string(REPLACE ", " ";" packages "${CMAKE_MATCH_1}")
    foreach(package IN LISTS packages)
      list(APPEND owners "${package} ${path}")
    endforeach()
  endforeach()
  set(${ownersVar} "${owners}" PARENT_SCOPE)
endfunction()

# Sets ownersVar to "PACKAGE FILE" for each of files that an installed
# package holds, under the file's own name or else the one its links resolve
# to (or that name less "/usr", where a package installed it under /lib and
# the system has merged /lib into /usr/lib), and unownedVar to the files that
# no installed package holds.
function(debianOwnersOf files ownersVar unownedVar)
  debianOwners("${files}" found)
  set(owners "")
  set(unowned "")
  foreach(file IN LISTS files)
    set(fileOwners "")
    foreach(entry IN LISTS found)
      string(REGEX REPLACE "^[^ ]+ " "" path "${entry}")
      if(path STREQUAL file)
        list(APPEND fileOwners "${entry}")
      endif()
    endforeach()
    if(fileOwners STREQUAL "")
      file(REAL_PATH "${file}" resolved)
      string(REGEX REPLACE "^/usr/" "/" unmerged "${resolved}")
      set(aliases "${resolved}" "${unmerged}")
      list(REMOVE_DUPLICATES aliases)
      list(REMOVE_ITEM aliases "${file}")
      if(aliases)
        debianOwners("${aliases}" aliasOwners)
        list(TRANSFORM aliasOwners REPLACE " .*" " ${file}")
        list(REMOVE_DUPLICATES aliasOwners)
        list(APPEND fileOwners ${aliasOwners})
      endif()
    endif()
    if(fileOwners STREQUAL "")
      list(APPEND unowned "${file}")
    endif()
    list(APPEND owners ${fileOwners})
  endforeach()
  set(${ownersVar} "${owners}" PARENT_SCOPE)
  set(${unownedVar} "${unowned}" PARENT_SCOPE)
endfunction()

# Sets versionsVar to "PACKAGE VERSION" for each installed package named.
function(debianInstalledVersions packages versionsVar)
  execute_process(COMMAND ${DPKG_QUERY} -W "-f=\${binary:Package} \${Version}\\n" ${packages}
                  OUTPUT_VARIABLE output RESULT_VARIABLE status ERROR_VARIABLE errors)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "dpkg-query -W failed (${status}):\n${errors}")
  endif()
  string(STRIP "${output}" output)
  string(REPLACE "\n" ";" versions "${output}")
  set(${versionsVar} "${versions}" PARENT_SCOPE)
endfunction()

# namesVar: the names that entries of held ("HOLDER|NAME") give for holder,
# without repeats, sorted and joined by blanks.
function(namesHeldBy held holder namesVar)
  set(names "")
  foreach(entry IN LISTS held)
    string(FIND "${entry}" "${holder}|" at)
    if(at EQUAL 0)
      string(REGEX REPLACE "^[^|]*\\|" "" name "${entry}")
      list(APPEND names ${name})
    endif()
  endforeach()
  list(REMOVE_DUPLICATES names)
  list(SORT names)
  list(JOIN names " " names)
  set(${namesVar} "${names}" PARENT_SCOPE)
endfunction()

# Appends to linesVar, for the packages that hold some of files (owners
# being "PACKAGE FILE" entries), one "KIND PACKAGE VERSION NAME..." line
# each, sorted by package, NAME being the files' own names; and one
# "unpackaged PATH SHA256" line for each of files in unowned.
function(appendOwnerLines kind files owners unowned linesVar)
  set(held "")
  foreach(entry IN LISTS owners)
    string(REGEX MATCH "^([^ ]+) (.*)$" ignored "${entry}")
    if(CMAKE_MATCH_2 IN_LIST files)
      get_filename_component(name "${CMAKE_MATCH_2}" NAME)
      list(APPEND held "${CMAKE_MATCH_1}|${name}")
    endif()
  endforeach()
  set(packages ${held})
  list(TRANSFORM packages REPLACE "\\|.*" "")
  list(REMOVE_DUPLICATES packages)
  list(SORT packages)
  set(versions "")
  if(packages)
    debianInstalledVersions("${packages}" versions)
  endif()
  set(lines "${${linesVar}}")
  foreach(packageVersion IN LISTS versions)
    string(REGEX MATCH "^[^ ]+" package "${packageVersion}")
    namesHeldBy("${held}" "${package}" names)
    list(APPEND lines "${kind} ${packageVersion} ${names}")
  endforeach()
  foreach(file IN LISTS unowned)
    if(file IN_LIST files)
      file(SHA256 "${file}" digest)
      list(APPEND lines "unpackaged ${file} ${digest}")
    endif()
  endforeach()
  set(${linesVar} "${lines}" PARENT_SCOPE)
endfunction()

# Appends to linesVar one "fetched PACKAGE VERSION NAME..." line for each
# fetched package that holds some of files (paths relative to its root), as
# contentsFile ("PACKAGE VERSION PATH" lines) lists them, sorted by package.
function(appendFetchedLines files contentsFile linesVar)
  set(lines "${${linesVar}}")
  if(files STREQUAL "")
    return()
  endif()
  file(STRINGS ${contentsFile} contents)
  set(held "")
  foreach(entry IN LISTS contents)
    if(entry MATCHES "^([^ ]+ [^ ]+) (.*)$" AND CMAKE_MATCH_2 IN_LIST files)
      get_filename_component(name "${CMAKE_MATCH_2}" NAME)
      list(APPEND held "${CMAKE_MATCH_1}|${name}")
    endif()
  endforeach()
  set(packages ${held})
  list(TRANSFORM packages REPLACE "\\|.*" "")
  list(REMOVE_DUPLICATES packages)
  list(SORT packages)
  foreach(package IN LISTS packages)
    namesHeldBy("${held}" "${package}" names)
    list(APPEND lines "fetched ${package} ${names}")
  endforeach()
  set(${linesVar} "${lines}" PARENT_SCOPE)
endfunction()

# Writes output: the record of the sources that pinFiles name, of the files
# outside buildDir that the linker's dependency file inputs lists, and of the
# packages of tools (programs as they run, their links resolved).
function(writeDebianRecord inputs pinFiles tools buildDir thirdPartyDir output)
  find_program(DPKG_QUERY dpkg-query REQUIRED)
  get_filename_component(launcher "${output}" NAME_WLE)
  set(lines
    "# The Debian versions of what went into ${launcher}, one a line:"
    "#   source NAME VERSION DSC-SHA256: built in the build tree from Debian's source package"
    "#   installed PACKAGE VERSION FILE...: installed files that the linker read"
    "#   fetched PACKAGE VERSION FILE...: files of a fetched, unpacked package that the linker read"
    "#   tool PACKAGE VERSION PROGRAM: the C++ compiler and the linker"
    "#   unpackaged PATH SHA256: a file that the linker read and no package installed")
  foreach(pinFile IN LISTS pinFiles)
    file(STRINGS ${pinFile} pin)
    list(GET pin 1 source)
    list(APPEND lines "${source}")
  endforeach()
  linkerInputsOutside(${inputs} ${buildDir} ${thirdPartyDir} files fetched)
  set(programs "")
  foreach(tool IN LISTS tools)
    file(REAL_PATH "${tool}" program)
    list(APPEND programs "${program}")
  endforeach()
  # dpkg's database is slow to read: one query for all.
  debianOwnersOf("${files};${programs}" owners unowned)
  appendOwnerLines(installed "${files}" "${owners}" "${unowned}" lines)
  appendFetchedLines("${fetched}" ${thirdPartyDir}/target-packages/contents.txt lines)
  appendOwnerLines(tool "${programs}" "${owners}" "${unowned}" lines)
  list(JOIN lines "\n" text)
  file(WRITE ${output} "${text}\n")
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  string(REPLACE "|" ";" pinFiles "${SOURCES}")
  string(REPLACE "|" ";" tools "${TOOLS}")
  writeDebianRecord("${INPUTS}" "${pinFiles}" "${tools}" "${BUILD_DIR}" "${THIRD_PARTY_DIR}" "${OUTPUT}")
endif()
