// The HTTP client over libcurl. Every request verifies certificates; name lookups, TLS
// sessions and cookies are shared by all requests of the process.
#include "net/net_http.h"

#include <curl/curl.h>
#include <errno.h>

#include "base/base_format.h"
#include "site/site_url.h"
#include "os/os_core.h"
#include "os/os_thread.h"

//~ libcurl, opened by the first run that checks links
// It brings dozens of libraries (TLS, Kerberos, LDAP, ...) that a run without web links
// would load for nothing.

#define HTTP_CURL_FUNCTIONS(X, t)                                                                  \
  X(t, curl_global_init) X(t, curl_share_init) X(t, curl_share_setopt) X(t, curl_easy_init)        \
  X(t, curl_easy_reset) X(t, curl_easy_setopt) X(t, curl_easy_getinfo) X(t, curl_easy_perform)     \
  X(t, curl_easy_cleanup) X(t, curl_easy_strerror) X(t, curl_slist_append) X(t, curl_slist_free_all) \
  X(t, curl_multi_init) X(t, curl_multi_setopt) X(t, curl_multi_add_handle)                        \
  X(t, curl_multi_remove_handle) X(t, curl_multi_perform) X(t, curl_multi_info_read) X(t, curl_multi_poll)

OS_LIBRARY_TABLE(http_curl, HTTP_CURL_FUNCTIONS, "libcurl.so.4", "libcurl4")

// curl.h makes these four macros that only count their arguments.
#undef curl_easy_setopt
#undef curl_easy_getinfo
#undef curl_share_setopt
#undef curl_multi_setopt

#define curl_global_init (*http_curl.curl_global_init)
#define curl_share_init (*http_curl.curl_share_init)
#define curl_share_setopt (*http_curl.curl_share_setopt)
#define curl_easy_init (*http_curl.curl_easy_init)
#define curl_easy_reset (*http_curl.curl_easy_reset)
#define curl_easy_setopt (*http_curl.curl_easy_setopt)
#define curl_easy_getinfo (*http_curl.curl_easy_getinfo)
#define curl_easy_perform (*http_curl.curl_easy_perform)
#define curl_easy_cleanup (*http_curl.curl_easy_cleanup)
#define curl_easy_strerror (*http_curl.curl_easy_strerror)
#define curl_slist_append (*http_curl.curl_slist_append)
#define curl_slist_free_all (*http_curl.curl_slist_free_all)
#define curl_multi_init (*http_curl.curl_multi_init)
#define curl_multi_setopt (*http_curl.curl_multi_setopt)
#define curl_multi_add_handle (*http_curl.curl_multi_add_handle)
#define curl_multi_remove_handle (*http_curl.curl_multi_remove_handle)
#define curl_multi_perform (*http_curl.curl_multi_perform)
#define curl_multi_info_read (*http_curl.curl_multi_info_read)
#define curl_multi_poll (*http_curl.curl_multi_poll)

// A body read for a caller is cut here: previews are cut from the top of a page, and
// every transfer in flight may hold this much until its previews are cut.
#define HTTP_BODY_MAX MB(1)
// An unwanted body this small is read (and dropped) rather than cutting the connection.
#define HTTP_DISCARD_MAX KB(64)
// A response's header lines in all: a flood beyond this is no answer.
#define HTTP_HEADERS_MAX KB(256)

//~ Process-wide state

// Process-wide on purpose: libcurl's global init and its share belong to the process, not to a checker.
static struct {
  CURLSH *share;
  MutexRecord *locks[CURL_LOCK_DATA_LAST];
  char ca_file[4096];
  u64 connect_timeout_s;
  u64 stall_timeout_s;
  u64 total_timeout_s;
  u32 ready;
} http_global;

static void
http_share_lock(CURL *, curl_lock_data data, curl_lock_access, void *) {
  mutex_lock(http_global.locks[data]);
}

