// The build driver: set-up, rounds and the end of a run.
#include "driver/driver_build.h"

#include <string.h>

#include "base/base_format.h"
#include "gen/gen_page.h"
#include "net/net_linkcheck.h"
#include "os/os_core.h"

static PageQueue *page_queue;
static DocumentSet *document_set;

PageQueue *
driver_page_queue(void) {
  return page_queue;
}

DocumentSet *
driver_document_set(void) {
  return document_set;
}

void
driver_services_init(void) {
  content_registry_init();
  fs_init();
}

//~ Set-up

static DriverSettings
driver_read_settings(Arena *arena, OptionTable *options, bool *stop) {
  DriverSettings s = {};
  s.target = option_value(options, str_lit("target_path"));
  StrView root = path_ensure_trailing_slash(arena, option_value(options, str_lit("root_path")));
  StrView server_root = path_ensure_trailing_slash(arena, option_value(options, str_lit("server_root_path")));
  s.local = path_ensure_trailing_slash(arena, option_value(options, str_lit("local_path")));
  s.destination = option_value(options, str_lit("dest_path"));
  s.listen = option_switch(options, str_lit("listen"));
  s.check_urls = option_switch(options, str_lit("check_urls"));
  s.check_file_paths = option_switch(options, str_lit("check_file_paths"));
  s.print_todos = option_switch(options, str_lit("print_todos"));
  s.consent_url = option_value(options, str_lit("consent_url"));
  s.ca_file = option_value(options, str_lit("ca_file"));
  s.strict = option_switch(options, str_lit("strict"));

  if (s.target.length == 0) {
    console_printf("No file to parse provided, use 'target_path' argument\n");
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

static void
driver_create_queues(DriverSettings *s) {
  if (page_queue) return;
  Arena *qa = arena_create_sized(MB(64), KB(64));
  page_queue = push_struct(qa, PageQueue);
  page_queue->arena = qa;
  page_queue->destination_path = str_push_copy(qa, s->destination);
  page_queue->root_path = str_push_copy(qa, s->root);
  page_queue->check_urls = s->check_urls;
  page_queue->print_todos = s->print_todos;
  Arena *da = arena_create_sized(MB(64), KB(64));
  document_set = push_struct(da, DocumentSet);
  document_set->arena = da;
  document_set->root_path = str_push_copy(da, s->root);
  document_set->check_file_paths = s->check_file_paths;
  document_set->check_urls = s->check_urls;
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
driver_source_content(DriverSource *src, FileSnapshot snap, StrView *content) {
  //- hold the loaded content; a newer load may have replaced it meanwhile: ask again
  while (!content_acquire(snap.key, content)) {
    FileSnapshot again = file_request(src->path, DEADLINE_NONE);
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

// The content the source's records were built from before, given back once they are rebuilt.
static void
driver_release_previous(DriverSource *src) {
  content_release(src->previous_key);
  src->previous_key = ContentKey{};
}

void
driver_process_files(DriverRun *run) {
  StrNode *ahead = run->files.first;
  for (u64 i = 0; ahead && i < DRIVER_PREFETCH; i += 1, ahead = ahead->next) file_request(ahead->string, 0);
  while (run->files.first) {
    if (ahead) {
      file_request(ahead->string, 0);
      ahead = ahead->next;
    }
    StrNode *node = run->files.first;
    SLLQueuePop(run->files.first, run->files.last);
    run->files.node_count -= 1;
    DriverSource *src = push_struct(run->arena, DriverSource);
    src->path = node->string;
    SLLQueuePush(run->first_source, run->last_source, src);
    DriverSource **slot = &run->source_slots[str_hash_djb2(src->path) % DRIVER_SOURCE_SLOTS];
    src->hash_next = *slot;
    *slot = src;
    FileSnapshot snap = file_request(node->string, DEADLINE_NONE);
    StrView content = {};
    if (snap.ok && driver_source_content(src, snap, &content)) driver_process_file(run, src, content);
  }
}

// Listen mode: a source whose content changed since it was processed goes through its
// pipeline again, and its records are filled again in place.
static bool
driver_source_known(DriverRun *run, StrView path) {
  for (DriverSource *s = run->source_slots[str_hash_djb2(path) % DRIVER_SOURCE_SLOTS]; s; s = s->hash_next) {
    if (str_equal(s->path, path)) return true;
  }
  return false;
}

// Listen mode: files made in the target since the last look join the run like the others.
static void
driver_pick_up_new_files(DriverRun *run) {
  ArenaTemp scratch = scratch_begin(&run->arena, 1);
  StrList found = driver_discover(scratch.arena, run->settings.target);
  for (StrNode *n = found.first; n; n = n->next) {
    if (driver_source_known(run, n->string)) continue;
    str_list_push(run->arena, &run->files, str_push_copy(run->arena, n->string));
    DriverCount(run, sources_new, 1);
  }
  scratch_end(scratch);
  driver_process_files(run);
}

static void
driver_pick_up_changes(DriverRun *run) {
  for (DriverSource *src = run->first_source; src; src = src->next) {
    // Editors often save by removing the file and writing it anew: a source that is
    // back is built again (its records are still the ones it had).
    if (src->deleted) {
      if (!os_path_exists(src->path)) continue;
      src->deleted = 0;
      DriverCount(run, sources_new, 1);
    }
    FileSnapshot snap = file_request(src->path, os_now_micros());
    if (!snap.ok || content_key_equal(snap.key, src->key)) continue;
    // A source that is gone keeps the page it published; it is said once.
    if (!os_path_exists(src->path)) {
      src->deleted = 1;
      DriverCount(run, sources_deleted, 1);
      continue;
    }
    StrView content = {};
    // An unreadable file leaves the records built before (and the content they use) alone.
    if (driver_source_content(src, snap, &content)) {
      driver_process_file(run, src, content);
      driver_release_previous(src);
    }
  }
}

static bool
driver_some_page_waits(DriverRun *run) {
  for (PageRecord *r = page_queue->first; r; r = r->next) {
    if (!r->reported && !driver_page_ready(run, r)) return true;
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
driver_stats_empty(DriverStats *st) {
  DriverStats zero = {};
  return memcmp(st, &zero, sizeof zero) == 0;
}

// Two lines at most on standard error: what was built and kept, then the links and the time.
static void
driver_print_summary(DriverRun *run, DriverStats *st, bool with_time) {
  ArenaTemp scratch = scratch_begin(&run->arena, 1);
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
  driver_part(&parts, a, st->drafts, "draft", "drafts");
  driver_part(&parts, a, st->unpublished, "document without a usable output_path",
              "documents without a usable output_path");
  driver_part(&parts, a, st->sources_new, "new source", "new sources");
  driver_part(&parts, a, st->sources_deleted, "source deleted (its page stays)", "sources deleted (their pages stay)");
  str_list_pushf(a, &parts, "%I64u %s, %I64u %s", st->errors, st->errors == 1 ? "error" : "errors", st->warnings,
                 st->warnings == 1 ? "warning" : "warnings");
  StrView line = str_list_join(a, &parts, &comma);
  console_eprintf("qilsite: %.*s\n", str_expand(line));

  StrList second = {};
  if (page_queue->check_urls) {
    str_list_pushf(a, &second, "%I64u web %s checked: %I64u broken, %I64u redirected, %I64u noted", st->links_checked,
                   st->links_checked == 1 ? "link" : "links", st->links_broken, st->links_redirected,
                   st->links_noted);
  }
  if (with_time) {
    u64 ms = (os_now_micros() - run->start_us) / 1000;
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
driver_show_progress(DriverRun *run, bool done) {
  if (!page_queue->check_urls || !os_stderr_is_terminal()) return;
  if (done) {
    if (run->progress_shown) console_eprintf("\r\x1b[K");
    run->progress_shown = 0;
    return;
  }
  u64 queued = 0, answered = 0;
  for (PageRecord *r = page_queue->first; r; r = r->next) {
    for (PageWebLink *l = r->first_web_link; l; l = l->next) {
      queued += 1;
      if (linkcheck_fetch_ended(run->links, l->url)) answered += 1;
    }
  }
  if (!queued) return;
  console_eprintf("\r\x1b[Kqilsite: web links answered: %llu of %llu", (unsigned long long)answered,
                  (unsigned long long)queued);
  run->progress_shown = 1;
}

// A round's pause while pages wait for their links: it ends early once the link checker
// has nothing left in progress, so the last answers are reported without a round's delay.
static void
driver_wait_for_answers(DriverRun *run, u64 ms) {
  u64 end = os_now_micros() + ms * 1000;
  while (os_now_micros() < end) {
    os_sleep_ms(5);
    if (linkcheck_in_progress(run->links) == 0 && !driver_some_page_waits(run)) return;
  }
}

static bool
driver_found_errors(DriverStats *st) {
  return st->errors || st->links_broken || st->write_failures;
}

int
driver_run(OptionTable *options) {
  DriverRun run = {};
  run.arena = arena_create_sized(GB(8), KB(64));
  run.start_us = os_now_micros();
  ThreadContext *ctx = thread_context_get();
  Arena *scratch = ctx->scratch[0];
  run.scratch_start = arena_pos(scratch);

  //- settings and queues
  bool stop = false;
  run.settings = driver_read_settings(run.arena, options, &stop);
  driver_create_queues(&run.settings);
  gen_site_begin(run.arena, run.settings.root);
  run.root_real = os_real_path(run.arena, run.settings.root);

  //- link checker
  if (run.settings.check_urls) {
    console_printf("[check urls]\n");
    LinkCheckSettings link_settings = {run.settings.consent_url, run.settings.ca_file};
    run.links = linkcheck_start(link_settings);
    if (!run.links) page_queue->check_urls = 0;
  }

  //- discovery; under listen it also asks the kernel to watch every folder it walks
  fs_set_scanning(run.settings.listen);
  if (!stop) {
    if (!os_path_exists(run.settings.target)) {
      console_eprintf("qilsite: target_path '%.*s': %s\n", str_expand(run.settings.target), os_last_error());
      stop = true;
    } else {
      run.files = driver_discover(run.arena, run.settings.target);
      run.target_real = driver_target_real(run.arena, run.settings.target);
    }
  }

  //- searchers configuration
  StrView searchers_path = str_pushf(run.arena, "%Skn_searchs.txt", &run.settings.local);
  run.searchers_text = os_read_file(run.arena, searchers_path);
  run.finders = conf_read_text(run.arena, run.searchers_text);
  arena_pop_to(scratch, run.scratch_start);
  if (stop) {
    console_flush();
    arena_release(run.arena);
    return 0;
  }

  //- rounds; without listen nobody edits what was read, so nothing is scanned for edits
  driver_share_record_arenas(!run.settings.listen);
  for (u64 round = 0;; round += 1) {
    driver_process_files(&run);
    if (run.settings.listen && round > 0) {
      // With the kernel watching, sources are looked at again only once a file was
      // loaded again, and the target is listed again only once a new name appeared.
      bool watched = fs_watching();
      u64 loads = fs_load_count();
      u64 names = fs_new_names();
      if (!watched || loads != run.seen_loads) {
        run.seen_loads = loads;
        driver_pick_up_changes(&run);
      }
      if (!watched || names != run.seen_names) {
        run.seen_names = names;
        driver_pick_up_new_files(&run);
      }
    }
    // Every page of the round is on disk before anything is reported or built again.
    driver_writer_finish(&run);
    bool waits = driver_some_page_waits(&run);
    if (waits) driver_show_progress(&run, false);
    if (run.settings.listen) os_sleep_ms(300);
    else if (waits) driver_wait_for_answers(&run, 300);
    bool all_reported = true;
    u64 reported = 0;
    for (PageRecord *r = page_queue->first; r; r = r->next) {
      if (r->reported) continue;
      if (!driver_page_ready(&run, r)) {
        all_reported = false;
        continue;
      }
      if (run.progress_shown) driver_show_progress(&run, true);
      driver_report_page(&run, r);
      reported += 1;
      arena_pop_to(scratch, run.scratch_start);
    }
    //- once every page is out, the index lists them
    if (reported && all_reported) {
      if (!run.root_real.length) run.root_real = os_real_path(run.arena, run.settings.root);
      driver_report_index(&run);
      arena_pop_to(scratch, run.scratch_start);
    }
    console_flush();
    if (!run.settings.listen && all_reported && linkcheck_in_progress(run.links) == 0) break;
    //- under listen, a line for each round that did work
    if (run.settings.listen && all_reported && !driver_stats_empty(&run.round)) {
      driver_print_summary(&run, &run.round, false);
      run.round = DriverStats{};
    }
  }
  driver_show_progress(&run, true);
  console_flush();
  driver_print_summary(&run, &run.total, true);
  int status = run.settings.strict && driver_found_errors(&run.total) ? 1 : 0;
  arena_release(run.arena);
  return status;
}
