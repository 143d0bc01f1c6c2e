// The build driver: set-up, rounds and the end of a run.
#include "driver/driver_build.h"

#include <string.h>

#include "base/base_format.h"
#include "emit/emit.h"
#include "gen/gen_page.h"
#include "net/net_linkcheck.h"
#include "os/os_core.h"


//~ Set-up

// Digits only, at most `max`.
static bool
driver_is_number(StrView text, u64 max) {
  if (!text.length || text.length > 6) return false;
  for (u64 i = 0; i < text.length; i += 1) {
    if (text.data[i] < '0' || text.data[i] > '9') return false;
  }
  return str_to_u64(text, 10) <= max;
}

// A duration such as "90", "90s", "30m", "12h" or "2d", at most ten years; false when
// the text is none.
static bool
driver_parse_duration(StrView text, u64 *seconds) {
  u64 unit = 1;
  if (text.length) {
    u8 last = char_to_lower(text.data[text.length - 1]);
    unit = last == 's' ? 1 : last == 'm' ? 60 : last == 'h' ? 3600 : last == 'd' ? 86400 : 0;
    if (unit) text = str_chop(text, 1);
    else unit = 1;
  }
  if (!driver_is_number(text, 999999)) return false;
  u64 total = str_to_u64(text, 10) * unit;
  if (total > 3650ull * 86400) return false;
  *seconds = total;
  return true;
}

static SiteSettings
driver_read_settings(Arena *arena, OptionTable *options, bool *stop, StrList *problems) {
  SiteSettings s = {};
  s.target = option_value(options, str_lit("target_path"));
  StrView root = path_ensure_trailing_slash(arena, option_value(options, str_lit("root_path")));
  StrView server_root = path_ensure_trailing_slash(arena, option_value(options, str_lit("server_root_path")));
  s.local = path_ensure_trailing_slash(arena, option_value(options, str_lit("local_path")));
  s.destination = option_value(options, str_lit("dest_path"));
  s.listen = option_switch(options, str_lit("listen"));
  s.check_urls = option_switch(options, str_lit("check_urls"));
  s.check_file_paths = option_switch(options, str_lit("check_file_paths"));
  s.check_fragments = option_switch(options, str_lit("check_fragments"));
  s.print_todos = option_switch(options, str_lit("print_todos"));
  s.consent_url = option_value(options, str_lit("consent_url"));
  s.ca_file = option_value(options, str_lit("ca_file"));
  s.strict = option_switch(options, str_lit("strict"));
  s.report_path = option_value(options, str_lit("report"));
  s.color = os_stderr_wants_color();
  s.no_raw_views = option_switch(options, str_lit("no_raw_views"));
  s.serve = option_switch(options, str_lit("serve"));
  s.port = driver_serve_port(option_value(options, str_lit("port")));
  if (s.serve) s.listen = 1;  // serving is watching, with a server
  s.link_retries = 2;
  StrView retries = option_value(options, str_lit("retries"));
  if (retries.length) {
    if (driver_is_number(retries, 10)) s.link_retries = (u32)str_to_u64(retries, 10);
    else console_eprintf("qilsite: retries=%.*s is not a number from 0 to 10: 2 is used\n", str_expand(retries));
  }
  s.link_exclude = option_values_all(arena, options, str_lit("exclude"));
  s.link_accept = option_value(options, str_lit("accept"));
  StrView redirects = option_value(options, str_lit("redirects"));
  if (str_equal(redirects, str_lit("warn"))) s.link_redirects = LinkRedirects_Warn;
  else if (str_equal(redirects, str_lit("error"))) s.link_redirects = LinkRedirects_Error;
  else if (redirects.length && !str_equal(redirects, str_lit("ok"))) {
    console_eprintf("qilsite: redirects=%.*s is none of ok, warn and error: ok is used\n", str_expand(redirects));
  }
  StrView host_rate = option_value(options, str_lit("host_rate"));
  if (host_rate.length) {
    if (driver_is_number(host_rate, 100000)) s.link_host_rate = str_to_u64(host_rate, 10);
    else console_eprintf("qilsite: host_rate=%.*s is not a number of requests a second: no limit is used\n", str_expand(host_rate));
  }
  StrView cache = option_value(options, str_lit("cache"));
  s.link_cache = !str_equal(cache, str_lit("off"));
  if (cache.length && s.link_cache && !str_equal(cache, str_lit("on"))) {
    console_eprintf("qilsite: cache=%.*s is neither on nor off: on is used\n", str_expand(cache));
  }
  s.link_cache_age_s = 86400;
  StrView cache_age = option_value(options, str_lit("cache_age"));
  if (cache_age.length && !driver_parse_duration(cache_age, &s.link_cache_age_s)) {
    console_eprintf("qilsite: cache_age=%.*s is not a duration such as 90s, 30m, 12h or 2d (at most 3650d): "
                    "1d is used\n",
                    str_expand(cache_age));
  }
  StrView timeout = option_value(options, str_lit("timeout"));
  if (timeout.length) {
    if (driver_is_number(timeout, 3600) && str_to_u64(timeout, 10) > 0) s.link_timeout_s = str_to_u64(timeout, 10);
    else console_eprintf("qilsite: timeout=%.*s is not a number of seconds from 1 to 3600: 30 is used\n", str_expand(timeout));
  }

  StrView format = option_value(options, str_lit("format"));
  if (str_equal(format, str_lit("line"))) {
    s.format = DriverFormat_Line;
  } else if (format.length) {
    console_eprintf("qilsite: format '%.*s' is not known: the one format is line\n", str_expand(format));
    str_list_pushf(arena, problems, "format '%.*s' is not known", str_expand(format));
  }
  if (s.target.length == 0) {
    console_printf("No file to parse provided, use 'target_path' argument\n");
    str_list_push(arena, problems, str_lit("no target_path was given"));
    *stop = true;
  }
  if (server_root.length) {
    console_printf("server_root_path provided, overwriting the root_path\n");
    root = server_root;
  }
  if (root.length == 0) {
    console_printf("building [root_path] from the program location\n");
    StrView cwd = os_current_dir(arena);
    root = str_pushf(arena, "%S/local/", &cwd);
  } else if (!(os_path_properties(root).flags & FilePropertyFlag_Folder)) {
    // The root is kept as given: outputs below it make their folders.
    console_printf("[root_path] was not valid\n");
  }
  s.root = root;
  return s;
}

