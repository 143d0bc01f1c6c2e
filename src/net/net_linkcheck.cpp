// Link checker front. Until the HTTP client exists there is no connection, so the
// driver runs with URL checking switched off, as it does on a machine without network.
#include "net/net_linkcheck.h"

bool
linkcheck_start(void) {
  return false;
}

bool
linkcheck_connected(void) {
  return false;
}

u64
linkcheck_in_progress(void) {
  return 0;
}

bool
linkcheck_fetch_ended(StrView) {
  return false;
}

bool
linkcheck_enqueue(StrView, StrView) {
  return false;
}
