// Hands over to the install agent: runs its start script with sh, naming the
// unpacked bundle and passing on the user's arguments.
#pragma once

#include <string>
#include <string_view>

#include "launcher/core/failure.h"

inline constexpr std::string_view agentStartFailedMessage = "Failed to start the instal agent";

// commandHead + " -installbundle " + quotePath() of bundle.zip in the
// extraction directory, then, when there are user arguments, a blank and
// each argument as one shell word followed by a blank ('' for an empty one).
std::string agentCommandLine(const std::string& commandHead, const std::string& extractionDirectory,
                             int argumentCount, const char* const* arguments);

// Runs agentCommandLine() and waits for the agent, holding back interrupting
// signals meanwhile. Its exit status is not looked at: success once the
// command has run. It fails with agentStartFailedMessage when the agent
// cannot start: the start script is not a regular file, /bin/sh or an sh on
// PATH is missing, or the line with the environment does not fit what the
// system hands to one program (a start that failed in the shell instead
// could not be told from an agent that ran). When Ctrl-C or Ctrl-\ ended the
// agent's shell, the run ends by that signal instead.
Failure launchAgent(const std::string& startScript, const std::string& commandHead,
                    const std::string& extractionDirectory, int argumentCount,
                    const char* const* arguments);
