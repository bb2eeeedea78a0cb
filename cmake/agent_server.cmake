# Checks the agent server that the launcher is built for: "http://" or
# "https://", a host name or address, an optional port, and nothing more. A
# path, a user name or a final "/" would change every agent URL the launcher
# asks for, so a bad value stops the configuration. Also runs as a script:
#   cmake -DQZ_AGENT_SERVER=VALUE -P cmake/agent_server.cmake
function(checkAgentServer server)
  set(host "([A-Za-z0-9]([A-Za-z0-9.-]*[A-Za-z0-9])?|\\[[0-9A-Fa-f:.]+\\])")
  set(port "")
  if(server MATCHES "^https?://${host}(:([0-9]+))?$")
    set(port "${CMAKE_MATCH_4}")
  else()
    set(port 0)
  endif()
  if(port STREQUAL "" OR (port GREATER 0 AND port LESS 65536))
    return()
  endif()
  message(FATAL_ERROR "QZ_AGENT_SERVER must be http:// or https://, a host and an optional "
                      "port, with no path and no final '/' (such as "
                      "https://downloads.example.com or http://10.0.0.5:8080); it is "
                      "'${server}'.")
endfunction()

if(CMAKE_SCRIPT_MODE_FILE)
  checkAgentServer("${QZ_AGENT_SERVER}")
endif()