static void
http_share_unlock(CURL *, curl_lock_data data, void *) {
  mutex_unlock(http_global.locks[data]);
}

bool
http_global_init(void) {
  if (__atomic_load_n(&http_global.ready, __ATOMIC_ACQUIRE)) return true;
  if (!os_library_load(&http_curl_library)) {
    console_eprintf("qilsite: web links cannot be checked: %s\n", http_curl_library.error);
    return false;
  }
  curl_global_init(CURL_GLOBAL_DEFAULT);
  for (u32 i = 0; i < CURL_LOCK_DATA_LAST; i += 1) http_global.locks[i] = mutex_create();
  http_global.share = curl_share_init();
  curl_share_setopt(http_global.share, CURLSHOPT_LOCKFUNC, http_share_lock);
  curl_share_setopt(http_global.share, CURLSHOPT_UNLOCKFUNC, http_share_unlock);
  // Connections stay with the batch that made them: libcurl does not share them
  // safely between threads.
  curl_share_setopt(http_global.share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
  curl_share_setopt(http_global.share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
  curl_share_setopt(http_global.share, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE);
  __atomic_store_n(&http_global.ready, 1, __ATOMIC_RELEASE);
  return true;
}

// Requests are made only after http_global_init succeeded; one made otherwise fails
// instead of calling into a library that is not there.
static bool
http_ready(void) {
  return __atomic_load_n(&http_global.ready, __ATOMIC_ACQUIRE) != 0;
}

void
http_configure(HttpSettings settings) {
  u64 n = Min(settings.ca_file.length, (u64)sizeof(http_global.ca_file) - 1);
  if (n) MemoryCopy(http_global.ca_file, settings.ca_file.data, n);
  http_global.ca_file[n] = 0;
  http_global.connect_timeout_s = settings.connect_timeout_s ? settings.connect_timeout_s : 5;
  http_global.stall_timeout_s = settings.stall_timeout_s ? settings.stall_timeout_s : 2;
  http_global.total_timeout_s = settings.total_timeout_s ? settings.total_timeout_s : 30;
}

StrView
http_default_user_agent(void) {
  return str_lit("Mozilla/5.0 (Windows NT 10.0; rv:109.0) Gecko/20100101 Firefox/115.0");
}

//~ Status lines and messages

HttpStatusLine
http_parse_status_line(StrView text) {
  HttpStatusLine line = {};
  u64 i = 0;
  while (i < text.length && (text.data[i] == ' ' || text.data[i] == '\t' || text.data[i] == '\r' || text.data[i] == '\n')) {
    i += 1;
  }
  StrView rest = str_skip(text, i);
  u64 eol = str_find(rest, 0, str_lit("\r\n"), 0);
  StrView first = str_prefix(rest, eol);
  line.rest = eol < rest.length ? str_skip(rest, eol + 2) : StrView{};
  u64 http = str_find(first, 0, str_lit("HTTP/"), 0);
  if (http == first.length) return line;
  StrView after = str_skip(first, http + 5);
  u64 sp = str_find(after, 0, str_lit(" "), 0);
  line.version = str_prefix(after, sp);
  if (sp == after.length) return line;
  StrView code = str_skip(after, sp + 1);
  u64 status = 0;
  u64 digits = 0;
  for (u64 k = 0; k < code.length && code.data[k] != ' '; k += 1, digits += 1) {
    u8 c = code.data[k];
    // No status has more than a few digits: a longer number is no status.
    if (c < '0' || c > '9' || digits == 9) return line;
    status = status * 10 + (c - '0');
  }
  line.status = (u32)status;
  return line;
}

u32
http_status_class(u32 status) {
  return status >= 100 && status <= 599 ? status / 100 : 0;
}

StrView
http_error_message(u32 error) {
  switch (error) {
    case HttpError_SecureChannel: return str_lit("couldn't connect (HTTPS protocol)");
    case HttpError_Connection: return str_lit("wrong protocol used");
    case HttpError_Timeout: return str_lit("timed out");
    default: return StrView{};
  }
}

StrView
http_certificate_words(long verify_result) {
  switch (verify_result) {
    case 0: return str_lit("certificate does not match the host name");
    case 9: return str_lit("certificate not yet valid");   // X509_V_ERR_CERT_NOT_YET_VALID
    case 10: return str_lit("certificate expired");        // X509_V_ERR_CERT_HAS_EXPIRED
    case 23: return str_lit("certificate revoked");        // X509_V_ERR_CERT_REVOKED
    case 62: return str_lit("certificate does not match the host name");  // X509_V_ERR_HOSTNAME_MISMATCH
    default: return str_lit("certificate not trusted");
  }
}

static u32
http_error_from_curl(CURLcode code) {
  switch (code) {
    case CURLE_OK: return HttpError_None;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_USE_SSL_FAILED: return HttpError_SecureChannel;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY: return HttpError_NameNotResolved;
    case CURLE_COULDNT_CONNECT:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_GOT_NOTHING: return HttpError_Connection;
    case CURLE_OPERATION_TIMEDOUT: return HttpError_Timeout;
    default: return HttpError_Failed;
  }
}

//~ Transfers

// One request in progress: its own arena holds what it sends and what comes back, and
// is reused by the next transfer.
struct HttpTransfer {
  HttpTransfer *next;
  Arena *arena;
  CURL *easy;
  curl_slist *headers_out;
  void *user;
  StrView url;
  StrList header_lines;
  StrList body_parts;
  u64 body_size;
  u32 read_body;
  void (*on_body)(void *user, StrView piece);
  void *on_body_user;
  u32 body_cut;
  u32 follow;         // redirects are followed: a redirect's headers are not the answer
  u32 stopped_early;  // the body was not wanted: the transfer ended after the headers
  u32 headers_final;  // the answer's status line and headers are complete
  u32 headers_too_large;
  u64 header_bytes;   // of the response under way
  s64 content_length; // of the response under way; -1 unknown
  u32 has_location;
  u32 permanent_redirect;
  char error_text[CURL_ERROR_SIZE];
};

static char *
http_cstr(Arena *arena, StrView s) {
  char *c = push_array_no_zero(arena, char, s.length + 1);
  if (s.length) MemoryCopy(c, s.data, s.length);
  c[s.length] = 0;
  return c;
}

static size_t
http_on_header(char *data, size_t size, size_t count, void *user) {
  HttpTransfer *t = (HttpTransfer *)user;
  u64 n = size * count;
  StrView line = str_make((u8 *)data, n);
  // Each response of a redirect chain starts with its status line: only the last one stays.
  if (str_match(str_lit("HTTP/"), line, StrMatchFlag_Prefix)) {
    t->header_lines = StrList{};
    t->header_bytes = 0;
    t->content_length = -1;
    t->has_location = 0;
    t->headers_final = 0;
  }
  t->header_bytes += n;
  if (t->header_bytes > HTTP_HEADERS_MAX) {
    t->headers_too_large = 1;
    return 0;
  }
  str_list_push(t->arena, &t->header_lines, str_push_copy(t->arena, line));
  if (str_match(str_lit("location:"), line, StrMatchFlag_Prefix | StrMatchFlag_CaseInsensitive)) t->has_location = 1;
  if (str_match(str_lit("content-length:"), line, StrMatchFlag_Prefix | StrMatchFlag_CaseInsensitive)) {
    s64 v = 0;
    u64 digits = 0;
    for (u64 i = 15; i < n; i += 1) {
      u8 c = line.data[i];
      if (c >= '0' && c <= '9' && digits < 15) {
        v = v * 10 + (c - '0');
        digits += 1;
      }
    }
    t->content_length = digits ? v : -1;
  }
  //- the blank line: is this the answer, or a step the library goes on from?
  if (n <= 2 && (line.data[0] == '\r' || line.data[0] == '\n') && t->header_lines.first) {
    u32 status = http_parse_status_line(t->header_lines.first->string).status;
    bool redirect = t->follow && t->has_location && (status == 301 || status == 302 || status == 303 || status == 307 || status == 308);
    if (redirect && (status == 301 || status == 308)) t->permanent_redirect = 1;
    if (status >= 200 && !redirect) {
      t->headers_final = 1;
      // The status and headers are the verdict; an unwanted body that is not known to be
      // small is not waited for, however slowly it comes.
      bool small = t->content_length >= 0 && (u64)t->content_length <= HTTP_DISCARD_MAX;
      if (!t->read_body && !t->on_body && !small) {
        t->stopped_early = 1;
        return 0;
      }
    }
  }
  return n;
}

static size_t
http_on_body(char *data, size_t size, size_t count, void *user) {
  HttpTransfer *t = (HttpTransfer *)user;
  u64 n = size * count;
  if (!t->read_body && !t->on_body) {
    // A small body is read to its end and dropped, so the connection serves the next
    // request; a big one ends the transfer: what was wanted is in.
    t->body_size += n;
    if (t->body_size <= HTTP_DISCARD_MAX) return n;
    t->stopped_early = 1;
    return 0;
  }
  if (t->body_size >= HTTP_BODY_MAX) {
    t->stopped_early = 1;
    t->body_cut = 1;
    return 0;
  }
  u64 take = Min(n, HTTP_BODY_MAX - t->body_size);
  StrView piece = str_make((u8 *)data, take);
  // Only the answer's body: a redirect's is no part of it.
  if (t->on_body && t->headers_final) t->on_body(t->on_body_user, piece);
  if (t->read_body) str_list_push(t->arena, &t->body_parts, str_push_copy(t->arena, piece));
  t->body_size += take;
  if (take < n) t->body_cut = 1;
  return n;
}

static void
http_transfer_setup(HttpTransfer *t, StrView url, StrView body, HttpRequest request) {
  Arena *a = t->arena;
  CURL *e = t->easy;
  curl_easy_reset(e);
  t->url = str_push_copy(a, url);
  t->header_lines = StrList{};
  t->body_parts = StrList{};
  t->body_size = 0;
  t->read_body = request.read_body;
  t->on_body = request.on_body;
  t->on_body_user = request.on_body_user;
  t->body_cut = 0;
  t->follow = request.plain_http ? 0 : 1;
  t->stopped_early = 0;
  t->headers_final = 0;
  t->headers_too_large = 0;
  t->header_bytes = 0;
  t->content_length = -1;
  t->has_location = 0;
  t->permanent_redirect = 0;
  t->error_text[0] = 0;

  StrView user_agent = request.user_agent.length ? request.user_agent : http_default_user_agent();
  StrView accept = request.accept.length ? request.accept : str_lit("*/*");
  curl_slist *h = 0;
  h = curl_slist_append(h, http_cstr(a, str_pushf(a, "User-Agent: %S", &user_agent)));
  if (request.content_type.length) h = curl_slist_append(h, http_cstr(a, str_pushf(a, "Content-Type: %S", &request.content_type)));
  h = curl_slist_append(h, http_cstr(a, str_pushf(a, "Accept: %S", &accept)));
  for (u64 at = 0; at < request.extra_headers.length;) {
    u64 eol = str_find(request.extra_headers, at, str_lit("\r\n"), 0);
    StrView line = str_substr(request.extra_headers, at, eol);
    if (line.length) h = curl_slist_append(h, http_cstr(a, line));
    at = eol + 2;
  }
  t->headers_out = h;

  curl_easy_setopt(e, CURLOPT_URL, http_cstr(a, url));
  curl_easy_setopt(e, CURLOPT_PRIVATE, t);
  curl_easy_setopt(e, CURLOPT_SHARE, http_global.share);
  curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, request.plain_http ? 0L : 1L);
  curl_easy_setopt(e, CURLOPT_MAXREDIRS, 10L);
  curl_easy_setopt(e, CURLOPT_HTTPHEADER, h);
  curl_easy_setopt(e, CURLOPT_COOKIEFILE, "");
  curl_easy_setopt(e, CURLOPT_ERRORBUFFER, t->error_text);
  curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, http_on_header);
  curl_easy_setopt(e, CURLOPT_HEADERDATA, t);
  curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, http_on_body);
  curl_easy_setopt(e, CURLOPT_WRITEDATA, t);
  //- a slow or silent server cannot hold a run
  curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, (long)(http_global.connect_timeout_s * 1000));
  curl_easy_setopt(e, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(e, CURLOPT_LOW_SPEED_TIME, (long)http_global.stall_timeout_s);
  curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, (long)(http_global.total_timeout_s * 1000));
  //- certificates are always verified; a file of our own may replace the system's
  curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L);
  if (http_global.ca_file[0]) curl_easy_setopt(e, CURLOPT_CAINFO, http_global.ca_file);

  switch (request.method) {
    case HttpMethod_Head: curl_easy_setopt(e, CURLOPT_NOBODY, 1L); break;
    case HttpMethod_Post:
      curl_easy_setopt(e, CURLOPT_POST, 1L);
      curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, (curl_off_t)body.length);
      curl_easy_setopt(e, CURLOPT_COPYPOSTFIELDS, http_cstr(a, body));
      break;
    case HttpMethod_Put:
    case HttpMethod_Delete:
    case HttpMethod_Connect:
    case HttpMethod_Options:
    case HttpMethod_Trace:
    case HttpMethod_Patch: {
      static const char *verbs[] = {"GET", "HEAD", "POST", "PUT", "DELETE", "CONNECT", "OPTIONS", "TRACE", "PATCH"};
      curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, verbs[request.method]);
      if (body.length) {
        curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, (curl_off_t)body.length);
        curl_easy_setopt(e, CURLOPT_COPYPOSTFIELDS, http_cstr(a, body));
      }
    } break;
    default: curl_easy_setopt(e, CURLOPT_HTTPGET, 1L); break;
  }
}

