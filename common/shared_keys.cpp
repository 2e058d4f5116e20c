#include "shared_keys.h"

#include <cstdio>
#include <cstring>

static const char kExternMissingAuto[] = "Parameter ExternIP is missing.\n";
static const char kExternMissing[] = "Parameter ExternIP is missing (using Address).\n";
static const char kNoTrustedProxies[] =
    "ProxyProtocol=1 needs TrustedProxies= (the balancers' addresses).\n";

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

bool ValidTrustedProxies(const char *text) {
  ProxyTrust trust{};
  return ParseTrustedProxies(text, &trust) == 0;
}

int ApplyProxyProtocol(const IniValue &value, ProxyTrust *trust) {
  *trust = ProxyTrust{};
  trust->on = value.state == IniState::kGiven && value.number == 1;
  return 0;
}

int ApplyTrustedProxies(const IniValue &value, ProxyTrust *trust) {
  if (value.state == IniState::kGiven) ParseTrustedProxies(value.text, trust);
  // Headers from nobody would close every connection from the balancer
  // the operator meant.
  if (trust->on && trust->count == 0) {
    fputs(kNoTrustedProxies, stderr);
    return -1;
  }
  return 0;
}
