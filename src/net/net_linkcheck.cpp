// The link checker: the request ring, the URL cache, the workers and the consent request.
#include "net/net_linkcheck.h"

#include "base/base_format.h"
#include "net/net_http.h"
#include "site/site_url.h"
#include "os/os_core.h"

// In flight at once, in all; to one host, in all.
#define LINK_CHECK_IN_FLIGHT 64
#define LINK_CHECK_PER_HOST 32

// A record in the ring: the address's length and bytes, the location's length and bytes
// (each padded to 8), then its kind and tag; the smallest has both texts empty.
#define LINK_CHECK_RECORD_MIN (8 + 8 + 8)

//~ Request ring

static u64
linkcheck_padded(u64 n) {
  return (n + 7) & ~(u64)7;
}

static u64
linkcheck_record_size(LinkCheckRecord *r) {
  return 8 + linkcheck_padded(r->url.length) + 8 + linkcheck_padded(r->location.length) + 8;
}
static_assert(LINK_CHECK_RECORD_MIN == 24, "two empty texts and the tail");

static u64
linkcheck_put_text(LinkChecker *s, u64 pos, StrView text) {
  u64 n = text.length;
  pos += ring_write(s->ring, LINK_CHECK_RING_SIZE, pos, &n, 8);
  ring_write(s->ring, LINK_CHECK_RING_SIZE, pos, text.data, n);
  return pos + linkcheck_padded(n);
}

static u64
linkcheck_get_text(LinkChecker *s, Arena *arena, u64 pos, StrView *out) {
  u64 n = 0;
  pos += ring_read(s->ring, LINK_CHECK_RING_SIZE, pos, &n, 8);
  u8 *data = push_array_no_zero(arena, u8, n + 1);
  ring_read(s->ring, LINK_CHECK_RING_SIZE, pos, data, n);
  data[n] = 0;
  *out = str_make(data, n);
  return pos + linkcheck_padded(n);
}

bool
linkcheck_enqueue_record(LinkChecker *s, LinkCheckRecord *record, u64 deadline_us) {
  if (!s) return false;
  u64 size = linkcheck_record_size(record);
  if (size > LINK_CHECK_RING_SIZE) return false;  // could never fit: no address is that long
  mutex_lock(s->queue_mutex);
  while (LINK_CHECK_RING_SIZE - (s->write_pos - s->read_pos) < size) {
    if (!condvar_wait_mutex(s->queue_cv, s->queue_mutex, deadline_us)) {
      mutex_unlock(s->queue_mutex);
      return false;
    }
  }
  u64 pos = s->write_pos;
  pos = linkcheck_put_text(s, pos, record->url);
  pos = linkcheck_put_text(s, pos, record->location);
  u32 tail[2] = {record->kind, record->tag};
  pos += ring_write(s->ring, LINK_CHECK_RING_SIZE, pos, tail, 8);
  s->write_pos = pos;
  condvar_wake_all(s->queue_cv);
  mutex_unlock(s->queue_mutex);
  return true;
}

// Takes one record; false when none came before the deadline. A record taken counts as
// in progress until it is handled.
static bool
linkcheck_take(LinkChecker *s, Arena *arena, LinkCheckRecord *out, u64 deadline_us) {
  mutex_lock(s->queue_mutex);
  while (s->write_pos - s->read_pos < LINK_CHECK_RECORD_MIN) {
    if (!condvar_wait_mutex(s->queue_cv, s->queue_mutex, deadline_us)) {
      mutex_unlock(s->queue_mutex);
      return false;
    }
  }
  u64 pos = s->read_pos;
  pos = linkcheck_get_text(s, arena, pos, &out->url);
  pos = linkcheck_get_text(s, arena, pos, &out->location);
  u32 tail[2] = {};
  pos += ring_read(s->ring, LINK_CHECK_RING_SIZE, pos, tail, 8);
  out->kind = tail[0];
  out->tag = tail[1];
  s->read_pos = pos;
  __atomic_add_fetch(&s->in_progress, 1, __ATOMIC_ACQ_REL);
  condvar_wake_all(s->queue_cv);
  mutex_unlock(s->queue_mutex);
  return true;
}

//~ URL cache

static UrlCacheEntry *
linkcheck_cache_find(StripedSlot *slot, StrView url) {
  for (UrlCacheEntry *e = (UrlCacheEntry *)slot->first; e; e = e->next) {
    if (str_equal(e->url, url)) return e;
  }
  return 0;
}

