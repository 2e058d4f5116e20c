#include "shared_keys.h"

#include <cstdio>
#include <cstring>

static const char kExternMissingAuto[] = "Parameter ExternIP is missing.\n";
static const char kExternMissing[] = "Parameter ExternIP is missing (using Address).\n";

void ApplyAddress(const IniValue &value, char *address, size_t size) {
  if (value.state == IniState::kGiven)
    snprintf(address, size, "%s", value.text);
  else
    snprintf(address, size, "127.0.0.1");
}

bool ListeningAddress(const char *text) {
  return strcmp(text, "AUTO") == 0 || IniAddress(text);
}

int ExternIpAbsent(const char *address) {
  if (strcmp(address, "AUTO") == 0) {
    fputs(kExternMissingAuto, stderr);
    return -1;
  }
  fputs(kExternMissing, stderr);
  return 0;
}

void ApplyRunAsUser(const IniValue &value, RunAs *runAs) {
  snprintf(runAs->user, sizeof runAs->user, "%s",
           value.state == IniState::kGiven ? value.text : "");
}

void ApplyRunAsGroup(const IniValue &value, RunAs *runAs) {
  snprintf(runAs->group, sizeof runAs->group, "%s",
           value.state == IniState::kGiven ? value.text : "");
}
