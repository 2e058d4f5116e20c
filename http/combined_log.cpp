#include "combined_log.h"

#include <cinttypes>
#include <cstring>
#include <ctime>

#include "http_server.h"
#include "string_helpers.h"

namespace {

const char kCombinedLine[] =
    "%s - %s [%s] \"%s\" %d %" PRIu64 " \"%s\" \"%s\"\n";
const char kDateFormat[] = "%d/%b/%Y:%H:%M:%S +0000";
const char kNone[] = "-";
const char kRefererField[] = "\nReferer: ";
const char kAgentField[] = "\nUser-Agent: ";

// The value of a header field up to its line end, or an empty text; a
// value longer than the room is cut (the log line stays bounded).
void KeepField(const char *head, const char *field, char *out, size_t size) {
  out[0] = '\0';
  const char *at = stristr(head, field);
  if (!at) return;
  at += strlen(field);
  size_t n = strcspn(at, "\r\n");
  if (n >= size) n = size - 1;
  memcpy(out, at, n);
  out[n] = '\0';
}

}  // namespace

void CombinedEscape(char *dst, size_t size, const char *src, size_t len,
                    bool escapeBlank) {
  static const char hex[] = "0123456789abcdef";
  if (size == 0) return;
  size_t o = 0;
  for (size_t i = 0; i < len; i++) {
    unsigned char ch = (unsigned char)src[i];
    char piece[4];
    size_t n;
    if (ch == '"' || ch == '\\') {
      piece[0] = '\\';
      piece[1] = (char)ch;
      n = 2;
    } else if (ch < 0x20 || ch > 0x7e || (ch == ' ' && escapeBlank)) {
      piece[0] = '\\';
      piece[1] = 'x';
      piece[2] = hex[ch >> 4];
      piece[3] = hex[ch & 15];
      n = 4;
    } else {
      piece[0] = (char)ch;
      n = 1;
    }
    if (o + n >= size) break;
    memcpy(dst + o, piece, n);
    o += n;
  }
  dst[o] = '\0';
}

void KeepCombinedFields(Connection *c) {
  // The request line as the client sent it, without its line end.
  size_t n = strcspn(c->buffer, "\r\n");
  if (n >= sizeof c->requestLine) n = sizeof c->requestLine - 1;
  memcpy(c->requestLine, c->buffer, n);
  c->requestLine[n] = '\0';
  KeepField(c->buffer, kRefererField, c->referer, sizeof c->referer);
  KeepField(c->buffer, kAgentField, c->agent, sizeof c->agent);
}

void WriteCombinedLine(FILE *out, const Connection *c) {
  // Every field a peer chose may take four bytes per byte it sent.
  static char request[4 * sizeof c->requestLine];
  static char referer[4 * sizeof c->referer], agent[4 * sizeof c->agent];
  static char user[4 * sizeof c->credentials];
  CombinedEscape(request, sizeof request, c->requestLine, strlen(c->requestLine));
  CombinedEscape(referer, sizeof referer, c->referer, strlen(c->referer));
  CombinedEscape(agent, sizeof agent, c->agent, strlen(c->agent));
  // The user name as sent with Basic credentials, whether it passed or
  // not; it is no quoted field, so a blank in it is escaped too.
  const char *name = c->passwordOffset != 0 ? c->credentials : "";
  CombinedEscape(user, sizeof user, name, strlen(name), true);
  char date[40];
  struct tm tm;
  time_t t = c->startTime;
  if (!gmtime_r(&t, &tm) || strftime(date, sizeof date, kDateFormat, &tm) == 0)
    snprintf(date, sizeof date, "01/Jan/1970:00:00:00 +0000");
  fprintf(out, kCombinedLine, c->clientAddress, user[0] ? user : kNone, date,
          request[0] ? request : kNone, c->status, c->bytesSent,
          referer[0] ? referer : kNone, agent[0] ? agent : kNone);
}