// A shared file's text; `error` says why a file that is there could not be read.
static StrView
driver_read_shared(Arena *arena, StrView path, StrView *error) {
  StrView text = os_read_file(arena, path);
  u32 code = os_last_error_code();
  if (error && text.length == 0 && code && !os_error_is_missing(code)) {
    *error = str_push_copy(arena, str_from_cstr(os_last_error()));
  }
  return text;
}

void
driver_site_init(Site *site, Arena *arena, SiteSettings settings) {
  MemoryZeroStruct(site);
  site->arena = arena;
  site->settings = settings;
  site->pages_arena = arena_create_sized(GB(1), KB(64));
  StrView root = settings.root;
  site->root_real = os_real_path(arena, root);

  //- the shared files, read once; what they come to is said and written at their first use
  SiteSharedFiles *f = &site->files;
  f->head_path = str_pushf(arena, "%Sshared/html/default_head.html", &root);
  f->tag_css_path = str_pushf(arena, "%Sshared/css/qil/css_tag_default.css", &root);
  f->default_css_path = str_pushf(arena, "%Sshared/css/qil/css_default.css", &root);
  f->index_path = str_pushf(arena, "%Swebsite/index.html", &root);
  f->head_text = driver_read_shared(arena, f->head_path, 0);
  f->tag_css_text = driver_read_shared(arena, f->tag_css_path, &f->tag_css_error);
  driver_manifest_read(site);
  HtmlParseResult head = {};
  site->shared = gen_shared_make(arena, root, f->head_text, f->head_path, f->tag_css_text, &head);
  site->shared.no_raw_views = settings.no_raw_views;
  f->head_diagnostics = head.diagnostics;
  f->head_parse_errors = head.parse_errors;
}

void
driver_shared_first_use(Site *site) {
  SiteSharedFiles *f = &site->files;
  if (!f->head_said) {
    f->head_said = 1;
    // Its faults are said once a run, when it is first used.
    if (f->head_parse_errors) {
      diag_print(&f->head_diagnostics, f->head_text, f->head_path);
      driver_say_diagnostics(site, &site->head_findings, site->arena, &f->head_diagnostics, f->head_text,
                             f->head_path, DriverFinding_Page);
    }
    // A site started from one document has none: say where it goes rather than stay silent.
    if (!f->head_text.length && !os_path_exists(f->head_path)) {
      console_eprintf("qilsite: no shared head '%.*s': pages get a minimal head (qilsite init writes a site "
                      "that has one)\n",
                      str_expand(f->head_path));
    }
  }
  emit_sheets(site);
}

