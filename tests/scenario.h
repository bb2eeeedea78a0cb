// One end-to-end run as data: the installer and the server's answers, the
// environment and arguments, then what the user sees and what is left. In
// every text, WORK stands for the run's directory, SCRATCH for the scratch
// directory it used, HTTPS and HTTP for the servers' URLs (ALIAS for HTTPS
// by an address its certificate does not name), CA and OTHERCA for
// certificate files.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "support.h"

namespace testing_support {

inline const std::string launcher = QZ_LAUNCHER_PATH, packer = QZ_PACKER_PATH;
inline const std::string cacheRelative = ".orvane/installagent/T19q7c/hostk64/";
// Writes its arguments, each in <>, to $AGENT_RECORD, keeps a copy of the
// bundle it was given, and ends with a status of its own.
inline const std::string sampleAgent =
    "printf '<%s>' \"$@\" ${UNZIP+\"UNZIP=$UNZIP\"} ${UNZIPOPT+\"UNZIPOPT=$UNZIPOPT\"} > "
    "\"$AGENT_RECORD\"\ncp \"$2\" \"$AGENT_RECORD.bundle\"\nexit 7\n";
inline const std::string realUnzip = "exec /usr/bin/unzip \"$@\"";
inline const std::string cannotUnpack =
    "Internal error: Failed to initialize application installer (201)\nInstallation failed.\n";
inline const std::string cannotUnzipAgent =
    "Failed to unzip the install agent\nFailed to initialize the install agent.\n"
    "Installation failed.\n";

// One answer of the server: the status line's code (0: hang up unanswered),
// header lines, and the body, where AGENT stands for the agent archive and
// CORRUPT for it with one bit flipped.
struct Answer {
  std::string request = "/agent";
  int status = 200;
  std::string headers = "ETag: \"v1\"\r\n";
  std::string body = "AGENT";
  bool trickle = false;
};

struct Paths {
  std::string work, home, cache, installer;
};

struct Scenario {
  std::string name{};
  // The installer, the cache it meets and the server.
  bool bundledAgent = false;
  std::string agent = sampleAgent;  // the agent archive's start script
  std::vector<std::string> agentExtras{};  // more members, named anything, empty
  std::string installer = "setup.run";
  // "name=content" files (a name ending in "/" is a directory) planted in the cache.
  std::vector<std::string> cacheBefore{};
  std::function<void(const Paths&)> prepare{};  // anything more
  std::vector<Answer> answers = {Answer{}};
  // How it runs: "NAME=value" or "-NAME" to unset; the unzip on PATH runs
  // this after logging its arguments; a shell line runs first (as root, in a
  // mount namespace of its own).
  std::vector<std::string> environment{}, arguments{};
  std::string unzip = realUnzip;
  std::string shellFirst{};
  bool needsRoot = false;
  // An interruption: the signal (to the whole group as a terminal sends it,
  // SIGTERM to the launcher alone) once the server saw the request
  // `interruptAfter`, or the file it names is not empty, or without it once
  // WORK/started exists.
  int interrupt = 0;
  std::string interruptAfter{};
  // What it leaves. standardError is exact, or only its end after "...".
  std::string standardError{};
  int exitCode = 0, signal = 0;
  std::vector<std::string> requests = {"HEAD /agent", "GET /agent"};
  std::string agentSaw = "<-installbundle><SCRATCH/bundle.zip>";  // "" when it never ran
  // The tools run, "unzip ARGS" and "rm ARGS"; not checked when empty.
  std::vector<std::string> tools{};
  // Every file (and empty directory, with "/") under the cache, sorted, the
  // validator with its content.
  std::vector<std::string> cache = {".validatestring=ETag: \"v1\"\r", "installagent.lock",
                                    "installagent/install"};
};

inline std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = 0; !from.empty() && (at = text.find(from, at)) != std::string::npos;
       at += to.size())
    text.replace(at, from.size(), to);
  return text;
}

// Plays one scenario; failures are reported under its name.
void playScenario(const Scenario& scenario, ScriptedServer& server,
                  std::unique_ptr<TlsFront>& tls);

}  // namespace testing_support
