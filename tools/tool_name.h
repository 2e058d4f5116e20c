// What the test clients call themselves in --help and --version: the name
// they were started under (zolf-client once installed, client in the
// build directory) and the release they belong to.
#pragma once
#include <cstring>

constexpr char kToolsVersion[] = "1.7.1";

inline const char *ToolName(const char *argv0) {
  const char *slash = strrchr(argv0, '/');
  return slash ? slash + 1 : argv0;
}