//~ Rounds

// Files this far ahead of the one being processed are queued for loading, so the
// streamers work in parallel while the driver waits for one file at a time.
#define DRIVER_PREFETCH 32

// The bytes loaded for a source, or false (said on standard error) when the file is
// there but could not be read: such a file is reported, never taken as empty.
// The source holds the content its records are built from, and lets go of the one
// before once they are built again (see driver_take_content).
static bool
driver_source_content(FileService *service, DriverSource *src, FileSnapshot snap, StrView *content) {
  //- hold the loaded content; a newer load may have replaced it meanwhile: ask again
  while (!content_acquire(service, snap.key, content)) {
    FileSnapshot again = file_request(service, src->path, DEADLINE_NONE);
    if (!again.ok) return false;
    snap = again;
  }
  src->previous_key = src->key;
  src->key = snap.key;
  src->modified = snap.modified;
  if (snap.error) {
    console_eprintf("qilsite: cannot read '%.*s': %s\n", str_expand(src->path), snap.error);
    return false;
  }
  return true;
}

// A source listed but gone before it was read (its folder removed meanwhile, say) is
// said to be gone, not taken as an empty page or a document without an output path.
static bool
driver_source_vanished(DriverSource *src, StrView content) {
  if (content.length || os_path_exists(src->path)) return false;
  console_eprintf("qilsite: '%.*s' vanished before it was read\n", str_expand(src->path));
  return true;
}

// The content the source's records were built from before, given back once they are rebuilt.
static void
driver_release_previous(FileService *service, DriverSource *src) {
  content_release(service, src->previous_key);
  src->previous_key = ContentKey{};
}

void
driver_process_files(Site *site) {
  StrNode *ahead = site->queued.first;
  for (u64 i = 0; ahead && i < DRIVER_PREFETCH; i += 1, ahead = ahead->next) file_request(site->file_service, ahead->string, 0);
  while (site->queued.first) {
    if (ahead) {
      file_request(site->file_service, ahead->string, 0);
      ahead = ahead->next;
    }
    StrNode *node = site->queued.first;
    SLLQueuePop(site->queued.first, site->queued.last);
    site->queued.node_count -= 1;
    DriverSource *src = push_struct(site->arena, DriverSource);
    src->path = node->string;
    SLLQueuePush(site->first_source, site->last_source, src);
    DriverSource **slot = &site->source_slots[str_hash_djb2(src->path) % DRIVER_SOURCE_SLOTS];
    src->hash_next = *slot;
    *slot = src;
    FileSnapshot snap = file_request(site->file_service, node->string, DEADLINE_NONE);
    StrView content = {};
    if (!snap.ok) continue;
    if (!driver_source_content(site->file_service, src, snap, &content) || driver_source_vanished(src, content)) {
      SiteCount(site, read_failures, 1);
      continue;
    }
    driver_process_file(site, src, content);
  }
}

// Listen mode: a source whose content changed since it was processed goes through its
// pipeline again, and its records are filled again in place.
DriverSource *
driver_source_find(Site *site, StrView path) {
  for (DriverSource *s = site->source_slots[str_hash_djb2(path) % DRIVER_SOURCE_SLOTS]; s; s = s->hash_next) {
    if (str_equal(s->path, path)) return s;
  }
  return 0;
}

// Listen mode: files made in the target since the last look join the run like the others.
static void
driver_pick_up_new_files(Site *site) {
  ArenaTemp scratch = scratch_begin(&site->arena, 1);
  u64 unlisted = 0;
  StrList found = driver_discover(site->file_service, scratch.arena, site->settings.target, &unlisted);
  SiteCount(site, read_failures, unlisted);
  driver_manifest_drop_outputs(site, &found);
  for (StrNode *n = found.first; n; n = n->next) {
    if (driver_source_find(site, n->string)) continue;
    str_list_push(site->arena, &site->queued, str_push_copy(site->arena, n->string));
    SiteCount(site, sources_new, 1);
  }
  scratch_end(scratch);
  if (site->settings.check_file_paths || site->settings.check_fragments) driver_plan_outputs(site);
  driver_process_files(site);
}