// A failure in the words a person reads: what the connection did, not the library's code.
static StrView
http_failure_words(Arena *arena, HttpTransfer *t, CURLcode code) {
  long os_errno = 0;
  curl_easy_getinfo(t->easy, CURLINFO_OS_ERRNO, &os_errno);
  if (t->headers_too_large) return str_lit("header too large");
  switch (code) {
    case CURLE_COULDNT_CONNECT:
      if (os_errno == ECONNREFUSED) return str_lit("connection refused");
      if (os_errno == ENETUNREACH || os_errno == EHOSTUNREACH) return str_lit("host unreachable");
      return str_lit("could not connect");
    case CURLE_COULDNT_RESOLVE_HOST: return str_lit("host name not found");
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
      if (os_errno == ECONNRESET || os_errno == EPIPE || os_errno == 0) return str_lit("connection reset");
      return str_lit("connection lost");
    case CURLE_GOT_NOTHING: return str_lit("connection closed without an answer");
    case CURLE_PARTIAL_FILE: return str_lit("connection closed before the answer was complete");
    // The library's limit on one header line.
    case CURLE_OUT_OF_MEMORY: return str_lit("header too large");
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_UNSUPPORTED_PROTOCOL: return str_lit("not an HTTP answer");
    case CURLE_SSL_CONNECT_ERROR: return str_lit("TLS handshake failed");
    case CURLE_PEER_FAILED_VERIFICATION: {
      long verify = 0;
      curl_easy_getinfo(t->easy, CURLINFO_SSL_VERIFYRESULT, &verify);
      return http_certificate_words(verify);
    }
    case CURLE_TOO_MANY_REDIRECTS: return str_lit("too many redirects");
    case CURLE_OPERATION_TIMEDOUT: {
      //- which limit ended it: the connection's, the stall's or the whole request's
      curl_off_t connected_us = 0, total_us = 0;
      curl_easy_getinfo(t->easy, CURLINFO_CONNECT_TIME_T, &connected_us);
      curl_easy_getinfo(t->easy, CURLINFO_TOTAL_TIME_T, &total_us);
      if (connected_us <= 0) {
        u64 limit = Min(http_global.connect_timeout_s, http_global.total_timeout_s);
        return str_pushf(arena, "timed out after %I64u s connecting", limit);
      }
      if ((u64)total_us + 500000 >= http_global.total_timeout_s * 1000000) {
        return str_pushf(arena, "timed out after %I64u s", http_global.total_timeout_s);
      }
      return str_pushf(arena, "timed out after %I64u s without data", http_global.stall_timeout_s);
    }
    default: {
      StrView text = t->error_text[0] ? str_from_cstr(t->error_text) : str_from_cstr(curl_easy_strerror(code));
      return str_push_copy(arena, text);
    }
  }
}

