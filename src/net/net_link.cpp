// Links: whether a resolved local target exists on disk.
#include "net/net_link.h"

#include "os/os_core.h"

bool
link_target_exists(StrView resolved) {
  return resolved.length && os_path_exists(resolved);
}
