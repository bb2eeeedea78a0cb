#include "launcher/builtin/zip_member_name.h"

#include <algorithm>
#include <optional>

#include "launcher/builtin/zip_extra_field.h"
#include "launcher/builtin/zip_format.h"

std::string memberName(std::string_view rawName, std::string_view extraField, bool utf8Flag) {
  if (!utf8Flag) {
    if (std::optional<std::string> unicode = unicodePath(extraField, rawName)) return *unicode;
  }
  return std::string(rawName);
}

namespace {

UnzipProblem refused(const std::string& name, const char* why) {
  return problemWith(UnzipResult::badDirectory, name, why);
}

// The name unzip makes of a last component that cannot name a file.
std::string lastComponent(const std::string& component) {
  if (component == ".") return "_";
  if (component == "..") return "__";
  return component;
}

}  // namespace

UnzipProblem splitMemberName(std::string name, uint8_t hostSystem, MemberPath* path) {
  if (name.empty()) return refused(name, "an empty name");
  if (name.find('\0') != std::string::npos) return refused(name, "a NUL byte in its name");
  if (hostSystem == zipformat::msDos && name.find('/') == std::string::npos &&
      name.find('\\') != std::string::npos) {
    std::replace(name.begin(), name.end(), '\\', '/');
    path->backslashes = true;
  }
  if (name.front() == '/') return refused(name, "an absolute name");
  path->directory = name.back() == '/';
  size_t start = 0;
  for (size_t slash; (slash = name.find('/', start)) != std::string::npos; start = slash + 1) {
    std::string component = name.substr(start, slash - start);
    if (component == "..") return refused(name, "a \"..\" component");
    if (!component.empty() && component != ".") path->components.push_back(component);
  }
  if (start < name.size()) path->components.push_back(lastComponent(name.substr(start)));
  return {};
}
