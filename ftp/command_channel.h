// The command connection of a session: receiving a command line, cutting it
// into command word and argument, the command codes, and queuing and sending
// the one reply a session holds at a time.
#pragma once
#include "server_records.h"

// Command codes: indexes of Request::permissions and values of lastCommand.
enum CommandCode {
  kCDUP = 0, kSYST = 1, kPASV = 2, kQUIT = 3, kPWD = 4, kUSER = 5, kPASS = 6,
  kLIST = 7, kABOR = 8, kCWD = 9, kTYPE = 10, kMKD = 11, kDELE = 12,
  kRMD = 13, kSTOR = 14, kRETR = 15, kNOOP = 16, kAPPE = 17, kPORT = 18,
  kREST = 19, kRNFR = 20, kRNTO = 21,
  kRMD_RECURSIVE = 22,  // a permission only: no command word yields it
  kMDTM = 23, kSIZE = 24, kSITE = 25,
  kCommandCount = 26,  // codes that have a permission flag of their own
  // Commands that share the permission of an older one (NLST, MLSD and
  // MLST that of LIST, EPSV that of PASV, EPRT that of PORT) or need none
  // (FEAT, OPTS).
  kNLST = 26, kMLSD = 27, kMLST = 28, kEPSV = 29, kEPRT = 30, kFEAT = 31,
  kOPTS = 32,
  // Explicit TLS: every session may give them, before login too.
  kAUTH = 33, kPBSZ = 34, kPROT = 35,
  // The rest of RFC 959's minimum and its companions: ALLO, MODE, STRU,
  // STAT and HELP need no grant, MFMT that of STOR.
  kALLO = 36, kMODE = 37, kSTRU = 38, kSTAT = 39, kHELP = 40, kMFMT = 41,
  kWordCount = 42,
};

// A handler's result when it has rewritten the current command (CWD ..
// becomes CDUP) and queued nothing: the dispatcher runs the new one.
enum { kRunRewritten = -2 };

// The permission flag a command code is checked against; -1 for a command
// every session may give at any time.
int PermissionOf(int code);

// The seventeen standard replies, shared by every handler.
extern const char Mess150[], Mess200[], Mess220[], Mess221[], Mess226[],
    Mess230[], Mess250[], Mess331[], Mess332[], Mess350[], Mess425[],
    Mess450[], Mess451[], Mess500[], Mess502[], Mess503[], Mess550[];

// A command the account is not granted.
extern const char kPermissionDenied[];

// Handler for what is not there: "502 Command not implemented.\n".
int NotImplemented(Request *pReq);

// 0 to go on, -1 when the client closed the connection or it broke.
int OnReadCmnd(Request *pReq);
// 0 when command and argument hold a new line; -1 when the line is not
// complete yet or was refused (a 500 reply is then queued in its place).
int ParseFTPstring(Request *pReq);
// Code of a command word (case-insensitive), -1 for any other word.
int TranslateCommand(const char *word);
// Queues one reply and logs it. -1 (nothing queued or logged) while another
// reply waits, or when the text does not fit the buffer.
int SendFTPstring(Request *pReq, const char *text);
// Sends what the socket takes of the queued reply; once all of it is gone
// the buffer is made ready for the next command (what follows a sent reply
// is up to the caller). 0 to go on (sent, partly sent, or would block), -1
// when the connection is broken.
int OnWriteCmnd(Request *pReq);
// A block of kReplyBlockSize bytes for a long reply, lent by the server's
// pool; null when out of memory.
char *BorrowReplyBlock(Request *pReq);
// Queues the n bytes of a borrowed block as the reply (lines ending in
// CR LF already); the block goes back once the reply is out, or with the
// session. -1 (the block given back) when a reply is queued already.
int SendLongReply(Request *pReq, char *block, size_t n);
// Gives back the block of a long reply, sent or not.
void DropLongReply(Request *pReq);
// Empties the buffer for the next command; commands the client sent early
// are moved into it.
void RecvFTPstring(Request *pReq);
// True when the buffer holds a whole line (or a full one without an end)
// that no receive is needed for: the next pipelined command.
bool CommandLineWaits(const Request *pReq);
// True when the text, with its line ends as sent, fits the one reply the
// buffer holds.
bool ReplyFits(const char *text);

// Lends the session a zeroed CommandSpace from the server's pool when it
// holds none; false when out of memory.
bool HoldCommandSpace(Request *pReq);
// Gives the space back when the session waits for its next command with
// nothing received, queued or pending; keeps it otherwise.
void ReturnIdleCommandSpace(Request *pReq);
// Gives the space back whatever it holds (the session ends).
void DropCommandSpace(Request *pReq);

// Whether the command connection is to be written or read: 0 = yes,
// -1 = no.
int IfCmndSend(Request *pReq);
int IfCmndRecv(Request *pReq);  // sets cmnd.state to receiving when yes
