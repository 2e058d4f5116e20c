#include "dispatcher.h"

#include <cstring>

#include "command_channel.h"

char tmpBuf[1281];

int NotImplemented(Request *pReq) {
  SendFTPstring(pReq, Mess502);
  return 502;
}

// Until login and the commands are there, every command but QUIT answers
// 502.
int DoFTP(Request *pReq) {
  memset(tmpBuf, 0, sizeof tmpBuf);
  if (TranslateCommand(pReq->command) == kQUIT) {
    SendFTPstring(pReq, Mess221);
    return 221;
  }
  return NotImplemented(pReq);
}
