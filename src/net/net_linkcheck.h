// The link checker: pages queue their web links; worker threads fetch each distinct
// address once per run (many transfers at once each), classify the answers and keep
// them in a URL cache that the build driver reads. Good answers of earlier runs, kept in
// a file (see net_linkstore.h), stand for a fetch while they are young enough.
#pragma once

#include "base/base_strings.h"
#include "os/os_thread.h"

//~ Types

enum LinkVerdict : u32 {
  LinkVerdict_None = 0,        // answered 200-299: nothing to say
  LinkVerdict_Redirected = 2,  // the answer came from another address
  LinkVerdict_Broken = 3,      // 400-599 (after retries), or no valid status
  LinkVerdict_Noted = 4,       // another status, at the same address
  LinkVerdict_Unchecked = 5,   // not fetched, for a reason the message gives
  LinkVerdict_Excluded = 6,    // not fetched: the user's exclude patterns match it
};

// What a permanent redirect (301, 308) that ends in a good answer is.
enum LinkRedirects : u32 {
  LinkRedirects_Ok = 0,     // nothing to say
  LinkRedirects_Warn = 1,   // reported as redirected
  LinkRedirects_Error = 2,  // broken: the link should be updated
};

// What a link asks of its answer's body (LinkCheckRecord.tag): nothing, its previews,
// or its ids, for the fragments of the links to it (web links with a "#name").
enum LinkBody : u32 {
  LinkBody_Preview = 1,
  LinkBody_Ids = 2,
};

// What is queued.
struct LinkCheckRecord {
  StrView url;
  StrView location;  // "%S:%I64d:%I64d": file, line, column
  u32 kind;
  u32 tag;  // LinkBody, kept in the cache entry
};

// The facts of an answer, for reports: the status (0 when none came), the time the
// fetch took, where it ended and the library's words for a failure.
struct LinkAnswer {
  u32 verdict;  // LinkVerdict
  u32 status;
  u64 duration_ms;
  StrView final_url;
  StrView reason;
  u32 cached;  // taken from an earlier run's answer: no request was sent
};

struct UrlCacheEntry {
  UrlCacheEntry *next;
  StrView url;  // for LinkBody_Ids, without its "#" part: one fetch serves every fragment
  u32 tag;
  void *preview;  // what the preview callback made of the body; the body itself is not kept
  struct HtmlIdSet *ids;  // LinkBody_Ids: the ids of an HTML answer, read as it arrived
  u32 done;     // set (release) once the fetch has ended and the fields above hold its answer
  u32 verdict;  // LinkVerdict
  StrView message;
  LinkAnswer answer;
  u32 permanent;   // a permanent redirect was followed on the way
  u64 checked_s;   // when the fetch ended (seconds since 1970); zero: not fetched this run
  u32 stored;      // written to the file of answers (the driver's thread only)
};

#define LINK_CHECK_RING_SIZE 0x80000
// A longer address is reported unchecked: no server takes it, and it must fit the ring.
#define LINK_CHECK_URL_MAX KB(64)
// Exclude patterns are matched against addresses up to this long only (a longer one is
// never excluded), so that no pattern costs more than a bounded time per link.
#define LINK_CHECK_EXCLUDE_INPUT_MAX KB(4)
#define LINK_CHECK_EXCLUDE_PATTERN_MAX 1024
#define LINK_CHECK_ACCEPT_MAX 32
#define URL_CACHE_SLOTS 4096

// Cuts what a page's previews need out of a fetched body, onto `arena` (which lives as
// long as the checker); runs on a worker thread as each body arrives, so that bodies are
// released at once. Null: nothing.
typedef void *LinkPreviewFn(Arena *arena, void *user, StrView url, StrView body);

struct LinkCheckSettings {
  StrView consent_url;  // empty: the built-in address; "off": no consent request
  StrView ca_file;      // certificates to trust instead of the system's
  u64 timeout_s;        // a whole request; zero: 30
  u32 retries;          // further attempts after a time-out, a reset, a 429 or a 5xx
  StrList exclude;      // POSIX extended patterns, each matched against the whole address
  StrView accept;       // status ranges that count as good ("200-299,403"); empty: 200-299
  u32 redirects;        // LinkRedirects
  u64 host_rate;        // requests a second to one host, at most; zero: no limit
  LinkPreviewFn *preview;
  void *preview_user;
  StrView cache_path;  // the file of answers kept between runs; empty: none
  u64 cache_age_s;     // a good answer this old or younger is taken without a request
};

