#include "dispatcher.h"

#include <cstdlib>
#include <cstring>
#include <dirent.h>

#include "command_channel.h"
#include "data_connection.h"
#include "feature_list.h"
#include "file_commands.h"
#include "security_commands.h"
#include "listing.h"
#include "session_commands.h"
#include "transfers.h"
#include "virtual_paths.h"

char tmpBuf[1281];

// Handler of every command code. Code 22 is a permission, not a command.
static const CommandHandler kHandlers[kWordCount] = {
    /* CDUP */ DoCDUP, /* SYST */ DoSYST, /* PASV */ DoPASV,
    /* QUIT */ DoQUIT, /* PWD  */ DoPWD,  /* USER */ DoUSER,
    /* PASS */ DoPASS, /* LIST */ DoLIST, /* ABOR */ DoABOR,
    /* CWD  */ DoCWD,  /* TYPE */ DoTYPE, /* MKD  */ DoMKD,
    /* DELE */ DoDELE, /* RMD  */ DoRMD,  /* STOR */ DoSTOR,
    /* RETR */ DoRETR, /* NOOP */ DoNOOP, /* APPE */ DoAPPE,
    /* PORT */ DoPORT, /* REST */ DoREST, /* RNFR */ DoRNFR,
    /* RNTO */ DoRNTO, /* 22   */ nullptr, /* MDTM */ DoMDTM,
    /* SIZE */ DoSIZE, /* SITE */ DoSITE, /* NLST */ DoNLST,
    /* MLSD */ DoMLSD, /* MLST */ DoMLST, /* EPSV */ DoEPSV,
    /* EPRT */ DoEPRT, /* FEAT */ DoFEAT, /* OPTS */ DoOPTS,
    /* AUTH */ DoAUTH, /* PBSZ */ DoPBSZ, /* PROT */ DoPROT};

int NotImplemented(Request *pReq) {
  SendFTPstring(pReq, Mess502);
  return 502;
}

// LIST without permission: the transfer starts with nothing to send, so
// the client gets an empty listing once its data connection is up.
static int EmptyListing(Request *pReq) {
  // Nothing of an earlier, interrupted listing may follow.
  if (pReq->dirHandle) closedir(pReq->dirHandle);
  pReq->dirHandle = nullptr;
  pReq->dataLength = 0;
  pReq->dataState = kDataSending;
  SendFTPstring(pReq, Mess150);
  return 150;
}

static bool LoggedIn(const Request *pReq) {
  return pReq->permissions[kUSER] == '0' && pReq->permissions[kPASS] == '0';
}

static const char kLoginIncorrect[] = "530 Login incorrect.\n";

int DoFTP(Request *pReq) {
  memset(tmpBuf, 0, sizeof tmpBuf);
  int code = TranslateCommand(pReq->command);
  // A restart offset reaches only the transfer that directly follows REST;
  // every other command line, known or not, clears it.
  if (code != kREST && !(pReq->lastCommand == kREST && (code == kSTOR || code == kRETR)))
    pReq->restOffset = 0;
  if (code < 0) return NotImplemented(pReq);

  // Permission before login: commands outside the basic eight are 502
  // before USER just as for an account that does not grant them.
  int permission = PermissionOf(code);
  if (permission >= 0 && pReq->permissions[permission] != '1') {
    if (code != kLIST) return NotImplemented(pReq);
    code = kEmptyListing;
  }

  // Clients ask for the features before they log in, and may leave before
  // they have.
  // TLS is set up before the login it protects.
  if (!LoggedIn(pReq) && (code == kFEAT || code == kOPTS || code == kQUIT ||
                          code == kAUTH || code == kPBSZ || code == kPROT))
    return kHandlers[code](pReq);
  if (code == kUSER && TlsRequiredFirst(pReq)) {
    SendFTPstring(pReq, kTlsRequired);
    return 530;
  }
  if (code == kUSER && pReq->permissions[kUSER] == '1') return DoUSER(pReq);
  if (code == kPASS && pReq->permissions[kPASS] == '1' &&
      pReq->permissions[kUSER] == '0') {
    int result = DoPASS(pReq);
    if (result != kWrongPassword) return result;
    // Whether the name or the password was wrong stays the server's secret.
    SendFTPstring(pReq, kLoginIncorrect);
    return 530;
  }
  if (!LoggedIn(pReq)) {
    SendFTPstring(pReq, Mess332);
    return 332;
  }

  if (pReq->lastCommand == kRNFR && code != kRNTO) {
    free(pReq->renameFrom);
    free(pReq->renameTo);
    pReq->renameFrom = nullptr;
    pReq->renameTo = nullptr;
    SendFTPstring(pReq, Mess503);
    return 503;
  }
  if (code == kEmptyListing) return EmptyListing(pReq);
  CommandHandler handler = kHandlers[code];
  if (!handler) return NotImplemented(pReq);
  return handler(pReq);
}