// The entry this worker fetches, or nil when the address is (or was) fetched already:
// every distinct address is fetched once per run.
static UrlCacheEntry *
linkcheck_cache_claim(LinkChecker *s, LinkCheckRecord *r) {
  u64 hash = str_hash_djb2(r->url);
  StripedSlot *slot = striped_table_slot(&s->cache, hash);
  Stripe *stripe = striped_table_stripe(&s->cache, hash);
  rwlock_lock_shared(stripe->rwlock);
  UrlCacheEntry *found = linkcheck_cache_find(slot, r->url);
  rwlock_unlock_shared(stripe->rwlock);
  if (found) return 0;
  rwlock_lock_exclusive(stripe->rwlock);
  UrlCacheEntry *e = linkcheck_cache_find(slot, r->url);
  if (e) {
    e = 0;  // another record made it meanwhile
  } else {
    e = push_struct(stripe->arena, UrlCacheEntry);
    e->url = str_push_copy(stripe->arena, r->url);
    e->tag = r->tag;
    e->next = (UrlCacheEntry *)slot->first;
    slot->first = e;
  }
  rwlock_unlock_exclusive(stripe->rwlock);
  return e;
}

// The message and verdict of an answer, as the page reports show them.
static void
linkcheck_classify(Arena *arena, HttpResponse *r, u32 *verdict_out, StrView *message_out) {
  UrlParts asked = url_parse(r->url);
  UrlParts final = url_parse(r->final_url.length ? r->final_url : r->url);
  u32 verdict = url_same(&asked, &final) ? LinkVerdict_Noted : LinkVerdict_Redirected;
  u32 status = http_parse_status_line(r->headers).status;
  if (status >= 200 && status <= 299) verdict = LinkVerdict_None;
  else if ((status >= 400 && status <= 499) || status < 100 || status > 599) verdict = LinkVerdict_Broken;
  StrView message = {};
  if (verdict != LinkVerdict_None) {
    StrView error = http_error_message(r->error);
    // A failure without words of its own says what the library saw.
    if (!error.length && r->error) error = r->reason;
    message = str_pushf(arena, "url: %S \n\tstatus_code: %lu", &r->url, (unsigned long)status);
    if (r->duration_ms) message = str_pushf(arena, "%S\n\ttimestamp: %llums", &message, (unsigned long long)r->duration_ms);
    if (error.length) message = str_pushf(arena, "%S\n\t%S", &message, &error);
    if (verdict == LinkVerdict_Redirected) message = str_pushf(arena, "%S\n\tredirect:  %S", &message, &r->final_url);
  }
  *verdict_out = verdict;
  *message_out = message;
}

static void
linkcheck_finish(LinkChecker *s, UrlCacheEntry *e, HttpResponse *r) {
  u64 hash = str_hash_djb2(e->url);
  Stripe *stripe = striped_table_stripe(&s->cache, hash);
  ArenaTemp scratch = scratch_begin(0, 0);
  u32 verdict = 0;
  StrView message = {};
  linkcheck_classify(scratch.arena, r, &verdict, &message);

  rwlock_lock_exclusive(stripe->rwlock);
  e->body = verdict == LinkVerdict_Broken ? StrView{} : str_push_copy(stripe->arena, r->body);
  e->verdict = verdict;
  e->message = str_push_copy(stripe->arena, message);
  e->answer.verdict = verdict;
  e->answer.status = http_parse_status_line(r->headers).status;
  e->answer.duration_ms = r->duration_ms;
  e->answer.final_url = str_push_copy(stripe->arena, r->final_url);
  StrView reason = http_error_message(r->error);
  if (!reason.length && r->error) reason = r->reason;
  e->answer.reason = str_push_copy(stripe->arena, reason);
  rwlock_unlock_exclusive(stripe->rwlock);
  __atomic_store_n(&e->done, 1, __ATOMIC_RELEASE);
  scratch_end(scratch);
  __atomic_sub_fetch(&s->in_progress, 1, __ATOMIC_ACQ_REL);
}

//~ Workers

// What a transfer carries back to its worker.
struct LinkCheckFetch {
  LinkCheckFetch *next;
  UrlCacheEntry *entry;
};

// A worker's thread parameter points at one of these.
struct LinkCheckWorker {
  LinkChecker *checker;
  u64 index;
};

