// Running a test client with scripted keyboard input and collecting what it
// printed.
#pragma once
#include <string>

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