static HttpResponse
http_transfer_finish(HttpTransfer *t, Arena *arena, CURLcode code) {
  HttpResponse r = {};
  r.url = str_push_copy(arena, t->url);
  // Once the answer's status line and headers are in, what becomes of the body does not
  // change the answer: a slow or cut body is still that status.
  bool answered = code == CURLE_OK || t->headers_final;
  r.error = answered ? HttpError_None : http_error_from_curl(code);
  if (answered) {
    r.headers = str_list_join(arena, &t->header_lines, 0);
    // Joined once, straight into the caller's arena, NUL-terminated.
    u8 *copy = push_array_no_zero(arena, u8, t->body_size + 1);
    u64 at = 0;
    for (StrNode *n = t->body_parts.first; n; n = n->next) {
      MemoryCopy(copy + at, n->string.data, n->string.length);
      at += n->string.length;
    }
    copy[at] = 0;
    r.body = str_make(copy, at);
  } else {
    if (r.error == HttpError_None) r.error = HttpError_Failed;
    r.reason = http_failure_words(arena, t, code);
  }
  char *effective = 0;
  if (curl_easy_getinfo(t->easy, CURLINFO_EFFECTIVE_URL, &effective) == CURLE_OK && effective) {
    r.final_url = str_push_copy(arena, str_from_cstr(effective));
  }
  curl_off_t total_us = 0;
  if (curl_easy_getinfo(t->easy, CURLINFO_TOTAL_TIME_T, &total_us) == CURLE_OK && total_us > 0) {
    r.duration_ms = (u64)total_us / 1000;
  }
  r.permanent_redirect = t->permanent_redirect;
  // An answer whose transfer failed after its headers has a body cut short.
  r.body_cut = t->body_cut || (answered && code != CURLE_OK);
  curl_off_t retry_after = 0;
  if (answered && curl_easy_getinfo(t->easy, CURLINFO_RETRY_AFTER, &retry_after) == CURLE_OK && retry_after > 0) {
    r.retry_after_s = (u64)retry_after;
  }
  curl_slist_free_all(t->headers_out);
  t->headers_out = 0;
  return r;
}

