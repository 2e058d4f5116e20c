// The configuration keys that mean the same in zolf.ini and mirt.ini,
// declared once. Each server's table lists them beside its own keys, with
// its own apply function (the values land in different records) and, where
// a server has always said it in its own words, its own absent or refused
// text (IniSaying, IniRefusing).
#pragma once
#include <climits>
#include <cstddef>
#include <cstdint>

#include "ini.h"
#include "proxy_header.h"
#include "startup.h"

// Port=: the listening port. Absent: the server's default port.
inline constexpr IniKey kPortKey = {
    "Port=", IniType::kPort, kIniNoteAbsent | kIniRefusedStops, nullptr,
    "Port=%s is not a port number from 1 to 65535.\n"};

// Address=: the listening address, IPv4 or IPv6, or AUTO. Absent:
// 127.0.0.1 (each server says so in its words).
bool ListeningAddress(const char *text);
inline constexpr IniKey kAddressKey = {
    "Address=", IniType::kText, kIniNoteAbsent | kIniEmptyStops,
    nullptr, nullptr, "Address entry can't be zero length.\n", INT64_MIN, INT64_MAX,
    ListeningAddress, 0, "an IPv4 or IPv6 address, or AUTO"};

// ExternIP=: the address clients are told to reach. Absent: derived from
// Address, which AUTO cannot be (ExternIpAbsent). Each server judges the
// form its way; a value is at most 254 characters (a host name or URL).
inline constexpr IniKey kExternIpKey = {
    "ExternIP=", IniType::kText, kIniNoteAbsent | kIniEmptyStops,
    nullptr, nullptr, "ExternIP entry can't be zero length.\n", INT64_MIN, INT64_MAX,
    nullptr, 256};

// MaxPerAddress=: connections one client address may hold. Optional and
// quiet when absent; absent, 0 or refused: a quarter of the server's
// connection limit (DefaultMaxPerAddress).
inline constexpr IniKey kMaxPerAddressKey = {
    "MaxPerAddress=", IniType::kNumber, 0, nullptr, nullptr, nullptr, 0, UINT32_MAX};

// The TLS certificate and key files (PEM), paths up to PATH_MAX. Optional
// and quiet when absent; a server checks them together once both are read.
inline constexpr IniKey kTlsCertificateKey = {
    "TLSCertificate=", IniType::kText, 0, nullptr, nullptr, nullptr, INT64_MIN, INT64_MAX,
    nullptr, PATH_MAX + 1};
inline constexpr IniKey kTlsKeyKey = {"TLSKey=", IniType::kText, 0, nullptr, nullptr, nullptr,
                                      INT64_MIN, INT64_MAX, nullptr, PATH_MAX + 1};

// User= and Group=: the account (and group; absent: the user's own, with
// its supplementary groups) a server started as root runs as once it has
// bound its ports, loaded its keys and opened its logs. Optional and quiet
// when absent.
// A name longer than RunAs holds is refused, never cut to some other
// account's name.
inline constexpr IniKey kUserKey = {"User=", IniType::kText, 0, nullptr, nullptr, nullptr,
                                    INT64_MIN, INT64_MAX, nullptr, sizeof RunAs::user + 1};
inline constexpr IniKey kGroupKey = {"Group=", IniType::kText, 0, nullptr, nullptr, nullptr,
                                     INT64_MIN, INT64_MAX, nullptr, sizeof RunAs::group + 1};

// ProxyProtocol=1: connections from TrustedProxies= begin with a PROXY
// header naming the client, and are closed without one. Optional and quiet
// when absent (0: no header is taken from anyone).
bool ValidTrustedProxies(const char *text);
inline constexpr IniKey kProxyProtocolKey = {
    "ProxyProtocol=", IniType::kFlag, kIniRefusedStops, nullptr,
    "ProxyProtocol=%s is neither 0 nor 1.\n"};
// TrustedProxies=: the balancers' addresses and CIDR ranges, either
// family, separated by commas or blanks. Read after ProxyProtocol=, which
// cannot be 1 without it.
inline constexpr IniKey kTrustedProxiesKey = {
    "TrustedProxies=", IniType::kText, kIniRefusedStops, nullptr,
    "TrustedProxies=%s is not a list of addresses and address/prefix ranges.\n",
    nullptr, INT64_MIN, INT64_MAX, ValidTrustedProxies, 1024};

// The two keys into a server's ProxyTrust. 0, or -1 after saying that
// ProxyProtocol=1 has no proxies to trust.
int ApplyProxyProtocol(const IniValue &value, ProxyTrust *trust);
int ApplyTrustedProxies(const IniValue &value, ProxyTrust *trust);

// User= and Group= into a server's RunAs.
void ApplyRunAsUser(const IniValue &value, RunAs *runAs);
void ApplyRunAsGroup(const IniValue &value, RunAs *runAs);

// Address= into a server's field (kAddressTextSize bytes, which any
// address the key takes fits), or 127.0.0.1 when absent.
void ApplyAddress(const IniValue &value, char *address, size_t size);
// What a missing ExternIP= means: with Address=AUTO there is nothing to
// derive it from ("Parameter ExternIP is missing.\n", -1); otherwise the
// server derives it from Address, after saying so (0).
int ExternIpAbsent(const char *address);
