// The HTTP client over libcurl: one request at a time (http_request), or many at once
// driven by one thread (HttpBatch), with the same options and the same answers.
#pragma once

#include "base/base_strings.h"

//~ Types

enum HttpMethod : u32 {
  HttpMethod_Get = 0,
  HttpMethod_Head = 1,
  HttpMethod_Post = 2,
  HttpMethod_Put = 3,
  HttpMethod_Delete = 4,
  HttpMethod_Connect = 5,
  HttpMethod_Options = 6,
  HttpMethod_Trace = 7,
  HttpMethod_Patch = 8,
};

enum HttpError : u32 {
  HttpError_None = 0,
  HttpError_SecureChannel = 1,  // certificate or TLS failure
  HttpError_NameNotResolved = 2,
  HttpError_Connection = 3,     // refused, reset, nothing received
  HttpError_Timeout = 4,
  HttpError_Failed = 5,         // any other failure (too many redirects among them)
};

struct HttpRequest {
  u32 method;  // HttpMethod; any other value is sent as GET
  StrView user_agent;
  StrView content_type;
  StrView accept;
  StrView extra_headers;  // lines separated by "\r\n"
  // Non-zero: redirects are not followed (the redirect itself is the answer).
  u32 plain_http;
  // Zero: the transfer ends once the final response's headers are in.
  u32 read_body;
  // When set, the final response's body is read too, and each piece of it is handed
  // here as it arrives (on the thread that moves the transfer on), up to the bound.
  void (*on_body)(void *user, StrView piece);
  void *on_body_user;
};

struct HttpResponse {
  StrView headers;    // the final response's header lines, status line first, each ended by "\r\n"
  StrView body;       // NUL-terminated copy
  u32 error;          // HttpError
  StrView url;        // the address asked for
  StrView final_url;  // where the request ended after redirects
  u64 duration_ms;
  StrView reason;     // a failure in plain words ("connection refused"), empty without one
  u64 retry_after_s;  // what a Retry-After header asked for (seconds or a date), 0 without one
  u32 permanent_redirect;  // a 301 or 308 was followed on the way
  u32 body_cut;            // only the body's start was read: it went on past the bound, or stopped coming
};

struct HttpStatusLine {
  u32 status;
  StrView version;
  StrView rest;
};

// What every request of the process shares.
struct HttpSettings {
  StrView ca_file;  // certificates to trust instead of the system's; empty: the system's
  u64 connect_timeout_s;  // zero: 5
  u64 stall_timeout_s;    // without a byte of progress; zero: 2
  u64 total_timeout_s;    // the whole request; zero: 30
};

//~ Functions

// Once per process, at start-up, before any thread makes a request. Loads libcurl: false,
// with a line on standard error, when it cannot be loaded (no request can be made then).
bool http_global_init(void);
void http_configure(HttpSettings settings);
StrView http_default_user_agent(void);

HttpResponse http_request(Arena *arena, StrView url, StrView body, HttpRequest request);
HttpStatusLine http_parse_status_line(StrView text);
u32 http_status_class(u32 status);
StrView http_error_message(u32 error);
// A certificate's verification result (OpenSSL's X509_V_* code) in plain words; 0 is a
// certificate that verified but names another host.
StrView http_certificate_words(long verify_result);

//~ Many requests at once, on one thread

struct HttpBatch;

// Up to `max_in_flight` transfers at once, at most `max_per_host` connections to one
// host; connections, TLS sessions, name lookups and cookies are shared by every batch.
HttpBatch *http_batch_create(Arena *arena, u64 max_in_flight, u64 max_per_host);
// Whether another transfer may be added now.
bool http_batch_has_room(HttpBatch *batch);
u64 http_batch_in_flight(HttpBatch *batch);
// Starts a request; `user` comes back with its answer. The strings are copied.
void http_batch_add(HttpBatch *batch, StrView url, StrView body, HttpRequest request, void *user);
// Moves the transfers on, waiting at most `wait_ms` for something to happen; returns
// one finished transfer at a time (its answer on `arena`), or false when none finished.
bool http_batch_next(HttpBatch *batch, Arena *arena, u64 wait_ms, HttpResponse *out, void **user_out);
