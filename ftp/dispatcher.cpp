#include "dispatcher.h"

#include <cstdlib>
#include <strings.h>

#include "command_channel.h"
#include "data_connection.h"
#include "feature_list.h"
#include "file_commands.h"
#include "security_commands.h"
#include "listing.h"
#include "session_commands.h"
#include "status_commands.h"
#include "transfers.h"
#include "virtual_paths.h"

static int DoSITE(Request *pReq);

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
    /* SIZE */ DoSIZE, /* SITE */ DoSITE,  /* NLST */ DoNLST,
    /* MLSD */ DoMLSD, /* MLST */ DoMLST, /* EPSV */ DoEPSV,
    /* EPRT */ DoEPRT, /* FEAT */ DoFEAT, /* OPTS */ DoOPTS,
    /* AUTH */ DoAUTH, /* PBSZ */ DoPBSZ, /* PROT */ DoPROT,
    /* ALLO */ DoALLO, /* MODE */ DoMODE, /* STRU */ DoSTRU,
    /* STAT */ DoSTAT, /* HELP */ DoHELP, /* MFMT */ DoMFMT};

static bool LoggedIn(const Request *pReq) {
  return pReq->login.permissions[kUSER] == '0' && pReq->login.permissions[kPASS] == '0';
}

int DoFTP(Request *pReq) {
  int code = TranslateCommand(pReq->cmnd.space->command);
  // A restart offset reaches only the transfer that directly follows REST;
  // every other command line, known or not, clears it.
  if (code != kREST && !(pReq->cmnd.lastCommand == kREST && (code == kSTOR || code == kRETR)))
    pReq->restOffset = 0;
  if (code < 0) return NotImplemented(pReq);

  // Permission before login: commands outside the basic eight are refused
  // before USER just as for an account that does not grant them. A
  // refusal is no "not implemented": clients would report the command as
  // unsupported.
  int permission = PermissionOf(code);
  if (permission >= 0 && pReq->login.permissions[permission] != '1') {
    // USER and PASS are flags of the login's progress, not grants.
    if (code == kUSER || code == kPASS) return NotImplemented(pReq);
    if (code != kLIST) {
      SendFTPstring(pReq, kPermissionDenied);
      return 550;
    }
    code = kEmptyListing;
  }

  // Clients ask for the features before they log in, and may leave before
  // they have.
  // TLS is set up before the login it protects.
  if (!LoggedIn(pReq) && (code == kFEAT || code == kOPTS || code == kQUIT || code == kHELP ||
                          code == kAUTH || code == kPBSZ || code == kPROT))
    return kHandlers[code](pReq);
  if (code == kUSER && TlsRequiredFirst(pReq)) {
    SendFTPstring(pReq, kTlsRequired);
    return 530;
  }
  if (code == kUSER && pReq->login.permissions[kUSER] == '1') return DoUSER(pReq);
  if (code == kPASS && pReq->login.permissions[kPASS] == '1' &&
      pReq->login.permissions[kUSER] == '0')
    return DoPASS(pReq);
  if (!LoggedIn(pReq)) {
    SendFTPstring(pReq, Mess332);
    return 332;
  }

  if (pReq->cmnd.lastCommand == kRNFR && code != kRNTO) {
    free(pReq->renameFrom);
    free(pReq->renameTo);
    pReq->renameFrom = nullptr;
    pReq->renameTo = nullptr;
    SendFTPstring(pReq, Mess503);
    return 503;
  }
  if (code == kEmptyListing) return StartEmptyListing(pReq);
  CommandHandler handler = kHandlers[code];
  if (!handler) return NotImplemented(pReq);
  int result = handler(pReq);
  return result == kRunRewritten ? DoFTP(pReq) : result;
}

// SITE: the rest of the line is a command line of its own, dispatched
// like any other.
// SITE CHMOD is a command of SITE alone, granted with SITE and STOR.
static int DoSITE(Request *pReq) {
  int refused = TakeSiteLine(pReq);
  if (refused) return refused;
  if (strcasecmp(pReq->cmnd.space->command, "CHMOD") != 0) return DoFTP(pReq);
  if (pReq->login.permissions[kSTOR] != '1') {
    SendFTPstring(pReq, kPermissionDenied);
    return 550;
  }
  return DoSiteChmod(pReq);
}
