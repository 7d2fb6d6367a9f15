// The application's path joiner: the first component, then "/" and each
// further component in turn. It always inserts the separator (a first
// component ending in "/" gives a doubled one; the file system does not mind).
#pragma once

#include <string>
#include <string_view>

template <typename... Rest> std::string BuildPath(std::string_view first, const Rest &...rest) {
  std::string path(first);
  ((path += '/', path += std::string_view(rest)), ...);
  return path;
}