static void
linkcheck_worker(u64 parameter) {
  LinkCheckWorker *w = (LinkCheckWorker *)parameter;
  LinkChecker *s = w->checker;
  thread_set_name("[HTTP] Request #%I64u", w->index);
  Arena *arena = arena_create_sized(MB(64), KB(64));
  HttpBatch *batch = http_batch_create(arena, s->transfers_per_worker, s->connections_per_host);
  LinkCheckFetch *free_fetches = 0;
  ThreadContext *ctx = thread_context_get();
  for (;;) {
    //- take records while there is room; wait only when nothing is in flight
    while (http_batch_has_room(batch)) {
      u64 deadline = http_batch_in_flight(batch) ? os_now_micros() : DEADLINE_NONE;
      u64 mark = arena_pos(ctx->scratch[0]);
      LinkCheckRecord rec = {};
      if (!linkcheck_take(s, ctx->scratch[0], &rec, deadline)) break;
      UrlCacheEntry *e = linkcheck_cache_claim(s, &rec);
      if (!e) {
        arena_pop_to(ctx->scratch[0], mark);
        __atomic_sub_fetch(&s->in_progress, 1, __ATOMIC_ACQ_REL);
        continue;
      }
      LinkCheckFetch *f = free_fetches;
      if (f) free_fetches = f->next;
      else f = push_struct(arena, LinkCheckFetch);
      f->entry = e;
      HttpRequest request = {};
      request.method = HttpMethod_Get;
      request.read_body = e->tag;
      http_batch_add(batch, rec.url, StrView{}, request, f);
      arena_pop_to(ctx->scratch[0], mark);
    }
    //- answers, as they come
    if (http_batch_in_flight(batch)) {
      u64 mark = arena_pos(ctx->scratch[0]);
      HttpResponse r = {};
      void *user = 0;
      while (http_batch_next(batch, ctx->scratch[0], 20, &r, &user)) {
        LinkCheckFetch *f = (LinkCheckFetch *)user;
        linkcheck_finish(s, f->entry, &r);
        f->next = free_fetches;
        free_fetches = f;
        arena_pop_to(ctx->scratch[0], mark);
      }
      arena_pop_to(ctx->scratch[0], mark);
    }
  }
}

//~ Start-up and the consent request

static StrView
linkcheck_percent_encode(Arena *arena, StrView text) {
  static const char hex[] = "0123456789ABCDEF";
  u8 *out = push_array_no_zero(arena, u8, text.length * 3 + 1);
  u64 w = 0;
  for (u64 i = 0; i < text.length; i += 1) {
    u8 c = text.data[i];
    bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
                 c == '.' || c == '~';
    if (plain) {
      out[w++] = c;
    } else {
      out[w++] = '%';
      out[w++] = hex[c >> 4];
      out[w++] = hex[c & 15];
    }
  }
  return str_make(out, w);
}

// The consent request; true when it got an answer (with the reason when not).
static bool
linkcheck_consent(Arena *arena, StrView url, StrView *reason) {
  UrlParts parts = url_parse(url);
  StrView scheme = parts.scheme.length ? parts.scheme : str_lit("https://");
  StrView host = parts.port.length ? str_pushf(arena, "%S:%S", &parts.host, &parts.port) : parts.host;
  StrView origin = str_pushf(arena, "%S%S", &scheme, &host);
  StrView video = linkcheck_percent_encode(arena, str_lit("https://www.youtube.com/watch?v=jNQXAC9IVRw"));
  StrView body = str_pushf(arena,
                           "gl=FR&m=0&app=0&pc=yt&continue=%S&x=6&bl=boq_identityfrontenduiserver_20240910.08_p1"
                           "&hl=en&src=1&cm=2&set_eom=true",
                           &video);
  HttpRequest request = {};
  request.method = HttpMethod_Post;
  request.plain_http = 1;
  request.read_body = 0;
  request.accept = str_lit("text/html,application/xhtml+xml,application/xml;q=0.9,image/avif,image/webp,*/*;q=0.8");
  request.extra_headers = str_pushf(arena,
                                    "Host: %S\r\nAccept-Language: en-US,en;q=0.5\r\nAccept-Encoding: identity\r\n"
                                    "Referer: %S/\r\nContent-Type: application/x-www-form-urlencoded\r\nOrigin: %S\r\n"
                                    "DNT: 1\r\nSec-GPC: 1\r\nConnection: keep-alive\r\nUpgrade-Insecure-Requests: 1\r\n"
                                    "Sec-Fetch-Dest: document\r\nSec-Fetch-Mode: navigate\r\nSec-Fetch-Site: none\r\n"
                                    "Sec-Fetch-User: ?1\r\nPriority: u=0, i\r\nPragma: no-cache\r\n"
                                    "Cache-Control: no-cache\r\nTE: trailers",
                                    &host, &origin, &origin);
  HttpResponse r = http_request(arena, url, body, request);
  if (http_parse_status_line(r.headers).status != 0) return true;
  StrView words = http_error_message(r.error);
  *reason = r.reason.length ? r.reason : words.length ? words : str_lit("no HTTP answer");
  return false;
}

