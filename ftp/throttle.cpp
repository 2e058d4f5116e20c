#include "throttle.h"

// Every reading of the clock the throttle makes comes from here, so that
// the moment the loop is told to wake and the moment the gate opens agree.
static void Clock(struct timespec *ts) { clock_gettime(CLOCK_REALTIME, ts); }

static time_t Now() {
  struct timespec ts;
  Clock(&ts);
  return ts.tv_sec;
}

// A window ends with the first operation in a later second. A clock set
// back also ends it: waiting for the old second to come round again could
// stall every throttled transfer for as long as the clock was moved.
static bool WindowOver(const Server *pConfig, time_t now) {
  return now != pConfig->bandwidthStart;
}

bool Throttled(const Request *pReq) {
  return pReq->pConfig->maxBandwidth != 0 && pReq->login.fullBandwidth == '0';
}

int ThrottleGate(Server *pConfig, uint64_t count, time_t now) {
  if (pConfig->bandwidthBytes < pConfig->maxBandwidth)
    pConfig->bandwidthBytes += count;
  if (WindowOver(pConfig, now)) {
    // The operation that opens a window is not counted in it.
    pConfig->bandwidthBytes = 0;
    pConfig->bandwidthStart = now;
    return 0;
  }
  return pConfig->bandwidthBytes >= pConfig->maxBandwidth ? -1 : 0;
}

int Throttle(Request *pReq, uint64_t count) {
  return ThrottleGate(pReq->pConfig, count, Now());
}

bool ThrottleWaits(const Request *pReq) {
  const Server *pConfig = pReq->pConfig;
  return Throttled(pReq) && pConfig->bandwidthBytes >= pConfig->maxBandwidth &&
         !WindowOver(pConfig, Now());
}

void ThrottleTimeout(const Server *pConfig, struct timeval *timeout) {
  if (pConfig->maxBandwidth == 0 ||
      pConfig->bandwidthBytes < pConfig->maxBandwidth)
    return;
  struct timespec ts;
  Clock(&ts);
  // One millisecond past the turn of the second, so that the gate finds
  // the new second when the loop wakes.
  int64_t wait = 1000;
  if (!WindowOver(pConfig, ts.tv_sec))
    wait += 1000000 - ts.tv_nsec / 1000;
  int64_t current = (int64_t)timeout->tv_sec * 1000000 + timeout->tv_usec;
  if (wait >= current) return;
  timeout->tv_sec = (time_t)(wait / 1000000);
  timeout->tv_usec = (suseconds_t)(wait % 1000000);
}
