// The two ways the launcher joins a path and a name, and the two ways it
// takes a path's directory: as the installer's name gives it, and as the
// file system holds it. Paths are byte strings; nothing is normalised, so a
// doubled separator that a path brings stays in it.
#pragma once

#include <string>
#include <string_view>

// `directory`, "/" and `name`, whatever `directory` ends in: the bundle, the
// download target, the validator file.
inline std::string joinAlways(std::string_view directory, std::string_view name) {
  std::string path(directory);
  path.append("/").append(name);
  return path;
}

// `directory`, "/" only when `directory` does not already end in one, and
// `name`: the agent cache and what lies in it. With `keepEmpty`, an empty
// directory gives `name` alone (a relative start script) instead of "/name".
inline std::string joinOnce(std::string_view directory, std::string_view name,
                            bool keepEmpty = false) {
  std::string path(directory);
  if (!(path.empty() ? keepEmpty : path.back() == '/')) path.append("/");
  path.append(name);
  return path;
}

// `path` up to its last "/" or "\", the separator excluded; the whole path
// when it holds neither. A name that came from elsewhere may use either:
// the installer's directory, where its archive may lie beside it.
inline std::string directoryPart(std::string_view path) {
  size_t separator = path.find_last_of("/\\");
  return std::string(separator == std::string_view::npos ? path : path.substr(0, separator));
}

// The directory that holds `path` in the file system: "/" for a name in the
// root, "." for a relative name without any "/".
inline std::string parentDirectory(std::string_view path) {
  size_t separator = path.find_last_of('/');
  if (separator == std::string_view::npos) return ".";
  return separator == 0 ? "/" : std::string(path.substr(0, separator));
}