// The content of a source now, held, and its records built from it again.
static void
driver_rebuild_source(Site *site, DriverSource *src, FileSnapshot snap) {
  StrView content = {};
  // An unreadable file leaves the records built before (and the content they use) alone.
  if (!driver_source_content(site->file_service, src, snap, &content)) {
    SiteCount(site, read_failures, 1);
    return;
  }
  driver_process_file(site, src, content);
  driver_release_previous(site->file_service, src);
}

static void
driver_pick_up_changes(Site *site) {
  bool claims_freed = false;
  for (DriverSource *src = site->first_source; src; src = src->next) {
    // Editors often save by removing the file and writing it anew: a source that is
    // back is built again (its records are still the ones it had), and claims its
    // output path again.
    bool back = false;
    if (src->deleted) {
      if (!os_path_exists(src->path)) continue;
      src->deleted = 0;
      back = true;
      SiteCount(site, sources_new, 1);
    }
    FileSnapshot snap = file_request(site->file_service, src->path, os_now_micros());
    if (!snap.ok || (!back && content_key_equal(snap.key, src->key))) continue;
    // A source that is gone keeps the page it published; it is said once. Its output
    // path is free again for a document that wanted it (a folder renamed, say).
    if (!os_path_exists(src->path)) {
      src->deleted = 1;
      claims_freed = claims_freed || driver_release_claims(site, src);
      SiteCount(site, sources_deleted, 1);
      continue;
    }
    driver_rebuild_source(site, src, snap);
  }
  //- documents refused an output path another held try again once paths are freed
  if (!claims_freed) return;
  for (DriverSource *src = site->first_source; src; src = src->next) {
    if (!src->claim_refused || src->deleted) continue;
    FileSnapshot snap = file_request(site->file_service, src->path, DEADLINE_NONE);
    if (snap.ok) driver_rebuild_source(site, src, snap);
  }
}

static bool
driver_some_page_waits(Site *site) {
  for (PageRecord *r = site->first_page; r; r = r->next) {
    if (r->state != PageState_Reported && !driver_page_ready(site, r)) return true;
  }
  return false;
}

// The folder whose files this run may rewrite, as a real path.
static StrView
driver_target_real(Arena *arena, StrView target) {
  StrView folder = target;
  if (!(os_path_properties(target).flags & FilePropertyFlag_Folder)) folder = str_chop_last_slash_keep(target);
  if (folder.length == 0) folder = str_lit(".");
  return os_real_path(arena, folder);
}

//~ Summary and progress

static void
driver_part(StrList *parts, Arena *arena, u64 n, const char *one, const char *many) {
  if (n) str_list_pushf(arena, parts, "%I64u %s", n, n == 1 ? one : many);
}

static bool
driver_stats_empty(SiteStats *st) {
  SiteStats zero = {};
  return memcmp(st, &zero, sizeof zero) == 0;
}

