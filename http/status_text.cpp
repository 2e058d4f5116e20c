#include "status_text.h"

namespace {

struct StatusLine {
  int code;
  const char *text;
};

// The codes the server knows and their texts, in lookup order.
const StatusLine kStatusText[] = {
    {200, "200 Ok"},
    {301, "301 Moved Permanently"},
    {201, "201 Created"},
    {204, "204 No Content"},
    {500, "500 Internal Error"},
    {501, "501 Not Implemented"},
    {400, "400 Bad Request"},
    {401, "401 Unauthorized"},
    {403, "403 Forbidden"},
    {404, "404 Not Found"},
    {405, "405 Method Not Allowed"},
    {409, "409 Conflict"},
    {414, "414 Request-url Too Long"},
    {416, "416 Requested Range Not Satisfiabl"},
    {206, "206 Partial Content"},
    {408, "408 Request Timeout"},
    {411, "411 Length Required"},
    {413, "413 Content Too Large"},
    {431, "431 Request Header Fields Too Large"},
    {505, "505 HTTP Version Not Supported"},
};

}  // namespace

const char *StatusText(int status) {
  for (const StatusLine &line : kStatusText)
    if (line.code == status) return line.text;
  return nullptr;
}
