#include "core/file_names.h"

namespace fazorn {

namespace {
bool isSeparator(char c) {
#ifdef _WIN32
  return c == '\\' || c == '/';
#else
  return c == '/';
#endif
}
}  // namespace

void splitDataPath(std::string_view path, FileNameParts& parts) {
  parts.dataPath.assign(path);
  std::string_view rest = path;
  parts.drive.clear();
#ifdef _WIN32
  if (rest.size() >= 2 && rest[1] == ':') {
    parts.drive.assign(rest.substr(0, 2));
    rest.remove_prefix(2);
  }
#endif
  std::size_t nameStart = 0;
  for (std::size_t i = 0; i < rest.size(); ++i)
    if (isSeparator(rest[i])) nameStart = i + 1;
  parts.directory.assign(rest.substr(0, nameStart));
  std::string_view name = rest.substr(nameStart);
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) {
    parts.baseName.assign(name);
    parts.extension.clear();
  } else {
    parts.baseName.assign(name.substr(0, dot));
    parts.extension.assign(name.substr(dot));
  }
}

std::string derivedFilePath(const FileNameParts& parts, std::string_view suffix) {
  std::string out;
  out.reserve(parts.drive.size() + parts.directory.size() + parts.baseName.size() + suffix.size() +
              parts.extension.size());
  out += parts.drive;
  out += parts.directory;
  out += parts.baseName;
  out += suffix;
  out += parts.extension;
  return out;
}

}  // namespace fazorn