static HttpTransfer *
http_transfer_create(Arena *arena) {
  HttpTransfer *t = push_struct(arena, HttpTransfer);
  t->arena = arena_create_sized(MB(64), KB(64));
  t->easy = curl_easy_init();
  return t;
}

HttpResponse
http_request(Arena *arena, StrView url, StrView body, HttpRequest request) {
  ArenaTemp scratch = scratch_begin(&arena, 1);
  HttpTransfer *t = http_ready() ? http_transfer_create(scratch.arena) : 0;
  HttpResponse r = {};
  if (!t) {
    r.url = str_push_copy(arena, url);
    r.error = HttpError_Failed;
    r.reason = str_lit("the HTTP library is not loaded");
    scratch_end(scratch);
    return r;
  }
  if (t->easy) {
    http_transfer_setup(t, url, body, request);
    CURLcode code = curl_easy_perform(t->easy);
    r = http_transfer_finish(t, arena, code);
    curl_easy_cleanup(t->easy);
  } else {
    r.url = str_push_copy(arena, url);
    r.error = HttpError_Failed;
    r.reason = str_lit("the HTTP library could not start a request");
  }
  arena_release(t->arena);
  scratch_end(scratch);
  return r;
}

//~ Batches

// Connections a batch keeps open (in use or idle) for each transfer it may run at once.
#define HTTP_IDLE_PER_TRANSFER 4

