// A session without a network: a Request in a Server of its own whose
// replies are read straight from the command buffer, and whose command log
// goes to a temporary file.
#pragma once
#include <cstdio>
#include <cstring>
#include <string>

#include "command_channel.h"
#include "dispatcher.h"
#include "rotating_log.h"
#include "server_records.h"
#include "sessions.h"
#include "transfers.h"

struct TestSession {
  Server server;
  Log log;
  Request *req = nullptr;

  explicit TestSession(const char *address = "10.0.0.7") {
    memset(&server, 0, sizeof server);
    server.log = &log;
    server.listenSocket = -1;
    server.DataPort = 6000;
    server.MaxUsers = 10;
    snprintf(server.serverName, sizeof server.serverName, "ZOLF/1.7.1");
    log.rotation = 1;
    log.stream = tmpfile();
    req = AddRequest(-1, &server, address);
  }
  ~TestSession() {
    for (Request *r = server.requests; r;) r = CloseRequest(r);
    FreeBufferPool(&server.replyBlocks);
    FreeBufferPool(&server.xferBlocks);
    FreeBufferPool(&server.cmndSpaces);
    if (log.stream) fclose(log.stream);
  }
  TestSession(const TestSession &) = delete;
  TestSession &operator=(const TestSession &) = delete;

  // The queued reply ("" when none).
  std::string Reply() const {
    if (req->cmnd.state != kCmndQueued) return "";
    return std::string(req->cmnd.space->buffer, (size_t)req->cmnd.length);
  }
  // Puts received bytes into the command buffer as OnReadCmnd would.
  void Receive(const std::string &bytes) {
    req->cmnd.pendingLength = 0;
    RecvFTPstring(req);
    HoldCommandSpace(req);
    size_t n = bytes.size() < 255 ? bytes.size() : 255;
    memcpy(req->cmnd.space->buffer, bytes.data(), n);
    req->cmnd.length = (int32_t)n;
  }
  // One command line through parser and dispatcher as the main loop runs
  // it; returns the reply queued for it. The code goes to *code.
  std::string Run(const std::string &line, int *code = nullptr) {
    Receive(line + "\r\n");
    int result = -1;
    if (ParseFTPstring(req) == 0) {
      result = DoFTP(req);
      req->cmnd.lastCommand = TranslateCommand(req->cmnd.space->command);
    }
    if (code) *code = result;
    return Reply();
  }
  std::string LogText() {
    fflush(log.stream);
    std::string text;
    rewind(log.stream);
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, log.stream)) > 0) text.append(buf, n);
    return text;
  }
};
