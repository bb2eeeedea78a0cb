// The definition for a launcher built without a key: no signature is asked for.
#include "agent/agent_public_key.h"

const std::string_view agentPublicKeyPem;
