// Feeds arbitrary bytes to the INI reader as a configuration file and checks
// what every caller relies on: the table stays inside the text, every value
// handed out fits its buffer and holds no line end, and nothing leaks.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ini.h"

static char g_path[64];

static void Check(bool ok, const char *what) {
  if (!ok) {
    fprintf(stderr, "invariant broken: %s\n", what);
    abort();
  }
}

// The table reader: a value handed to an apply function was judged (a
// number in its bounds, a value within its room), and the reading stops at
// the first refusal.
struct Applied {
  int calls = 0;
  bool refusedSeen = false;
};
static int Take(Applied *a, const IniValue &v) {
  a->calls++;
  if (v.state == IniState::kRefused) a->refusedSeen = true;
  if (v.state == IniState::kGiven) {
    Check(strlen(v.text) + 2 <= 32, "value within its room");
    Check(!strchr(v.text, '\n') && !strchr(v.text, '\r'), "line end in a value");
  }
  return 0;
}
static int TakeNumber(Applied *a, const IniValue &v) {
  if (v.state == IniState::kGiven) Check(v.number >= -5 && v.number <= 70000, "number in bounds");
  return Take(a, v);
}
static const IniEntry<Applied> kFuzzKeys[] = {
    {{"Port=", IniType::kPort, kIniNoteAbsent}, Take},
    {{"Count=", IniType::kNumber, 0, nullptr, nullptr, nullptr, -5, 70000}, TakeNumber},
    {{"Flag=", IniType::kFlag, 0}, Take},
    {{"Add=", IniType::kRepeated, kIniNotEmpty, nullptr, nullptr, "empty\n"}, Take},
    {{"Name=", IniType::kText, 0}, Take},
};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (!g_path[0]) {
    snprintf(g_path, sizeof g_path, "/tmp/ini_fuzz_%d.ini", (int)getpid());
    atexit([] { unlink(g_path); });
  }
  FILE *f = fopen(g_path, "wb");
  if (!f) return 0;
  fwrite(data, 1, size, f);
  fclose(f);

  // The reader prints its messages to stderr; keep the fuzzer's output clean.
  FILE *saved = stderr;
  stderr = fopen("/dev/null", "w");
  Ini ini;
  int rc = OpenIni(&ini, g_path);
  if (rc == 0) {
    Check(ini.count <= 256, "count");
    Check(ini.size == size + 1, "size");
    Check(ini.text[ini.size - 1] == '\0', "final NUL");
    for (uint32_t i = 0; i < ini.count; i++) {
      Check(ini.lines[i] > 0 && ini.lines[i] < ini.size, "line offset");
      Check(i == 0 || ini.lines[i] > ini.lines[i - 1], "file order");
    }
    static const char *keys[] = {"Port=", "Address=", "AddType=", "", "LogDir="};
    static const size_t sizes[] = {1, 2, 32, 128, 256};
    for (const char *key : keys) {
      for (size_t sz : sizes) {
        char value[256];
        if (ReadIni(&ini, value, sz, key) == 0) {
          size_t n = strnlen(value, sz);
          Check(n + 2 <= sz, "value fits size - 2");
          Check(!strchr(value, '\n') && !strchr(value, '\r'), "line end in value");
        }
      }
      char value[128];
      int guard = 0;
      uint32_t at = 0;
      while (IniNext(&ini, &at, key, value, sizeof value) == 0) Check(++guard <= 256, "iteration ends");
    }
  }
  if (rc == 0) {
    Applied applied;
    ReadKeys(&ini, kFuzzKeys, &applied, 32);
    Check(!applied.refusedSeen, "a refused value never reaches its apply");
  }
  CloseIni(&ini);
  Check(ini.text == nullptr, "text released");
  fclose(stderr);
  stderr = saved;
  return 0;
}
