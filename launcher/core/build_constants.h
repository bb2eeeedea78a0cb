// Compiled-in names that decide which install agent is fetched, from where,
// and where it is kept. The composites are string literals joined by the
// compiler, so they exist before any code runs and never change.
#pragma once

#include <string_view>

#ifndef QZ_AGENT_SERVER
#error "QZ_AGENT_SERVER comes from the build's configuration"
#endif

#define QZ_RELEASE_TAG "T19q7c"
#define QZ_TAG_SEPARATOR "_"
// The platform the agent is built for. A launcher for one machine type never
// asks for, nor keeps in its cache, the agent of another; a vendor who names
// platforms otherwise gives its own tag when configuring.
#ifndef QZ_PLATFORM_TAG
#if defined(__x86_64__)
#define QZ_PLATFORM_TAG "hostk64"
#elif defined(__aarch64__)
#define QZ_PLATFORM_TAG "hostka64"
#else
#error "No platform tag is known for this machine type: configure with QZ_PLATFORM_TAG."
#endif
#endif
#define QZ_PATH_SEPARATOR "/"

inline constexpr std::string_view pathSeparator = QZ_PATH_SEPARATOR;
inline constexpr std::string_view releaseTag = QZ_RELEASE_TAG;
inline constexpr std::string_view tagSeparator = QZ_TAG_SEPARATOR;
inline constexpr std::string_view platformTag = QZ_PLATFORM_TAG;
inline constexpr std::string_view agentArchiveName = "InstallAgent.zip";
// The bundle as the payload yields it and the agent is handed it.
inline constexpr std::string_view bundleFileName = "bundle.zip";
inline constexpr std::string_view agentDirectoryName = "installagent";
inline constexpr std::string_view validatorFileName = ".validatestring";
// The signed manifest of the cached agent, kept by launchers with a built-in key.
inline constexpr std::string_view manifestFileName = ".agentmanifest";

// Where the agent server publishes the agent archive of this release and platform.
inline constexpr std::string_view defaultAgentUrl =
    QZ_AGENT_SERVER "/pi_install_agent_pi_" QZ_RELEASE_TAG QZ_TAG_SEPARATOR QZ_PLATFORM_TAG;

// The per-user agent cache, relative to the home directory; ends in a separator.
inline constexpr std::string_view agentCacheRelativePath =
    ".orvane" QZ_PATH_SEPARATOR "installagent" QZ_PATH_SEPARATOR QZ_RELEASE_TAG QZ_PATH_SEPARATOR
        QZ_PLATFORM_TAG QZ_PATH_SEPARATOR;

// Environment variables the launcher reads.
inline constexpr const char* homeVariable = "HOME";
inline constexpr const char* agentUrlVariable = "QZ_INTERNAL_INSTALL_AGENT_URL";
inline constexpr const char* testModeVariable = "__QZ_BOOTSTRAP_INSTALLER_UNITTEST__";