// One run's link checker; the driver holds it and hands it to every call.
struct LinkChecker {
  Arena *arena;
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
  u32 retries;
  u32 redirects;
  u64 host_interval_us;  // between two requests of one worker to one host; zero: none
  u32 accept[LINK_CHECK_ACCEPT_MAX][2];  // first and last status of each good range
  u64 accept_count;
  struct LinkExclude *excludes;
  u64 exclude_count;
  LinkPreviewFn *preview;
  void *preview_user;
  //- answers of earlier runs; read at the start, written by the driver's thread only
  struct LinkStore *store;
  StrView ca_file;  // a kept answer stands only when checked with the same certificates
  //- progress
  u64 in_progress;
  //- the consent request, sent before the first link to the host it serves
  StrView consent_url;   // empty: none is sent
  StrView consent_host;  // the host whose links wait for it
  MutexRecord *consent_mutex;
  u32 consent_sent;
};

//~ Functions

// Whether `accept` is a valid list of status ranges; fills at most `max` ranges.
bool linkcheck_parse_accept(StrView accept, u32 (*ranges)[2], u64 max, u64 *count);
// Sets up the queue, the cache and the workers. A pattern or status list that cannot be
// read is said on standard error and left out. The consent request waits for the first
// link to the host it serves; its failure is said on standard error and checks go on.
// Each call makes a checker of its own; the certificates file is process-wide (see
// http_configure). Null, said on standard error, when the HTTP library cannot be loaded.
LinkChecker *linkcheck_start(LinkCheckSettings settings);
// Copies the record into the queue, waiting while it lacks room; false when the deadline
// passes first (DEADLINE_NONE waits), or when the record can never fit.
bool linkcheck_enqueue_record(LinkChecker *checker, LinkCheckRecord *record, u64 deadline_us);

//- what the build driver asks; a null checker (none running) has nothing queued or answered
// `body` (LinkBody) is what the link was queued with: every question about a link names it.
u64 linkcheck_in_progress(LinkChecker *checker);
// Queues a web address for checking; false when the link checker is not running. An
// address that cannot be fetched is answered at once as unchecked, with the reason.
// With LinkBody_Preview its answer's body is read and handed to the preview callback;
// with LinkBody_Ids the ids of an HTML answer are kept (the body is not).
bool linkcheck_enqueue(LinkChecker *checker, StrView url, StrView location, u32 body = 0);
// True once the fetch of this exact address text has ended.
bool linkcheck_fetch_ended(LinkChecker *checker, StrView url, u32 body = 0);
// The answer for an address whose fetch has ended: its verdict, ready-made message and
// preview (LinkVerdict_None, empty and null for a good answer or an address not fetched).
u32 linkcheck_verdict(LinkChecker *checker, StrView url, StrView *message, void **preview, u32 body = 0);
StrView linkcheck_verdict_name(u32 verdict);
// The facts of the answer for an address whose fetch has ended; false (and nothing
// filled) when it has not.
bool linkcheck_answer(LinkChecker *checker, StrView url, LinkAnswer *answer, u32 body = 0);
// Whether the fragment (without its "#") names an id of the page an address queued with
// LinkBody_Ids answered with; true when that cannot be told (no HTML page came, or
// the fetch has not ended).
bool linkcheck_fragment_found(LinkChecker *checker, StrView url, StrView fragment);
// The address as a browser sends it: blanks at its ends and tabs and line breaks inside
// dropped, the fragment cut, a backslash before the query read as "/", and spaces,
// controls, non-ASCII bytes and the characters browsers escape percent-encoded.
StrView linkcheck_fetch_address(Arena *arena, StrView url);
// Writes the answers fetched since the last call to the file of answers, in one
// transaction; from the driver's thread, once no fetch is in progress (or at any time:
// fetches still running are written by a later call).
void linkcheck_store_save(LinkChecker *checker);
// Lets go of the file of answers; the checker goes on without it.
void linkcheck_store_close(LinkChecker *checker);
// The host the consent request serves: its own host without a leading "consent.".
StrView linkcheck_consent_host(StrView consent_url);