// Two lines at most on standard error: what was built and kept, then the links and the time.
static void
driver_print_summary(Site *site, SiteStats *st, bool with_time) {
  ArenaTemp scratch = scratch_begin(&site->arena, 1);
  Arena *a = scratch.arena;
  StrList parts = {};
  StrJoin comma = {{}, str_lit(", "), {}};
  str_list_pushf(a, &parts, "%I64u %s generated (%I64u raw %s)", st->pages_generated,
                 st->pages_generated == 1 ? "page" : "pages", st->raw_views, st->raw_views == 1 ? "view" : "views");
  u64 kept = st->pages_unchanged + st->kept_parse_error + st->kept_no_markup + st->kept_changed + st->kept_outside;
  str_list_pushf(a, &parts, "%I64u hand-written %s rewritten", st->pages_rewritten,
                 st->pages_rewritten == 1 ? "page" : "pages");
  if (kept) {
    StrList why = {};
    driver_part(&why, a, st->pages_unchanged, "already as written", "already as written");
    driver_part(&why, a, st->kept_parse_error, "parse error", "parse errors");
    driver_part(&why, a, st->kept_no_markup, "without markup", "without markup");
    driver_part(&why, a, st->kept_changed, "changed during the run", "changed during the run");
    driver_part(&why, a, st->kept_outside, "outside the target", "outside the target");
    StrView reasons = str_list_join(a, &why, &comma);
    str_list_pushf(a, &parts, "%I64u left as %s (%S)", kept, kept == 1 ? "it was" : "they were", &reasons);
  }
  driver_part(&parts, a, st->write_failures, "page not written", "pages not written");
  driver_part(&parts, a, st->read_failures, "source or folder not read", "sources or folders not read");
  driver_part(&parts, a, st->drafts, "draft", "drafts");
  driver_part(&parts, a, st->unpublished, "document without a usable output_path",
              "documents without a usable output_path");
  driver_part(&parts, a, st->sources_new, "new source", "new sources");
  driver_part(&parts, a, st->sources_deleted, "source deleted (its page stays)", "sources deleted (their pages stay)");
  driver_part(&parts, a, st->sources_reused, "source unchanged since the last build", "sources unchanged since the last build");
  str_list_pushf(a, &parts, "%I64u %s, %I64u %s", st->errors, st->errors == 1 ? "error" : "errors", st->warnings,
                 st->warnings == 1 ? "warning" : "warnings");
  StrView line = str_list_join(a, &parts, &comma);
  console_eprintf("qilsite: %.*s\n", str_expand(line));

  StrList second = {};
  if (site->settings.check_urls) {
    str_list_pushf(a, &second, "%I64u web %s checked: %I64u broken, %I64u redirected, %I64u noted", st->links_checked,
                   st->links_checked == 1 ? "link" : "links", st->links_broken, st->links_redirected,
                   st->links_noted);
    if (st->links_unchecked) str_list_pushf(a, &second, "%I64u not checked", st->links_unchecked);
    if (st->links_excluded) str_list_pushf(a, &second, "%I64u excluded", st->links_excluded);
  }
  if (with_time) {
    u64 ms = (os_now_micros() - site->start_us) / 1000;
    str_list_pushf(a, &second, "%I64u.%03I64u s", ms / 1000, ms % 1000);
  }
  if (second.node_count) {
    StrView text = str_list_join(a, &second, &comma);
    console_eprintf("qilsite: %.*s\n", str_expand(text));
  }
  scratch_end(scratch);
}

// On a terminal, one line that says how many web links are answered, drawn over itself.
static void
driver_show_progress(Site *site, bool done) {
  if (!site->settings.check_urls || !os_stderr_is_terminal()) return;
  if (done) {
    if (site->progress_shown) console_eprintf("\r\x1b[K");
    site->progress_shown = 0;
    return;
  }
  u64 queued = 0, answered = 0;
  for (PageRecord *r = site->first_page; r; r = r->next) {
    for (PageWebLink *l = r->first_web_link; l; l = l->next) {
      queued += 1;
      if (linkcheck_fetch_ended(site->links, l->url, l->body)) answered += 1;
    }
  }
  if (!queued) return;
  console_eprintf("\r\x1b[Kqilsite: web links answered: %llu of %llu", (unsigned long long)answered,
                  (unsigned long long)queued);
  site->progress_shown = 1;
}

// A round's pause while pages wait for their links: it ends early once the link checker
// has nothing left in progress, so the last answers are reported without a round's delay.
static void
driver_wait_for_answers(Site *site, u64 ms) {
  u64 end = os_now_micros() + ms * 1000;
  while (os_now_micros() < end) {
    os_sleep_ms(5);
    if (linkcheck_in_progress(site->links) == 0 && !driver_some_page_waits(site)) return;
  }
}

static bool
driver_found_errors(SiteStats *st) {
  return st->errors || st->links_broken || st->write_failures || st->read_failures || st->targets_missing ||
         st->fragments_missing;
}

// One run at a time per site: two would report each other's files as failures. A run
// that finds another at work says so once and waits for it.
static OsHandle
driver_lock_site(Arena *arena, StrView root) {
  if (!(os_path_properties(root).flags & FilePropertyFlag_Folder)) return OsHandle{};
  ArenaTemp scratch = scratch_begin(&arena, 1);
  OsHandle lock = os_lock_open(str_pushf(scratch.arena, "%S.qilsite.lock", &root));
  scratch_end(scratch);
  if (lock.value && !os_lock_take(lock, false)) {
    console_eprintf("qilsite: another run is building '%.*s': waiting for it to end\n", str_expand(root));
    console_flush();
    os_lock_take(lock, true);
  }
  return lock;
}

// The status of a run that is over: findings under strict are 1, and a run that could
// not do what was asked is 2, whatever it found.
static int
driver_exit_status(Site *site) {
  if (!site->settings.strict) return DriverExit_Clean;
  if (site->problems.node_count) return DriverExit_Invocation;
  return driver_found_errors(&site->total) ? DriverExit_Findings : DriverExit_Clean;
}

