// The link checker: the request ring, the URL cache, the workers and the consent request.
#include "net/net_linkcheck.h"

#include <regex.h>

#include "base/base_format.h"
#include "html/html_core.h"
#include "net/net_http.h"
#include "net/net_linkstore.h"
#include "site/site_url.h"
#include "os/os_core.h"

// In flight at once, in all; to one host, in all.
#define LINK_CHECK_IN_FLIGHT 64
#define LINK_CHECK_PER_HOST 32
// Retries wait 0.5 s, then 1 s, 2 s ... (each times 0.5 to 1.5 at random, so that many
// links of one host do not come back at once); a Retry-After is honoured up to the cap,
// and a longer one is not waited for: the answer stands.
#define LINK_CHECK_RETRY_BASE_MS 500
#define LINK_CHECK_RETRY_AFTER_MAX_S 10
// The hosts whose request times a worker remembers for host_rate=; a host pushed out
// (the longest idle one) starts afresh.
#define LINK_CHECK_RATE_SLOTS 1024
#define LINK_CHECK_RATE_PROBES 8

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

// A link that asks for ids is one fetch for every fragment of its address: its entry is
// the address without the "#" part, apart from the entry of a link that does not ask.
static StrView
linkcheck_key(StrView url, u32 tag) {
  return tag & LinkBody_Ids ? str_prefix(url, str_find(url, 0, str_lit("#"), 0)) : url;
}

