// Hands over to the install agent: runs its start script with sh, naming the
// unpacked bundle and passing on the user's arguments.
#pragma once

#include <string>
#include <string_view>

#include "launcher/message_reporter.h"

inline constexpr std::string_view agentStartFailedMessage = "Failed to start the instal agent";

// commandHead + " -installbundle " + quotePath() of bundle.zip in the
// extraction directory, then, when there are user arguments, a blank and
// joinArguments().
std::string agentCommandLine(const std::string& commandHead, const std::string& extractionDirectory,
                             int argumentCount, const char* const* arguments);

// True when the agent can be started with `commandLine`: the start script is
// a regular file, /bin/sh and an sh on PATH exist, and the line with the
// environment fits what the system hands to one program. A start that would
// fail in the shell instead could not be told from an agent that ran.
bool agentCanStart(const std::string& startScript, const std::string& commandLine);

// Runs agentCommandLine() and waits for the agent, holding back interrupting
// signals meanwhile. Its exit status is not looked at: true once the command
// has run, false (reported) when it could not be started or agentCanStart()
// says it cannot be. When Ctrl-C or Ctrl-\ ended the agent's shell, the run
// ends by that signal instead.
bool launchAgent(const std::string& startScript, const std::string& commandHead,
                 const std::string& extractionDirectory, int argumentCount,
                 const char* const* arguments, MessageReporter report);

// argv[1] to argv[argc-1], each as one shell word followed by one blank; an
// empty argument becomes ''. Empty when there are no user arguments.
std::string joinArguments(int argumentCount, const char* const* arguments);