// The report file and the status it gives, at the end of a run.
static int
driver_finish(Site *site) {
  u64 ms = (os_now_micros() - site->start_us) / 1000;
  driver_write_report(site, driver_exit_status(site), ms);
  return driver_exit_status(site);
}

int
driver_run(FileService *service, OptionTable *options, StrList *problems) {
  Arena *arena = arena_create_sized(GB(8), KB(64));
  ThreadContext *ctx = thread_context_get();
  Arena *scratch = ctx->scratch[0];
  u64 scratch_start = arena_pos(scratch);

  //- settings and the site
  bool stop = false;
  StrList said = {};
  SiteSettings settings = driver_read_settings(arena, options, &stop, &said);
  OsHandle lock = stop ? OsHandle{} : driver_lock_site(arena, settings.root);
  Site *site = push_struct(arena, Site);
  driver_site_init(site, arena, settings);
  site->file_service = service;
  site->start_us = os_now_micros();
  site->scratch_start = scratch_start;
  for (StrNode *n = problems ? problems->first : 0; n; n = n->next) driver_problem(site, n->string);
  for (StrNode *n = said.first; n; n = n->next) driver_problem(site, n->string);

  //- link checker
  if (settings.check_urls && settings.ca_file.length) {
    // Without its certificates every secure address would look broken: said once here.
    ArenaTemp ca = scratch_begin(&arena, 1);
    StrView pem = os_read_file(ca.arena, settings.ca_file);
    if (!pem.length) {
      const char *why = os_last_error_code() ? os_last_error() : "the file is empty";
      console_eprintf("qilsite: cannot read ca_file '%.*s': %s\n", str_expand(settings.ca_file), why);
      driver_problem(site, str_pushf(arena, "cannot read ca_file '%S': %s", &settings.ca_file, why));
    }
    scratch_end(ca);
  }
  if (settings.check_urls) {
    console_printf("[check urls]\n");
    LinkCheckSettings link_settings = {};
    link_settings.consent_url = settings.consent_url;
    link_settings.ca_file = settings.ca_file;
    link_settings.retries = settings.link_retries;
    link_settings.timeout_s = settings.link_timeout_s;
    link_settings.accept = settings.link_accept;
    link_settings.redirects = settings.link_redirects;
    link_settings.host_rate = settings.link_host_rate;
    //- the exclude file beside the searchers configuration: one pattern a line, "#" comments
    link_settings.exclude = settings.link_exclude;
    StrView exclude_path = str_pushf(arena, "%Sqilsite_exclude.txt", &settings.local);
    StrView exclude_text = settings.local.length ? os_read_file(arena, exclude_path) : StrView{};
    for (u64 at = 0; at < exclude_text.length;) {
      u64 eol = str_find(exclude_text, at, str_lit("\n"), 0);
      StrView line = str_trim_whitespace(str_substr(exclude_text, at, eol));
      at = eol + 1;
      if (line.length && line.data[0] != '#') str_list_push(arena, &link_settings.exclude, line);
    }
    link_settings.preview = driver_cut_previews;
    link_settings.preview_user = site;
    // Only below a root that is there: a run never makes the root for its answers.
    if (settings.link_cache && (os_path_properties(settings.root).flags & FilePropertyFlag_Folder)) {
      link_settings.cache_path = str_pushf(arena, "%S.qilsite.links", &settings.root);
      link_settings.cache_age_s = settings.link_cache_age_s;
    }
    site->links = linkcheck_start(link_settings);
    if (!site->links) {
      // Said by the checker; the run goes on without, but did not do all it was asked.
      site->settings.check_urls = 0;
      driver_problem(site, str_lit("web links were not checked: the link checker could not start"));
    }
  }

  //- discovery; under listen it also asks the kernel to watch every folder it walks
  fs_set_scanning(service, settings.listen);
  if (!stop) {
    if (!os_path_exists(settings.target)) {
      console_eprintf("qilsite: target_path '%.*s': %s\n", str_expand(settings.target), os_last_error());
      driver_problem(site, str_pushf(arena, "target_path '%S': %s", &settings.target, os_last_error()));
      stop = true;
    } else {
      u64 unlisted = 0;
      site->queued = driver_discover(service, arena, settings.target, &unlisted);
      SiteCount(site, read_failures, unlisted);
      driver_manifest_drop_outputs(site, &site->queued);
      site->target_real = driver_target_real(arena, settings.target);
    }
  }

  //- searchers configuration
  StrView searchers_path = str_pushf(arena, "%Skn_searchs.txt", &settings.local);
  site->searchers_text = os_read_file(arena, searchers_path);
  u32 searchers_error = os_last_error_code();
  if (!site->searchers_text.length && searchers_error && !os_error_is_missing(searchers_error)) {
    // A missing file means no previews; one that is there but unreadable is a mistake.
    console_eprintf("qilsite: cannot read '%.*s': %s; no link previews\n", str_expand(searchers_path), os_last_error());
    driver_problem(site, str_pushf(arena, "cannot read '%S': %s", &searchers_path, os_last_error()));
  }
  site->finders = conf_read_text(arena, site->searchers_text);
  driver_memo_read(site);
  if (!stop && (settings.check_file_paths || settings.check_fragments)) driver_plan_outputs(site);
  arena_pop_to(scratch, scratch_start);
  if (stop) {
    linkcheck_store_close(site->links);
    console_flush();
    int status = driver_finish(site);
    os_close_file(lock);
    arena_release(site->pages_arena);
    arena_release(arena);
    return status;
  }

  //- rounds; without listen nobody edits what was read, so nothing is scanned for edits
  bool serve_failed = false;
  if (!settings.listen) site->shared_records = arena_create_sized(GB(64), MB(1));
  for (u64 round = 0;; round += 1) {
    // Pages edited since are read again for their ids.
    driver_ids_forget(site);
    driver_process_files(site);
    if (settings.listen && round > 0) {
      // With the kernel watching, sources are looked at again only once a file was
      // loaded again, and the target is listed again only once a new name appeared.
      bool watched = fs_watching(service);
      u64 loads = fs_load_count(service);
      u64 names = fs_new_names(service);
      if (!watched || loads != site->seen_loads) {
        site->seen_loads = loads;
        driver_pick_up_changes(site);
      }
      if (!watched || names != site->seen_names) {
        site->seen_names = names;
        driver_pick_up_new_files(site);
      }
    }
    // Every page of the round is on disk before anything is reported or built again.
    emit_finish(site);
    bool waits = driver_some_page_waits(site);
    if (waits) driver_show_progress(site, false);
    if (settings.listen) os_sleep_ms(300);
    else if (waits) driver_wait_for_answers(site, 300);
    bool all_reported = true;
    u64 reported = 0;
    for (PageRecord *r = site->first_page; r; r = r->next) {
      if (r->state == PageState_Reported) continue;
      if (!driver_page_ready(site, r)) {
        all_reported = false;
        continue;
      }
      if (site->progress_shown) driver_show_progress(site, true);
      driver_report_page(site, r);
      reported += 1;
      arena_pop_to(scratch, scratch_start);
    }
    //- once every page is out, the manifest and the index list them
    if ((reported || site->round.sources_deleted) && all_reported) {
      if (!site->root_real.length) site->root_real = os_real_path(arena, settings.root);
      driver_manifest_update(site);
      driver_report_index(site);
      driver_memo_write(site);
      arena_pop_to(scratch, scratch_start);
    }
    console_flush();
    //- serve: the server starts once the first build is out
    if (site->settings.serve && all_reported && !driver_serve_begin(site)) {
      serve_failed = true;
      break;
    }
    if (!settings.listen && all_reported && linkcheck_in_progress(site->links) == 0) break;
    //- under listen, a line for each round that did work
    if (settings.listen && all_reported && !driver_stats_empty(&site->round)) {
      driver_print_summary(site, &site->round, false);
      site->round = SiteStats{};
      linkcheck_store_save(site->links);
      // A listen run ends only when stopped: its report follows each round that did work.
      driver_write_report(site, driver_exit_status(site), (os_now_micros() - site->start_us) / 1000);
    }
  }
  driver_serve_end(site);
  emit_close(site);
  linkcheck_store_save(site->links);
  linkcheck_store_close(site->links);
  driver_show_progress(site, true);
  console_flush();
  driver_print_summary(site, &site->total, true);
  int status = driver_finish(site);
  // A server that could not start is a run that did not do what was asked.
  if (serve_failed) status = DriverExit_Invocation;
  if (site->shared_records) arena_release(site->shared_records);
  if (site->record_pool) arena_release(site->record_pool);
  os_close_file(lock);
  arena_release(site->pages_arena);
  arena_release(arena);
  return status;
}
