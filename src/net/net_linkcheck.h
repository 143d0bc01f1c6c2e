// The link checker: pages queue their web links; worker threads fetch each distinct
// address once per run (many transfers at once each), classify the answers and keep
// them in a URL cache that the build driver reads.
#pragma once

#include "base/base_strings.h"
#include "os/os_thread.h"

//~ Types

enum LinkVerdict : u32 {
  LinkVerdict_None = 0,        // answered 200-299: nothing to say
  LinkVerdict_Redirected = 2,  // the answer came from another address
  LinkVerdict_Broken = 3,      // 400-499, or no valid status
  LinkVerdict_Noted = 4,       // another status, at the same address
};

// What is queued.
struct LinkCheckRecord {
  StrView url;
  StrView location;  // "%S:%I64d:%I64d": file, line, column
  u32 kind;
  u32 tag;  // kept in the cache entry; non-zero: the body is read and kept
};

struct UrlCacheEntry {
  UrlCacheEntry *next;
  u32 status;
  StrView url;
  u32 tag;
  StrView location;
  u32 claimed;  // set while a worker fetches the address
  StrView body;
  u64 duration_ms;
  u32 done;     // set (release) once the fetch has ended and the fields above hold its answer
  u32 verdict;  // LinkVerdict
  StrView message;
};

struct LinkCheckResult {
  LinkCheckResult *next;
  u32 verdict;
  StrView message;
};

#define LINK_CHECK_RING_SIZE 0x80000
#define URL_CACHE_SLOTS 256

struct LinkCheckSettings {
  StrView consent_url;  // empty: the built-in address; "off": no consent request
  StrView ca_file;      // certificates to trust instead of the system's
};

struct HttpState {
  Arena *arena;
  StrList special_hosts;
  //- request queue
  MutexRecord *queue_mutex;
  CondVarRecord *queue_cv;
  u8 *ring;
  u64 write_pos;
  u64 read_pos;
  //- URL cache
  StripedTable cache;
  //- workers
  ThreadRecord **workers;
  u64 worker_count;
  u64 transfers_per_worker;
  u64 connections_per_host;
  //- consent, progress, results
  u32 consent_answered;
  u64 in_progress;
  MutexRecord *results_mutex;
  LinkCheckResult *first_result;
  LinkCheckResult *last_result;
  u64 result_count;
};

//~ Functions

// Sets up the queue, the cache and the workers, and sends the consent request; once
// per process. True when the checker counts as connected.
bool http_init(LinkCheckSettings settings);
HttpState *http_state(void);
// Copies the record into the queue, waiting while it lacks room; false when the deadline
// passes first (DEADLINE_NONE waits), or when the record can never fit.
bool link_check_enqueue(LinkCheckRecord *record, u64 deadline_us);
void link_check_worker(u64 index);

//- what the build driver asks
bool linkcheck_start(LinkCheckSettings settings);
bool linkcheck_connected(void);
u64 linkcheck_in_progress(void);
// Queues a web address for checking; false when the link checker is not running.
// With `read_body` its answer's body is kept (for previews).
bool linkcheck_enqueue(StrView url, StrView location, u32 read_body = 0);
// True once the fetch of this exact address text has ended.
bool linkcheck_fetch_ended(StrView url);
// The answer for an address whose fetch has ended: its verdict and ready-made message
// (LinkVerdict_None and empty for a good answer or an address not fetched).
u32 linkcheck_verdict(StrView url, StrView *message, StrView *body);
StrView linkcheck_verdict_name(u32 verdict);
