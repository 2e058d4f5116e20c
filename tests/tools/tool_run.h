// Running a test client with scripted keyboard input and collecting what it
// printed.
#pragma once
#include <cstdlib>
#include <string>
#include <vector>

#include "harness.h"

struct ToolResult {
  int status = -1;
  std::string out, err;
};

// Starts bin/<tool> in dir with its standard input on a pipe.
inline bool StartTool(harness::Process *p, const std::string &tool, const std::string &dir) {
  return p->Start({harness::Bin(tool)}, dir, true);
}

// Feeds the whole input, closes standard input and waits for the end.
inline ToolResult FinishTool(harness::Process *p, const std::string &input,
                             double seconds = 15) {
  p->WriteStdin(input);
  p->CloseStdin();
  ToolResult r;
  r.status = p->Wait(seconds);
  r.out = p->Stdout();
  r.err = p->Stderr();
  return r;
}

inline ToolResult RunTool(const std::string &tool, const std::string &input,
                          const std::string &dir) {
  harness::Process p;
  if (!StartTool(&p, tool, dir)) return ToolResult();
  return FinishTool(&p, input);
}

// Takes "N bytes recv from server.\n" + N bytes pieces off the text; false
// when the text is not made of such pieces.
inline bool SplitPieces(std::string text, std::vector<std::string> *pieces) {
  static const std::string tail = " bytes recv from server.\n";
  while (!text.empty()) {
    size_t at = text.find(tail);
    if (at == std::string::npos || at == 0 || at > 3) return false;
    size_t n = std::strtoul(text.substr(0, at).c_str(), nullptr, 10);
    text.erase(0, at + tail.size());
    if (n == 0 || n > text.size()) return false;
    pieces->push_back(text.substr(0, n));
    text.erase(0, n);
  }
  return true;
}
