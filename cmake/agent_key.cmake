# Builds an Ed25519 public key into the launcher: writes a source file that
# defines agentPublicKeyPem with the text of a PEM public key file. Anything
# but a PEM public key stops the build, so a launcher never ships with a key
# it cannot read. Also runs as a script (when the key is made at build time):
#   cmake -DKEY=agent-key.pub.pem -DOUTPUT=agent_public_key.cc -P cmake/agent_key.cmake
function(writeAgentKeySource key output)
  if(NOT EXISTS "${key}")
    message(FATAL_ERROR "The agent public key '${key}' does not exist.")
  endif()
  file(READ "${key}" pem)
  string(STRIP "${pem}" pem)
  if(NOT pem MATCHES "^-----BEGIN PUBLIC KEY-----\n[A-Za-z0-9+/=\n]+\n-----END PUBLIC KEY-----$")
    message(FATAL_ERROR "The agent public key '${key}' is not a PEM public key "
                        "(openssl pkey -in agent-key.pem -pubout -out agent-key.pub.pem).")
  endif()
  file(WRITE "${output}" "// Made by the build from ${key}.\n"
       "#include \"agent/agent_public_key.h\"\n\n"
       "const std::string_view agentPublicKeyPem = R\"(${pem}\n)\";\n")
endfunction()

if(CMAKE_SCRIPT_MODE_FILE)
  writeAgentKeySource("${KEY}" "${OUTPUT}")
endif()