LinkChecker *
linkcheck_start(LinkCheckSettings settings) {
  // libcurl and its TLS library cost milliseconds to set up: only a run that checks
  // links pays for them.
  http_global_init();
  http_configure(HttpSettings{settings.ca_file});

  //- the consent request comes first: without its answer no checker is made
  if (!str_equal(settings.consent_url, str_lit("off"))) {
    StrView url = settings.consent_url.length ? settings.consent_url : str_lit("https://consent.youtube.com/save");
    ArenaTemp scratch = scratch_begin(0, 0);
    StrView reason = {};
    bool answered = linkcheck_consent(scratch.arena, url, &reason);
    if (!answered) {
      console_eprintf("qilsite: the consent request to %.*s got no answer (%.*s): URL checks are off\n",
                      str_expand(url), str_expand(reason));
    }
    scratch_end(scratch);
    if (!answered) return 0;
  }

  Arena *arena = arena_create_sized(MB(64), KB(64));
  LinkChecker *s = push_struct(arena, LinkChecker);
  s->arena = arena;
  s->queue_mutex = mutex_create();
  s->queue_cv = condvar_create();
  s->ring = push_array(arena, u8, LINK_CHECK_RING_SIZE);
  u64 procs = Max(os_process_info()->processor_count, 1);
  s->cache = striped_table_create(arena, URL_CACHE_SLOTS, Min(procs, URL_CACHE_SLOTS), StripeLock_RwLock, GB(1), KB(64));

  //- workers: one fewer than the processors, at least one; each drives many transfers
  s->worker_count = procs > 1 ? procs - 1 : 1;
  s->transfers_per_worker = Max(LINK_CHECK_IN_FLIGHT / s->worker_count, 1);
  s->connections_per_host = Max(LINK_CHECK_PER_HOST / s->worker_count, 1);
  s->workers = push_array(arena, ThreadRecord *, s->worker_count);
  LinkCheckWorker *params = push_array(arena, LinkCheckWorker, s->worker_count);
  for (u64 i = 0; i < s->worker_count; i += 1) {
    params[i] = LinkCheckWorker{s, i};
    s->workers[i] = thread_start((u64)&params[i], linkcheck_worker);
  }
  return s;
}

//~ What the driver asks

u64
linkcheck_in_progress(LinkChecker *s) {
  return s ? __atomic_load_n(&s->in_progress, __ATOMIC_ACQUIRE) : 0;
}

bool
linkcheck_enqueue(LinkChecker *s, StrView url, StrView location, u32 read_body) {
  LinkCheckRecord r = {url, location, 0, read_body ? 1u : 0u};
  return linkcheck_enqueue_record(s, &r, DEADLINE_NONE);
}

static UrlCacheEntry *
linkcheck_entry(LinkChecker *s, StrView url) {
  if (!s) return 0;
  u64 hash = str_hash_djb2(url);
  Stripe *stripe = striped_table_stripe(&s->cache, hash);
  rwlock_lock_shared(stripe->rwlock);
  UrlCacheEntry *e = linkcheck_cache_find(striped_table_slot(&s->cache, hash), url);
  rwlock_unlock_shared(stripe->rwlock);
  return e;
}

bool
linkcheck_fetch_ended(LinkChecker *s, StrView url) {
  UrlCacheEntry *e = linkcheck_entry(s, url);
  return e && __atomic_load_n(&e->done, __ATOMIC_ACQUIRE);
}

u32
linkcheck_verdict(LinkChecker *s, StrView url, StrView *message, StrView *body) {
  UrlCacheEntry *e = linkcheck_entry(s, url);
  if (!e || !__atomic_load_n(&e->done, __ATOMIC_ACQUIRE)) return LinkVerdict_None;
  // Written once before `done`; never changed after.
  if (message) *message = e->message;
  if (body) *body = e->body;
  return e->verdict;
}

bool
linkcheck_answer(LinkChecker *s, StrView url, LinkAnswer *answer) {
  UrlCacheEntry *e = linkcheck_entry(s, url);
  if (!e || !__atomic_load_n(&e->done, __ATOMIC_ACQUIRE)) return false;
  *answer = e->answer;
  return true;
}

StrView
linkcheck_verdict_name(u32 verdict) {
  switch (verdict) {
    case LinkVerdict_Redirected: return str_lit("redirected");
    case LinkVerdict_Broken: return str_lit("broken");
    case LinkVerdict_Noted: return str_lit("noted");
    default: return StrView{};
  }
}
