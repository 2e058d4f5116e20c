#include "feature_list.h"

#include <strings.h>

#include "command_channel.h"

static const char kFeatures[] =
    "211-Features:\n"
    " EPRT\n"
    " EPSV\n"
    " MDTM\n"
    " MFMT\n"
    " MLST type*;size*;modify*;UNIX.mode*;\n"
    " REST STREAM\n"
    " SIZE\n"
    " UTF8\n"
    "211 End\n";
// The same with explicit TLS, offered when a certificate is configured.
static const char kFeaturesTls[] =
    "211-Features:\n"
    " AUTH TLS\n"
    " EPRT\n"
    " EPSV\n"
    " MDTM\n"
    " MFMT\n"
    " MLST type*;size*;modify*;UNIX.mode*;\n"
    " PBSZ\n"
    " PROT\n"
    " REST STREAM\n"
    " SIZE\n"
    " UTF8\n"
    "211 End\n";
static const char kUtf8On[] = "200 Always in UTF8 mode.\n";
static const char kOptionUnknown[] = "501 Option not understood.\n";

int DoFEAT(Request *pReq) {
  SendFTPstring(pReq, pReq->pConfig->tlsContext ? kFeaturesTls : kFeatures);
  return 211;
}

int DoOPTS(Request *pReq) {
  const char *arg = pReq->cmnd.space->argument;
  if (strcasecmp(arg, "UTF8 ON") == 0 || strcasecmp(arg, "UTF8") == 0) {
    SendFTPstring(pReq, kUtf8On);
    return 200;
  }
  SendFTPstring(pReq, kOptionUnknown);
  return 501;
}