struct HttpBatch {
  Arena *arena;
  CURLM *multi;
  HttpTransfer *free_transfers;
  u64 in_flight;
  u64 max_in_flight;
};

HttpBatch *
http_batch_create(Arena *arena, u64 max_in_flight, u64 max_per_host) {
  HttpBatch *b = push_struct(arena, HttpBatch);
  b->arena = arena;
  b->max_in_flight = Max(max_in_flight, 1);
  // Without the library the batch never has room, so nothing is ever added to it.
  if (!http_ready()) return b;
  b->multi = curl_multi_init();
  if (!b->multi) return b;
  curl_multi_setopt(b->multi, CURLMOPT_MAX_HOST_CONNECTIONS, (long)Max(max_per_host, 1));
  // Idle connections are kept beyond those in flight, so that links spread over many hosts
  // find theirs open again rather than connecting anew each time.
  curl_multi_setopt(b->multi, CURLMOPT_MAX_TOTAL_CONNECTIONS, (long)(b->max_in_flight * HTTP_IDLE_PER_TRANSFER));
  curl_multi_setopt(b->multi, CURLMOPT_MAXCONNECTS, (long)(b->max_in_flight * HTTP_IDLE_PER_TRANSFER));
  return b;
}

bool
http_batch_has_room(HttpBatch *b) {
  return b->multi && b->in_flight < b->max_in_flight;
}

