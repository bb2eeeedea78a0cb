// Finds an install agent archive shipped beside the bundle.
#pragma once

#include <string>

// The path of the local agent archive in `extractionDirectory`, or empty when
// there is none. "InstallAgent.zip" wins when anything of that name exists;
// otherwise the first entry the directory yields whose name begins with
// "InstallAgent_" and ends with ".zip" (case counts, any kind of entry).
std::string findLocalAgentArchive(const std::string& extractionDirectory);
