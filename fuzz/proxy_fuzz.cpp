// Feeds arbitrary bytes to the PROXY header parser, whole and cut at every
// point, and checks what the servers rely on: a header is never longer than
// its bound nor claimed from bytes that are not there (its address part),
// and a beginning that was refused or completed is never judged otherwise
// once more bytes come.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "proxy_header.h"

static void Check(bool ok, const char *what) {
  if (!ok) {
    fprintf(stderr, "invariant broken: %s\n", what);
    abort();
  }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  ProxyHeader whole;
  ProxyResult all = ParseProxyHeader(data, size, &whole);
  if (all == ProxyResult::kDone) {
    Check(whole.length <= kProxyV2Head + kProxyV2MaxBody, "length within the bound");
    Check(data[0] != 'P' || (whole.length <= size && whole.length <= kProxyV1Max),
          "text header within the bytes");
  }
  for (size_t n = 0; n < size; n++) {
    ProxyHeader part;
    ProxyResult r = ParseProxyHeader(data, n, &part);
    // Refused stays refused; a finished header is finished the same way.
    if (r == ProxyResult::kBad) Check(all == ProxyResult::kBad, "refusal kept");
    if (r == ProxyResult::kDone) Check(all == r && part.length == whole.length, "done kept");
  }
  return 0;
}
