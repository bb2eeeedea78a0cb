# Checks a vendor's platform tag, which names the agent in its URL's path and
# the cache directory that keeps it: letters, digits, ".", "_" and "-",
# starting with a letter or digit, so that it can be neither a separator, a
# hidden name nor "..". Also runs as a script:
#   cmake -DQZ_PLATFORM_TAG=VALUE -P cmake/platform_tag.cmake
function(checkPlatformTag tag)
  if(NOT tag MATCHES "^[A-Za-z0-9][A-Za-z0-9._-]*$")
    message(FATAL_ERROR "QZ_PLATFORM_TAG must be letters, digits, '.', '_' and '-', starting "
                        "with a letter or digit (such as hostka64); it is '${tag}'.")
  endif()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE)
  checkPlatformTag("${QZ_PLATFORM_TAG}")
endif()