static UrlCacheEntry *
linkcheck_cache_find(StripedSlot *slot, StrView url, u32 tag) {
  for (UrlCacheEntry *e = (UrlCacheEntry *)slot->first; e; e = e->next) {
    if (str_equal(e->url, url) && (e->tag & LinkBody_Ids) == (tag & LinkBody_Ids)) return e;
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
  UrlCacheEntry *found = linkcheck_cache_find(slot, r->url, r->tag);
  rwlock_unlock_shared(stripe->rwlock);
  if (found) return 0;
  rwlock_lock_exclusive(stripe->rwlock);
  UrlCacheEntry *e = linkcheck_cache_find(slot, r->url, r->tag);
  if (e) {
    e = 0;  // another record made it meanwhile
  } else {
    e = push_struct(stripe_arena(stripe), UrlCacheEntry);
    e->url = str_push_copy(stripe_arena(stripe), r->url);
    e->tag = r->tag;
    e->next = (UrlCacheEntry *)slot->first;
    slot->first = e;
  }
  rwlock_unlock_exclusive(stripe->rwlock);
  return e;
}

// An address answered without a fetch: its entry is made done, unless one exists.
static void
linkcheck_cache_answer(LinkChecker *s, StrView url, u32 tag, u32 verdict, StrView message,
                       const LinkAnswer *answer = 0) {
  u64 hash = str_hash_djb2(url);
  StripedSlot *slot = striped_table_slot(&s->cache, hash);
  Stripe *stripe = striped_table_stripe(&s->cache, hash);
  rwlock_lock_exclusive(stripe->rwlock);
  if (!linkcheck_cache_find(slot, url, tag)) {
    UrlCacheEntry *e = push_struct(stripe_arena(stripe), UrlCacheEntry);
    e->url = str_push_copy(stripe_arena(stripe), url);
    e->tag = tag;
    e->verdict = verdict;
    e->message = str_push_copy(stripe_arena(stripe), message);
    if (answer) {
      e->answer = *answer;
      e->answer.final_url = str_push_copy(stripe_arena(stripe), answer->final_url);
    }
    e->done = 1;
    e->next = (UrlCacheEntry *)slot->first;
    slot->first = e;
  }
  rwlock_unlock_exclusive(stripe->rwlock);
}

// The message and verdict of an answer, as the page reports show them.
static bool
linkcheck_status_accepted(LinkChecker *s, u32 status) {
  if (!s->accept_count) return status >= 200 && status <= 299;
  for (u64 i = 0; i < s->accept_count; i += 1) {
    if (status >= s->accept[i][0] && status <= s->accept[i][1]) return true;
  }
  return false;
}

// Whether the answer came from another address than the one asked.
static bool
linkcheck_moved(StrView url, StrView final_url) {
  UrlParts asked = url_parse(url);
  UrlParts final = url_parse(final_url.length ? final_url : url);
  return !url_same(&asked, &final);
}

// The verdict on an answer's facts under this run's settings; `permanent` says whether
// a permanent redirect made it what it is.
static u32
linkcheck_verdict_of(LinkChecker *s, u32 status, bool moved, bool permanent_redirect, bool *permanent) {
  *permanent = false;
  if (status && linkcheck_status_accepted(s, status)) {
    //- a permanent redirect to a good answer: the link should say where it ends
    if (!permanent_redirect || s->redirects == LinkRedirects_Ok) return LinkVerdict_None;
    *permanent = true;
    return s->redirects == LinkRedirects_Error ? LinkVerdict_Broken : LinkVerdict_Redirected;
  }
  if ((status >= 400 && status <= 599) || status < 100 || status > 599) return LinkVerdict_Broken;
  return moved ? LinkVerdict_Redirected : LinkVerdict_Noted;
}

static void
linkcheck_classify(LinkChecker *s, Arena *arena, HttpResponse *r, u32 attempts, u32 *verdict_out, StrView *message_out) {
  bool moved = linkcheck_moved(r->url, r->final_url);
  u32 status = http_parse_status_line(r->headers).status;
  bool permanent = false;
  u32 verdict = linkcheck_verdict_of(s, status, moved, r->permanent_redirect != 0, &permanent);
  StrView message = {};
  if (verdict != LinkVerdict_None) {
    StrView error = r->reason.length ? r->reason : http_error_message(r->error);
    message = str_pushf(arena, "url: %S \n\tstatus_code: %lu", &r->url, (unsigned long)status);
    if (r->duration_ms) message = str_pushf(arena, "%S\n\ttimestamp: %llums", &message, (unsigned long long)r->duration_ms);
    if (error.length) message = str_pushf(arena, "%S\n\t%S", &message, &error);
    if (attempts > 1) message = str_pushf(arena, "%S\n\tattempts: %lu", &message, (unsigned long)attempts);
    if (r->retry_after_s > LINK_CHECK_RETRY_AFTER_MAX_S && verdict == LinkVerdict_Broken) {
      message = str_pushf(arena, "%S\n\tretry after %llu s asked, more than the %d s a link waits", &message,
                          (unsigned long long)r->retry_after_s, LINK_CHECK_RETRY_AFTER_MAX_S);
    }
    if (permanent) message = str_pushf(arena, "%S\n\tmoved permanently: update the link", &message);
    if (moved && r->final_url.length) message = str_pushf(arena, "%S\n\tredirect:  %S", &message, &r->final_url);
  }
  *verdict_out = verdict;
  *message_out = message;
}

// Whether an answer is worth another attempt, and after how long (with jitter).
static bool
linkcheck_retry_wait(HttpResponse *r, u32 attempt, u64 *rng, u64 *wait_ms) {
  u32 status = http_parse_status_line(r->headers).status;
  bool transient = status == 429 || (status >= 500 && status <= 599) || r->error == HttpError_Timeout ||
                   str_equal(r->reason, str_lit("connection reset")) ||
                   str_equal(r->reason, str_lit("connection closed without an answer"));
  if (!transient || r->retry_after_s > LINK_CHECK_RETRY_AFTER_MAX_S) return false;
  *rng ^= *rng << 13;
  *rng ^= *rng >> 7;
  *rng ^= *rng << 17;
  u64 base = (u64)LINK_CHECK_RETRY_BASE_MS << Min(attempt, 10u);
  u64 jittered = base / 2 + *rng % (base + 1);
  *wait_ms = Max(jittered, r->retry_after_s * 1000);
  return true;
}

// Whether an answer is a page whose ids mean something: HTML, or a type not said.
static bool
linkcheck_answer_is_html(StrView headers) {
  for (u64 at = 0; at < headers.length;) {
    u64 eol = str_find(headers, at, str_lit("\r\n"), 0);
    StrView line = str_substr(headers, at, eol);
    at = eol + 2;
    StrView name = str_lit("content-type:");
    if (!str_match(name, line, StrMatchFlag_Prefix | StrMatchFlag_CaseInsensitive)) continue;
    return str_find(line, 0, str_lit("html"), StrMatchFlag_CaseInsensitive) < line.length;
  }
  return true;
}

static void
linkcheck_finish(LinkChecker *s, Arena *previews, UrlCacheEntry *e, HttpResponse *r, u32 attempts,
                 HtmlIdScan *scan) {
  u64 hash = str_hash_djb2(e->url);
  Stripe *stripe = striped_table_stripe(&s->cache, hash);
  ArenaTemp scratch = scratch_begin(&previews, 1);
  u32 verdict = 0;
  StrView message = {};
  linkcheck_classify(s, scratch.arena, r, attempts, &verdict, &message);
  //- the body is read for its previews here, once, and goes with the answer's memory
  void *preview = 0;
  if (s->preview && verdict != LinkVerdict_Broken && r->body.length) {
    preview = s->preview(previews, s->preview_user, e->url, r->body);
  }
  //- the ids, read as the body came, for a good HTML answer; kept in as little room as they need
  HtmlIdSet *ids = 0;
  u32 status = http_parse_status_line(r->headers).status;
  if (scan && status >= 200 && status <= 299 && linkcheck_answer_is_html(r->headers)) {
    ids = push_struct(previews, HtmlIdSet);
    if (ids) {
      *ids = html_id_set_copy(previews, &scan->ids);
      if (r->body_cut) ids->partial = 1;
    }
  }

  rwlock_lock_exclusive(stripe->rwlock);
  e->preview = preview;
  e->ids = ids;
  e->verdict = verdict;
  e->message = str_push_copy(stripe_arena(stripe), message);
  e->answer.verdict = verdict;
  e->answer.status = http_parse_status_line(r->headers).status;
  e->answer.duration_ms = r->duration_ms;
  e->answer.final_url = str_push_copy(stripe_arena(stripe), r->final_url);
  StrView reason = http_error_message(r->error);
  if (!reason.length && r->error) reason = r->reason;
  e->answer.reason = str_push_copy(stripe_arena(stripe), reason);
  e->permanent = r->permanent_redirect != 0;
  e->checked_s = os_now_unix_seconds();
  rwlock_unlock_exclusive(stripe->rwlock);
  __atomic_store_n(&e->done, 1, __ATOMIC_RELEASE);
  scratch_end(scratch);
  __atomic_sub_fetch(&s->in_progress, 1, __ATOMIC_ACQ_REL);
}

//~ Workers

// What a transfer carries back to its worker; also an attempt waiting for its time.
struct LinkCheckFetch {
  LinkCheckFetch *next;
  UrlCacheEntry *entry;
  u32 attempt;  // 1 for the first
  u64 due_us;   // when a retry may start
  //- LinkBody_Ids: the ids of the body as it arrives, on an arena of this fetch's own
  HtmlIdScan *scan;
  Arena *ids_arena;
};

// A worker's thread parameter points at one of these.
struct LinkCheckWorker {
  LinkChecker *checker;
  u64 index;
};

static void
linkcheck_scan_piece(void *user, StrView piece) {
  LinkCheckFetch *f = (LinkCheckFetch *)user;
  html_id_scan_feed(f->ids_arena, f->scan, piece);
}

static void
linkcheck_start_fetch(HttpBatch *batch, Arena *scratch, LinkCheckFetch *f) {
  HttpRequest request = {};
  request.method = HttpMethod_Get;
  request.read_body = f->entry->tag & LinkBody_Preview;
  if (f->entry->tag & LinkBody_Ids) {
    // Each attempt reads the page afresh.
    if (!f->ids_arena) f->ids_arena = arena_create_sized(MB(64), KB(64));
    arena_pop_to(f->ids_arena, 0);
    // Without memory for it, the page's ids are not read and its fragments not judged.
    f->scan = f->ids_arena ? push_struct(f->ids_arena, HtmlIdScan) : 0;
    if (f->scan) {
      html_id_scan_begin(f->scan);
      request.on_body = linkcheck_scan_piece;
      request.on_body_user = f;
    }
  } else {
    f->scan = 0;
  }
  http_batch_add(batch, linkcheck_fetch_address(scratch, f->entry->url), StrView{}, request, f);
}

// When a worker may next send a request to a host.
struct LinkRateSlot {
  u64 hash;
  u64 next_us;
};

// The time the next request to the address's host may start, taken from its slot.
static u64
linkcheck_rate_slot_take(LinkChecker *s, LinkRateSlot *slots, StrView url, u64 now) {
  StrView host = url_parse(url).host;
  u64 hash = 5381;
  for (u64 i = 0; i < host.length; i += 1) hash = hash * 33 + char_to_lower(host.data[i]);
  hash |= 1;  // 0 marks a free slot
  LinkRateSlot *slot = 0, *oldest = 0;
  for (u64 k = 0; k < LINK_CHECK_RATE_PROBES && !slot; k += 1) {
    LinkRateSlot *at = &slots[(hash + k) % LINK_CHECK_RATE_SLOTS];
    if (at->hash == hash) slot = at;
    else if (!oldest || at->next_us < oldest->next_us) oldest = at;
  }
  if (!slot) {
    slot = oldest;
    slot->hash = hash;
    slot->next_us = 0;
  }
  u64 start = Max(now, slot->next_us);
  slot->next_us = start + s->host_interval_us;
  return start;
}

static void
linkcheck_worker(u64 parameter) {
  LinkCheckWorker *w = (LinkCheckWorker *)parameter;
  LinkChecker *s = w->checker;
  thread_set_name("[HTTP] Request #%I64u", w->index);
  Arena *arena = arena_create_sized(MB(64), KB(64));
  // Previews stay for the run: only what the finders cut out, a few hundred bytes a link.
  Arena *previews = arena_create_sized(GB(1), KB(64));
  HttpBatch *batch = http_batch_create(arena, s->transfers_per_worker, s->connections_per_host);
  LinkCheckFetch *free_fetches = 0;
  LinkCheckFetch *waiting = 0;  // retries and rate-limited fetches not yet due
  LinkRateSlot *rate_slots = s->host_interval_us ? push_array(arena, LinkRateSlot, LINK_CHECK_RATE_SLOTS) : 0;
  u64 rng = os_now_micros() * 2654435761u + w->index + 1;
  ThreadContext *ctx = thread_context_get();
  for (;;) {
    u64 now = os_now_micros();
    //- retries whose time has come go first
    u64 next_due = DEADLINE_NONE;
    for (LinkCheckFetch **at = &waiting; *at;) {
      LinkCheckFetch *f = *at;
      if (f->due_us <= now && http_batch_has_room(batch)) {
        *at = f->next;
        u64 mark = arena_pos(ctx->scratch[0]);
        linkcheck_start_fetch(batch, ctx->scratch[0], f);
        arena_pop_to(ctx->scratch[0], mark);
        continue;
      }
      next_due = Min(next_due, f->due_us);
      at = &f->next;
    }
    //- take records while there is room; wait only when nothing is in flight
    while (http_batch_has_room(batch)) {
      u64 deadline = http_batch_in_flight(batch) ? os_now_micros() : next_due;
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
      f->attempt = 1;
      //- a host under host_rate= gets its requests spread out; the others wait their turn
      u64 start = rate_slots ? linkcheck_rate_slot_take(s, rate_slots, e->url, os_now_micros()) : 0;
      if (start > os_now_micros()) {
        f->due_us = start;
        f->next = waiting;
        waiting = f;
        next_due = Min(next_due, start);
      } else {
        linkcheck_start_fetch(batch, ctx->scratch[0], f);
      }
      arena_pop_to(ctx->scratch[0], mark);
    }
    //- answers, as they come; a transient failure waits for another attempt
    if (http_batch_in_flight(batch)) {
      u64 mark = arena_pos(ctx->scratch[0]);
      HttpResponse r = {};
      void *user = 0;
      // A waiting fetch falling due is not held up for long.
      u64 now_us = os_now_micros();
      u64 wait = next_due == DEADLINE_NONE ? 20 : next_due <= now_us ? 1 : Min((next_due - now_us) / 1000 + 1, 20);
      while (http_batch_next(batch, ctx->scratch[0], wait, &r, &user)) {
        LinkCheckFetch *f = (LinkCheckFetch *)user;
        u64 wait_ms = 0;
        if (f->attempt <= s->retries && linkcheck_retry_wait(&r, f->attempt - 1, &rng, &wait_ms)) {
          f->attempt += 1;
          f->due_us = os_now_micros() + wait_ms * 1000;
          f->next = waiting;
          waiting = f;
        } else {
          linkcheck_finish(s, previews, f->entry, &r, f->attempt, f->scan);
          if (f->ids_arena) arena_pop_to(f->ids_arena, 0);
          f->scan = 0;
          f->next = free_fetches;
          free_fetches = f;
        }
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

StrView
linkcheck_fetch_address(Arena *arena, StrView url) {
  static const char hex[] = "0123456789ABCDEF";
  u64 start = 0, end = url.length;
  while (start < end && url.data[start] <= ' ') start += 1;
  while (end > start && url.data[end - 1] <= ' ') end -= 1;
  u8 *out = push_array_no_zero(arena, u8, (end - start) * 3 + 1);
  u64 w = 0;
  bool in_query = false;
  for (u64 i = start; i < end; i += 1) {
    u8 c = url.data[i];
    if (c == '#') break;  // never sent
    if (c == '\t' || c == '\n' || c == '\r') continue;
    if (c == '?') in_query = true;
    if (c == '\\' && !in_query) c = '/';
    bool escaped = c <= ' ' || c >= 0x7F || c == '"' || c == '<' || c == '>' || c == '`' || c == '{' || c == '}';
    if (escaped) {
      out[w++] = '%';
      out[w++] = hex[c >> 4];
      out[w++] = hex[c & 15];
    } else {
      out[w++] = c;
    }
  }
  out[w] = 0;
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

//~ Settings: accepted statuses and excluded addresses

bool
linkcheck_parse_accept(StrView accept, u32 (*ranges)[2], u64 max, u64 *count) {
  *count = 0;
  for (u64 at = 0; at <= accept.length;) {
    u64 comma = str_find(accept, at, str_lit(","), 0);
    StrView item = str_trim_whitespace(str_substr(accept, at, comma));
    at = comma + 1;
    if (!item.length || *count == max) return false;
    u64 dash = str_find(item, 0, str_lit("-"), 0);
    StrView parts[2] = {str_prefix(item, dash), dash < item.length ? str_skip(item, dash + 1) : str_prefix(item, dash)};
    u32 values[2] = {};
    for (u32 k = 0; k < 2; k += 1) {
      StrView p = str_trim_whitespace(parts[k]);
      if (p.length != 3) return false;
      for (u64 i = 0; i < 3; i += 1) {
        if (p.data[i] < '0' || p.data[i] > '9') return false;
      }
      values[k] = (u32)str_to_u64(p, 10);
      if (values[k] < 100 || values[k] > 599) return false;
    }
    if (values[0] > values[1]) return false;
    ranges[*count][0] = values[0];
    ranges[*count][1] = values[1];
    *count += 1;
    if (comma >= accept.length) break;
  }
  return *count > 0;
}

// A compiled exclude pattern. The regex library keeps its own memory for it, for the run.
struct LinkExclude {
  regex_t regex;
  StrView pattern;
};

static bool
linkcheck_exclude_compile(Arena *arena, LinkExclude *x, StrView pattern) {
  if (!pattern.length || pattern.length > LINK_CHECK_EXCLUDE_PATTERN_MAX) {
    console_eprintf("qilsite: exclude pattern of %llu bytes left out (1 to %d bytes)\n", (unsigned long long)pattern.length,
                    LINK_CHECK_EXCLUDE_PATTERN_MAX);
    return false;
  }
  // Anchored at both ends: the pattern matches the whole address.
  StrView whole = str_pushf(arena, "^(%S)$", &pattern);
  char *c = push_array_no_zero(arena, char, whole.length + 1);
  MemoryCopy(c, whole.data, whole.length);
  c[whole.length] = 0;
  int error = regcomp(&x->regex, c, REG_EXTENDED | REG_NOSUB);
  if (error) {
    char words[256];
    regerror(error, &x->regex, words, sizeof words);
    console_eprintf("qilsite: exclude=%.*s left out: %s\n", str_expand(pattern), words);
    return false;
  }
  x->pattern = str_push_copy(arena, pattern);
  return true;
}

// The pattern that excludes the address, or empty.
static StrView
linkcheck_excluded_by(LinkChecker *s, StrView url) {
  if (!s->exclude_count || url.length > LINK_CHECK_EXCLUDE_INPUT_MAX) return StrView{};
  char text[LINK_CHECK_EXCLUDE_INPUT_MAX + 1];
  MemoryCopy(text, url.data, url.length);
  text[url.length] = 0;
  // An address with a NUL in it is matched up to there only: it is no address a browser follows.
  for (u64 i = 0; i < s->exclude_count; i += 1) {
    if (regexec(&s->excludes[i].regex, text, 0, 0, 0) == 0) return s->excludes[i].pattern;
  }
  return StrView{};
}

LinkChecker *
linkcheck_start(LinkCheckSettings settings) {
  // libcurl and its TLS library cost milliseconds to load and set up: only a run that
  // checks links pays for them. Without them no link can be checked (said there).
  if (!http_global_init()) return 0;
  HttpSettings http = {};
  http.ca_file = settings.ca_file;
  http.total_timeout_s = settings.timeout_s;
  http_configure(http);

  Arena *arena = arena_create_sized(MB(64), KB(64));
  LinkChecker *s = push_struct(arena, LinkChecker);
  s->arena = arena;
  s->queue_mutex = mutex_create();
  s->queue_cv = condvar_create();
  s->ring = push_array(arena, u8, LINK_CHECK_RING_SIZE);
  u64 procs = Max(os_process_info()->processor_count, 1);
  s->cache = striped_table_create(arena, URL_CACHE_SLOTS, Min(procs, URL_CACHE_SLOTS), StripeLock_RwLock, GB(1), KB(64));
  if (!str_equal(settings.consent_url, str_lit("off"))) {
    StrView url = settings.consent_url.length ? settings.consent_url : str_lit("https://consent.youtube.com/save");
    s->consent_url = str_push_copy(arena, url);
    s->consent_host = linkcheck_consent_host(s->consent_url);
  }
  s->consent_mutex = mutex_create();
  s->retries = settings.retries;
  s->redirects = settings.redirects;
  if (settings.accept.length &&
      !linkcheck_parse_accept(settings.accept, s->accept, LINK_CHECK_ACCEPT_MAX, &s->accept_count)) {
    console_eprintf("qilsite: accept=%.*s is not a list of statuses and ranges such as 200-299,403: 200-299 is used\n",
                    str_expand(settings.accept));
    s->accept_count = 0;
  }
  s->excludes = push_array(arena, LinkExclude, Max(settings.exclude.node_count, 1));
  for (StrNode *n = settings.exclude.first; n; n = n->next) {
    LinkExclude *x = &s->excludes[s->exclude_count];
    if (linkcheck_exclude_compile(arena, x, n->string)) s->exclude_count += 1;
  }
  s->preview = settings.preview;
  s->preview_user = settings.preview_user;
  s->ca_file = str_push_copy(arena, settings.ca_file);
  if (settings.cache_path.length) {
    s->store = linkstore_open(arena, settings.cache_path, settings.cache_age_s, os_now_unix_seconds());
  }

  //- workers: one fewer than the processors, at least one; each drives many transfers
  s->worker_count = procs > 1 ? procs - 1 : 1;
  s->transfers_per_worker = Max(LINK_CHECK_IN_FLIGHT / s->worker_count, 1);
  s->connections_per_host = Max(LINK_CHECK_PER_HOST / s->worker_count, 1);
  // Each worker keeps its share of a host's rate.
  s->host_interval_us = settings.host_rate ? s->worker_count * 1000000 / settings.host_rate : 0;
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

StrView
linkcheck_consent_host(StrView consent_url) {
  StrView host = url_parse(consent_url).host;
  StrView prefix = str_lit("consent.");
  if (host.length > prefix.length && str_match(prefix, host, StrMatchFlag_Prefix | StrMatchFlag_CaseInsensitive)) {
    host = str_skip(host, prefix.length);
  }
  return host;
}

// Whether the host is the one the consent request serves, or one of its subdomains.
static bool
linkcheck_host_wants_consent(StrView served, StrView host) {
  if (!served.length || host.length < served.length) return false;
  StrView tail = str_skip(host, host.length - served.length);
  if (!str_match(tail, served, StrMatchFlag_CaseInsensitive)) return false;
  return host.length == served.length || host.data[host.length - served.length - 1] == '.';
}

// Sent once, before the first link to its host is queued, so that link's fetch carries
// its cookies. It only helps: without an answer the links are checked all the same.
static void
linkcheck_consent_once(LinkChecker *s) {
  mutex_lock(s->consent_mutex);
  if (!__atomic_load_n(&s->consent_sent, __ATOMIC_ACQUIRE)) {
    __atomic_store_n(&s->consent_sent, 1, __ATOMIC_RELEASE);
    ArenaTemp scratch = scratch_begin(0, 0);
    StrView reason = {};
    if (!linkcheck_consent(scratch.arena, s->consent_url, &reason)) {
      console_eprintf("qilsite: the consent request to %.*s got no answer (%.*s); links to %.*s are checked without it\n",
                      str_expand(s->consent_url), str_expand(reason), str_expand(s->consent_host));
    }
    scratch_end(scratch);
  }
  mutex_unlock(s->consent_mutex);
}

// Why an address is not fetched, or empty when it is.
static StrView
linkcheck_unchecked_reason(StrView url) {
  if (url.length > LINK_CHECK_URL_MAX) return str_lit("not checked: the address is longer than 65536 bytes");
  StrView scheme = url_parse(url).scheme;
  if (!str_match(scheme, str_lit("https://"), StrMatchFlag_CaseInsensitive) &&
      !str_match(scheme, str_lit("http://"), StrMatchFlag_CaseInsensitive)) {
    return str_lit("not checked: only http and https addresses are fetched");
  }
  return StrView{};
}

// Answers the address from the file of answers when it holds a young enough answer that
// is still good under this run's settings; false when the address must be fetched.
static bool
linkcheck_answer_stored(LinkChecker *s, StrView url) {
  ArenaTemp scratch = scratch_begin(0, 0);
  LinkStoreRow *row = linkstore_find(s->store, linkcheck_fetch_address(scratch.arena, url));
  bool permanent = false;
  bool good = row && row->verdict == LinkVerdict_None && str_equal(row->trust, s->ca_file) &&
              linkcheck_verdict_of(s, row->status, linkcheck_moved(row->address, row->final_url), row->permanent != 0,
                                   &permanent) == LinkVerdict_None;
  if (good) {
    LinkAnswer answer = {};
    answer.status = row->status;
    answer.final_url = row->final_url;
    answer.cached = 1;
    linkcheck_cache_answer(s, url, 0, LinkVerdict_None, StrView{}, &answer);
  }
  scratch_end(scratch);
  return good;
}

bool
linkcheck_enqueue(LinkChecker *s, StrView url, StrView location, u32 body) {
  if (!s) return false;
  StrView key = linkcheck_key(url, body);
  StrView pattern = linkcheck_excluded_by(s, url);
  if (pattern.length) {
    ArenaTemp scratch = scratch_begin(0, 0);
    StrView message = str_pushf(scratch.arena, "url: %S \n\texcluded by %S", &url, &pattern);
    linkcheck_cache_answer(s, key, body, LinkVerdict_Excluded, message);
    scratch_end(scratch);
    return true;
  }
  StrView reason = linkcheck_unchecked_reason(url);
  if (reason.length) {
    ArenaTemp scratch = scratch_begin(0, 0);
    // A page shows the start of a very long address, enough to find it.
    StrView head = str_prefix(url, 200);
    StrView shown = url.length > head.length ? str_pushf(scratch.arena, "%S...", &head) : url;
    StrView message = str_pushf(scratch.arena, "url: %S \n\t%S", &shown, &reason);
    linkcheck_cache_answer(s, key, body, LinkVerdict_Unchecked, message);
    scratch_end(scratch);
    return true;
  }
  // A good answer of an earlier run stands, unless the page needs the body for its previews.
  if (s->store && !body && linkcheck_answer_stored(s, url)) return true;
  if (s->consent_url.length && !__atomic_load_n(&s->consent_sent, __ATOMIC_ACQUIRE) &&
      linkcheck_host_wants_consent(s->consent_host, url_parse(url).host)) {
    linkcheck_consent_once(s);
  }
  LinkCheckRecord r = {key, location, 0, body};
  return linkcheck_enqueue_record(s, &r, DEADLINE_NONE);
}

static UrlCacheEntry *
linkcheck_entry(LinkChecker *s, StrView url, u32 body) {
  if (!s) return 0;
  url = linkcheck_key(url, body);
  u64 hash = str_hash_djb2(url);
  Stripe *stripe = striped_table_stripe(&s->cache, hash);
  rwlock_lock_shared(stripe->rwlock);
  UrlCacheEntry *e = linkcheck_cache_find(striped_table_slot(&s->cache, hash), url, body);
  rwlock_unlock_shared(stripe->rwlock);
  return e;
}

bool
linkcheck_fetch_ended(LinkChecker *s, StrView url, u32 body) {
  UrlCacheEntry *e = linkcheck_entry(s, url, body);
  return e && __atomic_load_n(&e->done, __ATOMIC_ACQUIRE);
}

u32
linkcheck_verdict(LinkChecker *s, StrView url, StrView *message, void **preview, u32 body) {
  UrlCacheEntry *e = linkcheck_entry(s, url, body);
  if (!e || !__atomic_load_n(&e->done, __ATOMIC_ACQUIRE)) return LinkVerdict_None;
  // Written once before `done`; never changed after.
  if (message) *message = e->message;
  if (preview) *preview = e->preview;
  return e->verdict;
}

bool
linkcheck_answer(LinkChecker *s, StrView url, LinkAnswer *answer, u32 body) {
  UrlCacheEntry *e = linkcheck_entry(s, url, body);
  if (!e || !__atomic_load_n(&e->done, __ATOMIC_ACQUIRE)) return false;
  *answer = e->answer;
  return true;
}

bool
linkcheck_fragment_found(LinkChecker *s, StrView url, StrView fragment) {
  UrlCacheEntry *e = linkcheck_entry(s, url, LinkBody_Ids);
  if (!e || !__atomic_load_n(&e->done, __ATOMIC_ACQUIRE) || !e->ids) return true;
  return html_fragment_found(e->ids, fragment);
}

void
linkcheck_store_save(LinkChecker *s) {
  if (!s || !s->store) return;
  ArenaTemp scratch = scratch_begin(0, 0);
  LinkStoreRow *first = 0;
  StripedTable *t = &s->cache;
  for (u64 i = 0; i < t->slot_count; i += 1) {
    Stripe *stripe = &t->stripes[i % t->stripe_count];
    rwlock_lock_shared(stripe->rwlock);
    for (UrlCacheEntry *e = (UrlCacheEntry *)t->slots[i].first; e; e = e->next) {
      if (e->stored || !__atomic_load_n(&e->done, __ATOMIC_ACQUIRE) || !e->checked_s) continue;
      e->stored = 1;
      LinkStoreRow *row = push_struct(scratch.arena, LinkStoreRow);
      row->address = linkcheck_fetch_address(scratch.arena, e->url);
      row->verdict = e->verdict;
      row->status = e->answer.status;
      row->permanent = e->permanent;
      row->final_url = e->answer.final_url;
      row->checked_s = e->checked_s;
      row->trust = s->ca_file;
      row->next = first;
      first = row;
    }
    rwlock_unlock_shared(stripe->rwlock);
  }
  linkstore_write(s->store, first, os_now_unix_seconds());
  scratch_end(scratch);
}

void
linkcheck_store_close(LinkChecker *s) {
  if (!s || !s->store) return;
  linkstore_close(s->store);
  s->store = 0;
}

StrView
linkcheck_verdict_name(u32 verdict) {
  switch (verdict) {
    case LinkVerdict_Redirected: return str_lit("redirected");
    case LinkVerdict_Broken: return str_lit("broken");
    case LinkVerdict_Noted: return str_lit("noted");
    case LinkVerdict_Unchecked: return str_lit("unchecked");
    case LinkVerdict_Excluded: return str_lit("excluded");
    default: return StrView{};
  }
}
