// Serve: files of the site root over HTTP on 127.0.0.1, and the live-reload stream.
// libmicrohttpd runs a thread per connection: a reload stream simply waits on its thread
// for news, and a stop ends every wait before the daemon is stopped.
#include "serve/serve.h"

#include <microhttpd.h>
#include <netinet/in.h>
#include <string.h>

#include "base/base_format.h"
#include "os/os_core.h"
#include "os/os_thread.h"
#include "site/site_path.h"

//~ libmicrohttpd, opened by the first run that serves

#define SERVE_MHD_FUNCTIONS(X, t)                                                                  \
  X(t, MHD_start_daemon) X(t, MHD_stop_daemon) X(t, MHD_get_daemon_info)                           \
  X(t, MHD_create_response_from_buffer) X(t, MHD_create_response_from_callback)                    \
  X(t, MHD_add_response_header) X(t, MHD_queue_response) X(t, MHD_destroy_response)                \
  X(t, MHD_lookup_connection_value)

OS_LIBRARY_TABLE(serve_mhd, SERVE_MHD_FUNCTIONS, "libmicrohttpd.so.12", "libmicrohttpd12")

#define MHD_start_daemon (*serve_mhd.MHD_start_daemon)
#define MHD_stop_daemon (*serve_mhd.MHD_stop_daemon)
#define MHD_get_daemon_info (*serve_mhd.MHD_get_daemon_info)
#define MHD_create_response_from_buffer (*serve_mhd.MHD_create_response_from_buffer)
#define MHD_create_response_from_callback (*serve_mhd.MHD_create_response_from_callback)
#define MHD_add_response_header (*serve_mhd.MHD_add_response_header)
#define MHD_queue_response (*serve_mhd.MHD_queue_response)
#define MHD_destroy_response (*serve_mhd.MHD_destroy_response)
#define MHD_lookup_connection_value (*serve_mhd.MHD_lookup_connection_value)

//~ Limits

#define SERVE_EVENTS 64            // the latest changes a late stream can still catch up on
#define SERVE_EVENT_PATH_MAX 1024  // a longer path is told as "*": every page reloads
#define SERVE_CONNECTIONS 64       // each costs a thread
#define SERVE_KEEPALIVE_MS 15000   // a quiet stream says so this often, so a dead peer is noticed
#define SERVE_IDLE_SECONDS 60      // a connection silent this long is closed
#define SERVE_EVENTS_PATH "/.qilsite/events"

//~ Types

struct ServeEvent {
  u64 length;
  u8 path[SERVE_EVENT_PATH_MAX];
};

struct ServeStream;

struct ServeServer {
  Arena *arena;
  StrView root_real;
  u16 port;
  MHD_Daemon *daemon;
  MutexRecord *mutex;  // guards what follows
  CondVarRecord *news;
  u64 seq;  // changes told so far; event `seq - 1` is the latest
  ServeEvent events[SERVE_EVENTS];
  b32 stopping;
  ServeStream *free_streams;
};

// One reload stream: which changes its page has been told of.
struct ServeStream {
  ServeStream *next;
  ServeServer *server;
  u64 seen;
  b32 greeted;
};

//~ Thread context
// Threads libmicrohttpd starts have no context of ours: each gets one at its first
// request, given back when the thread ends.

struct ServeThreadContext {
  ThreadContext ctx;
  b32 made;
  ~ServeThreadContext() {
    if (!made) return;
    thread_context_set(0);
    thread_context_release(&ctx);
  }
};

static thread_local ServeThreadContext serve_thread_context;

static void
serve_thread_enter(void) {
  if (thread_context_get()) return;
  serve_thread_context.ctx = thread_context_create();
  serve_thread_context.made = 1;
  thread_context_set(&serve_thread_context.ctx);
}

//~ Pieces

static bool
serve_ext_is(StrView ext, const char *name) {
  return str_match(ext, str_from_cstr(name), StrMatchFlag_CaseInsensitive);
}