u64
http_batch_in_flight(HttpBatch *b) {
  return b->in_flight;
}

void
http_batch_add(HttpBatch *b, StrView url, StrView body, HttpRequest request, void *user) {
  if (!b->multi) return;
  HttpTransfer *t = b->free_transfers;
  if (t) b->free_transfers = t->next;
  else t = http_transfer_create(b->arena);
  arena_pop_to(t->arena, 0);
  t->user = user;
  if (!t->easy) t->easy = curl_easy_init();
  http_transfer_setup(t, url, body, request);
  curl_multi_add_handle(b->multi, t->easy);
  b->in_flight += 1;
}

bool
http_batch_next(HttpBatch *b, Arena *arena, u64 wait_ms, HttpResponse *out, void **user_out) {
  if (!b->multi) return false;
  for (u32 pass = 0; pass < 2; pass += 1) {
    int running = 0;
    curl_multi_perform(b->multi, &running);
    int left = 0;
    for (CURLMsg *m = curl_multi_info_read(b->multi, &left); m; m = curl_multi_info_read(b->multi, &left)) {
      if (m->msg != CURLMSG_DONE) continue;
      HttpTransfer *t = 0;
      curl_easy_getinfo(m->easy_handle, CURLINFO_PRIVATE, (char **)&t);
      CURLcode code = m->data.result;
      curl_multi_remove_handle(b->multi, m->easy_handle);
      *out = http_transfer_finish(t, arena, code);
      *user_out = t->user;
      t->next = b->free_transfers;
      b->free_transfers = t;
      b->in_flight -= 1;
      return true;
    }
    if (pass == 0 && wait_ms && b->in_flight) curl_multi_poll(b->multi, 0, 0, (int)wait_ms, 0);
  }
  return false;
}
