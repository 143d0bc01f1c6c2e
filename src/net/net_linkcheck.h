// What the build driver needs of the link checker: start-up, the count of fetches in
// progress, and whether a queued address has been fetched.
#pragma once

#include "base/base_strings.h"

// Starts the HTTP worker threads and sends the start-up request; true when it was answered.
bool linkcheck_start(void);
bool linkcheck_connected(void);
u64 linkcheck_in_progress(void);
// Queues a web address for checking; false when the link checker is not running.
bool linkcheck_enqueue(StrView url, StrView location);
// True once the fetch of this exact address text has ended.
bool linkcheck_fetch_ended(StrView url);