StrView
serve_content_type(StrView path) {
  StrView name = site_fs_name(path);
  u64 dot = name.length;
  for (u64 i = name.length; i > 0; i -= 1) {
    if (name.data[i - 1] == '.') {
      dot = i - 1;
      break;
    }
  }
  if (dot == name.length) return str_lit("application/octet-stream");
  StrView ext = str_skip(name, dot + 1);
  static const struct {
    const char *ext;
    const char *type;
  } types[] = {
      {"html", "text/html; charset=utf-8"},  {"htm", "text/html; charset=utf-8"},
      {"css", "text/css; charset=utf-8"},    {"js", "text/javascript; charset=utf-8"},
      {"mjs", "text/javascript; charset=utf-8"}, {"json", "application/json"},
      {"txt", "text/plain; charset=utf-8"},  {"qil", "text/plain; charset=utf-8"},
      {"md", "text/plain; charset=utf-8"},   {"xml", "application/xml"},
      {"svg", "image/svg+xml"},              {"png", "image/png"},
      {"jpg", "image/jpeg"},                 {"jpeg", "image/jpeg"},
      {"gif", "image/gif"},                  {"webp", "image/webp"},
      {"avif", "image/avif"},                {"ico", "image/vnd.microsoft.icon"},
      {"woff2", "font/woff2"},               {"woff", "font/woff"},
      {"ttf", "font/ttf"},                   {"otf", "font/otf"},
      {"pdf", "application/pdf"},            {"mp4", "video/mp4"},
      {"webm", "video/webm"},                {"mp3", "audio/mpeg"},
      {"wasm", "application/wasm"},
  };
  for (auto &t : types) {
    if (serve_ext_is(ext, t.ext)) return str_from_cstr(t.type);
  }
  return str_lit("application/octet-stream");
}

static bool
serve_is_html(StrView path) {
  StrView type = serve_content_type(path);
  return str_match(str_lit("text/html"), type, StrMatchFlag_Prefix);
}

// The script asks for the changes made since the page was served (`since`), so a
// rebuild that lands between the page and its stream is not missed.
static StrView
serve_reload_script(Arena *arena, u64 since) {
  return str_pushf(arena,
                   "<script>(function(){var p=decodeURIComponent(location.pathname);"
                   "if(p.endsWith(\"/\"))p+=\"index.html\";"
                   "var s=new EventSource(\"" SERVE_EVENTS_PATH "?since=%I64u\");"
                   "s.onmessage=function(e){if(e.data===p||e.data===\"*\"){s.close();location.reload();}};"
                   "})();</script>",
                   since);
}

static StrView
serve_insert_script(Arena *arena, StrView page, StrView script) {
  // Before the last "</body>" whatever its case; at the end when there is none.
  u64 at = page.length;
  for (u64 i = page.length >= 6 ? page.length - 6 + 1 : 0; i > 0; i -= 1) {
    if (page.data[i - 1] == '<' && str_match(str_lit("</body"), str_substr(page, i - 1, i + 5), StrMatchFlag_CaseInsensitive)) {
      at = i - 1;
      break;
    }
  }
  StrView head = str_prefix(page, at), tail = str_skip(page, at);
  return str_pushf(arena, "%S%S%S", &head, &script, &tail);
}

StrView
serve_with_reload_script(Arena *arena, StrView page) {
  return serve_insert_script(arena, page, serve_reload_script(arena, 0));
}

