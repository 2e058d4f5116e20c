#include "combined_log.h"

#include <cinttypes>
#include <cstring>
#include <ctime>

#include "http_server.h"

namespace {

const char kCombinedLine[] =
    "%s - %s [%s] \"%s\" %d %" PRIu64 " \"%s\" \"%s\"\n";
const char kDateFormat[] = "%d/%b/%Y:%H:%M:%S +0000";
const char kNone[] = "-";
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

void WriteCombinedLine(FILE *out, const Connection *c) {
  // Every field a peer chose may take four bytes per byte it sent (the
  // parse cuts the request line below 1024 bytes, the others below 512).
  const ParsedRequest &r = c->request;
  char request[4 * 1024], referer[4 * 512], agent[4 * 512];
  char user[4 * sizeof r.credentials];
  CombinedEscape(request, sizeof request, r.line, r.lineLength);
  CombinedEscape(referer, sizeof referer, r.referer, r.refererLength);
  CombinedEscape(agent, sizeof agent, r.agent, r.agentLength);
  // The user name as sent with Basic credentials, whether it passed or
  // not; it is no quoted field, so a blank in it is escaped too.
  const char *name = c->request.passwordOffset != 0 ? c->request.credentials : "";
  CombinedEscape(user, sizeof user, name, strlen(name), true);
  char date[40];
  struct tm tm;
  time_t t = r.startTime;
  if (!gmtime_r(&t, &tm) || strftime(date, sizeof date, kDateFormat, &tm) == 0)
    snprintf(date, sizeof date, "01/Jan/1970:00:00:00 +0000");
  fprintf(out, kCombinedLine, c->clientAddress, user[0] ? user : kNone, date,
          request[0] ? request : kNone, c->output.status, c->output.bytesSent,
          referer[0] ? referer : kNone, agent[0] ? agent : kNone);
}