StrView
serve_resolve(Arena *arena, StrView root_real, StrView url_path, bool *is_folder_without_slash) {
  *is_folder_without_slash = false;
  if (!url_path.length || url_path.data[0] != '/') return StrView{};
  //- no segment may climb, stand still or name a hidden file ("..", ".", ".git")
  u64 start = 1;
  for (u64 i = 1; i <= url_path.length; i += 1) {
    if (i < url_path.length && url_path.data[i] != '/') continue;
    if (i > start && url_path.data[start] == '.') return StrView{};
    start = i + 1;
  }
  for (u64 i = 0; i < url_path.length; i += 1) {
    if (url_path.data[i] == 0) return StrView{};
  }
  ArenaTemp scratch = scratch_begin(&arena, 1);
  StrView result = {};
  StrView candidate = str_pushf(scratch.arena, "%S%S", &root_real, &url_path);
  StrView real = os_real_path(scratch.arena, candidate);
  //- links are followed, but never out of the root
  bool inside = real.length && (str_equal(real, root_real) || site_fs_below(real, root_real));
  FileProperties props = inside ? os_path_properties(real) : FileProperties{};
  if (inside && (props.flags & FilePropertyFlag_Folder)) {
    if (url_path.data[url_path.length - 1] != '/') {
      *is_folder_without_slash = true;
      result = str_push_copy(arena, real);
    } else {
      StrView index = str_pushf(scratch.arena, "%S/index.html", &real);
      StrView index_real = os_real_path(scratch.arena, index);
      FileProperties ip = index_real.length ? os_path_properties(index_real) : FileProperties{};
      if (index_real.length && site_fs_below(index_real, root_real) &&
          !(ip.flags & (FilePropertyFlag_Folder | FilePropertyFlag_Special))) {
        result = str_push_copy(arena, index_real);
      }
    }
  } else if (inside && !(props.flags & FilePropertyFlag_Special) && !str_equal(real, root_real)) {
    result = str_push_copy(arena, real);
  }
  scratch_end(scratch);
  return result;
}

//~ Answers

static MHD_Result
serve_send(MHD_Connection *c, unsigned int status, StrView type, StrView body) {
  MHD_Response *r = MHD_create_response_from_buffer(body.length, (void *)body.data, MHD_RESPMEM_MUST_COPY);
  if (!r) return MHD_NO;
  ArenaTemp scratch = scratch_begin(0, 0);
  StrView t = str_push_copy(scratch.arena, type);  // terminated
  MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, (const char *)t.data);
  // Every answer is fresh: a reload must show the page as the rebuild left it.
  MHD_add_response_header(r, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
  MHD_add_response_header(r, "X-Content-Type-Options", "nosniff");
  scratch_end(scratch);
  MHD_Result ok = MHD_queue_response(c, status, r);
  MHD_destroy_response(r);
  return ok;
}

static MHD_Result
serve_not_found(MHD_Connection *c) {
  return serve_send(c, MHD_HTTP_NOT_FOUND, str_lit("text/html; charset=utf-8"),
                    str_lit("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>Not found</title>"
                            "</head><body><h1>Not found</h1><p>No page of this site has this address.</p>"
                            "<p><a href=\"/\">The site's root</a></p></body></html>\n"));
}

static MHD_Result
serve_redirect(MHD_Connection *c, const char *url) {
  MHD_Response *r = MHD_create_response_from_buffer(0, (void *)"", MHD_RESPMEM_PERSISTENT);
  if (!r) return MHD_NO;
  ArenaTemp scratch = scratch_begin(0, 0);
  // The address as the client sent it, escaped again only where a header needs it.
  StrView location = str_pushf(scratch.arena, "%s/", url);
  StrList parts = {};
  for (u64 i = 0; i < location.length; i += 1) {
    u8 ch = location.data[i];
    if (ch <= 0x20 || ch >= 0x7f || ch == '%' || ch == '?' || ch == '#') str_list_pushf(scratch.arena, &parts, "%%%02X", ch);
    else str_list_push(scratch.arena, &parts, str_substr(location, i, i + 1));
  }
  StrView escaped = str_list_join(scratch.arena, &parts, 0);
  escaped = str_push_copy(scratch.arena, escaped);
  MHD_add_response_header(r, MHD_HTTP_HEADER_LOCATION, (const char *)escaped.data);
  scratch_end(scratch);
  MHD_Result ok = MHD_queue_response(c, MHD_HTTP_MOVED_PERMANENTLY, r);
  MHD_destroy_response(r);
  return ok;
}

//- the reload stream

static ssize_t
serve_stream_read(void *cls, uint64_t pos, char *buf, size_t max) {
  (void)pos;
  ServeStream *st = (ServeStream *)cls;
  ServeServer *s = st->server;
  if (!st->greeted) {
    // Opens the stream at once, and says how soon to come back after a break.
    st->greeted = 1;
    const char hello[] = "retry: 500\n: ready\n\n";
    if (max < sizeof hello - 1) return 0;
    memcpy(buf, hello, sizeof hello - 1);
    return sizeof hello - 1;
  }
  u64 deadline = os_now_micros() + (u64)SERVE_KEEPALIVE_MS * 1000;
  mutex_lock(s->mutex);
  while (!s->stopping && s->seq == st->seen) {
    if (!condvar_wait_mutex(s->news, s->mutex, deadline)) break;
  }
  if (s->stopping) {
    mutex_unlock(s->mutex);
    return MHD_CONTENT_READER_END_OF_STREAM;
  }
  size_t w = 0;
  if (s->seq == st->seen) {
    const char ping[] = ": ping\n\n";
    if (max >= sizeof ping - 1) {
      memcpy(buf, ping, sizeof ping - 1);
      w = sizeof ping - 1;
    }
  } else {
    // A stream that fell further behind than the events kept is told "*": its page
    // may have changed among those it missed.
    if (s->seq - st->seen > SERVE_EVENTS) {
      const char all[] = "data: *\n\n";
      if (max >= sizeof all - 1) {
        memcpy(buf, all, sizeof all - 1);
        w = sizeof all - 1;
        st->seen = s->seq;
      }
    }
    while (st->seen < s->seq) {
      ServeEvent *e = &s->events[st->seen % SERVE_EVENTS];
      size_t need = 6 + e->length + 2;
      if (w + need > max) break;
      memcpy(buf + w, "data: ", 6);
      memcpy(buf + w + 6, e->path, e->length);
      memcpy(buf + w + 6 + e->length, "\n\n", 2);
      w += need;
      st->seen += 1;
    }
  }
  mutex_unlock(s->mutex);
  return (ssize_t)w;
}

static void
serve_stream_free(void *cls) {
  ServeStream *st = (ServeStream *)cls;
  ServeServer *s = st->server;
  mutex_lock(s->mutex);
  st->next = s->free_streams;
  s->free_streams = st;
  mutex_unlock(s->mutex);
}

static MHD_Result
serve_events(ServeServer *s, MHD_Connection *c) {
  const char *since_text = MHD_lookup_connection_value(c, MHD_GET_ARGUMENT_KIND, "since");
  u64 since = since_text ? str_to_u64(str_from_cstr(since_text), 10) : 0;
  mutex_lock(s->mutex);
  ServeStream *st = s->free_streams;
  if (st) s->free_streams = st->next;
  else st = push_struct(s->arena, ServeStream);
  MemoryZeroStruct(st);
  st->server = s;
  st->seen = since <= s->seq ? since : s->seq;
  mutex_unlock(s->mutex);
  MHD_Response *r = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 4096, serve_stream_read, st, serve_stream_free);
  if (!r) {
    serve_stream_free(st);
    return MHD_NO;
  }
  MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, "text/event-stream");
  MHD_add_response_header(r, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
  MHD_Result ok = MHD_queue_response(c, MHD_HTTP_OK, r);
  MHD_destroy_response(r);
  return ok;
}

//- files

static MHD_Result
serve_answer(void *cls, MHD_Connection *c, const char *url, const char *method, const char *version,
             const char *upload_data, size_t *upload_data_size, void **con_cls) {
  (void)version;
  (void)upload_data;
  ServeServer *s = (ServeServer *)cls;
  serve_thread_enter();
  // The first call only says a request came; the answer is given on the second.
  if (!*con_cls) {
    *con_cls = (void *)1;
    return MHD_YES;
  }
  if (*upload_data_size) {
    *upload_data_size = 0;  // a body is read and dropped: nothing here takes one
    return MHD_YES;
  }
  StrView m = str_from_cstr(method);
  if (!str_equal(m, str_lit("GET")) && !str_equal(m, str_lit("HEAD"))) {
    return serve_send(c, MHD_HTTP_METHOD_NOT_ALLOWED, str_lit("text/plain; charset=utf-8"),
                      str_lit("Only GET and HEAD are answered here.\n"));
  }
  StrView path = str_from_cstr(url);
  if (str_equal(path, str_lit(SERVE_EVENTS_PATH))) return serve_events(s, c);

  ArenaTemp scratch = scratch_begin(0, 0);
  bool folder_without_slash = false;
  StrView file = serve_resolve(scratch.arena, s->root_real, path, &folder_without_slash);
  MHD_Result ok;
  if (!file.length) {
    ok = serve_not_found(c);
  } else if (folder_without_slash) {
    ok = serve_redirect(c, url);
  } else {
    mutex_lock(s->mutex);
    u64 since = s->seq;
    mutex_unlock(s->mutex);
    StrView body = os_read_file(scratch.arena, file);
    if (os_last_error_code()) {
      ok = serve_not_found(c);
    } else {
      if (serve_is_html(file)) body = serve_insert_script(scratch.arena, body, serve_reload_script(scratch.arena, since));
      ok = serve_send(c, MHD_HTTP_OK, serve_content_type(file), body);
    }
  }
  scratch_end(scratch);
  return ok;
}

//~ Starting and stopping

ServeServer *
serve_start(StrView root, u16 port) {
  if (!os_library_load(&serve_mhd_library)) {
    console_eprintf("qilsite: cannot serve: %s\n", serve_mhd_library.error);
    return 0;
  }
  Arena *arena = arena_create_sized(MB(64), KB(64));
  ServeServer *s = push_struct(arena, ServeServer);
  s->arena = arena;
  s->root_real = os_real_path(arena, root);
  if (!s->root_real.length) {
    console_eprintf("qilsite: cannot serve '%.*s': %s\n", str_expand(root), os_last_error());
    arena_release(arena);
    return 0;
  }
  s->mutex = mutex_create();
  s->news = condvar_create();
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  s->daemon = MHD_start_daemon(MHD_USE_THREAD_PER_CONNECTION | MHD_USE_INTERNAL_POLLING_THREAD, port, 0, 0,
                               serve_answer, s, MHD_OPTION_SOCK_ADDR, (struct sockaddr *)&addr,
                               MHD_OPTION_CONNECTION_LIMIT, (unsigned int)SERVE_CONNECTIONS,
                               // An idle connection gives its thread back; a stream pings well within it.
                               MHD_OPTION_CONNECTION_TIMEOUT, (unsigned int)SERVE_IDLE_SECONDS,
                               MHD_OPTION_END);
  if (!s->daemon) {
    console_eprintf("qilsite: cannot serve on 127.0.0.1:%u (the port may be taken)\n", (unsigned)port);
    arena_release(arena);
    return 0;
  }
  const MHD_DaemonInfo *info = MHD_get_daemon_info(s->daemon, MHD_DAEMON_INFO_BIND_PORT);
  s->port = info ? info->port : port;
  return s;
}

u16
serve_port(ServeServer *server) {
  return server ? server->port : 0;
}

void
serve_stop(ServeServer *s) {
  if (!s) return;
  mutex_lock(s->mutex);
  s->stopping = 1;
  condvar_wake_all(s->news);
  mutex_unlock(s->mutex);
  MHD_stop_daemon(s->daemon);
  arena_release(s->arena);
}

void
serve_file_changed(ServeServer *s, StrView path) {
  if (!s) return;
  ArenaTemp scratch = scratch_begin(0, 0);
  StrView real = os_real_path(scratch.arena, path);
  if (real.length && site_fs_below(real, s->root_real)) {
    StrView url = str_skip(real, s->root_real.length);
    if (s->root_real.length == 1) url = real;  // the root is "/"
    mutex_lock(s->mutex);
    ServeEvent *e = &s->events[s->seq % SERVE_EVENTS];
    if (url.length <= SERVE_EVENT_PATH_MAX) {
      memcpy(e->path, url.data, url.length);
      e->length = url.length;
    } else {
      e->path[0] = '*';
      e->length = 1;
    }
    // A line end would end the event early: such a path reloads every page instead.
    for (u64 i = 0; i < e->length; i += 1) {
      if (e->path[i] == '\n' || e->path[i] == '\r') {
        e->path[0] = '*';
        e->length = 1;
      }
    }
    s->seq += 1;
    condvar_wake_all(s->news);
    mutex_unlock(s->mutex);
  }
  scratch_end(scratch);
}
