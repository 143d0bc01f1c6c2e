// The pages a run is about to write. With check_file_paths, a link to a page of this
// site counts as found when a document of the run makes that page, even before it is
// written: otherwise a first build warns about every link between its own pages, and
// a second build, finding them on disk, does not.
#include "base/base_format.h"
#include "doc/doc_core.h"
#include "driver/driver_build.h"
#include "os/os_core.h"
#include "site/site_path.h"

static DriverPlanned **
driver_planned_slot(Site *site, StrView folded) {
  return &site->planned[str_hash_djb2(folded) % DRIVER_PLANNED_SLOTS];
}

static void
driver_plan_add(Site *site, StrView path, StrView source) {
  ArenaTemp scratch = scratch_begin(&site->arena, 1);
  StrView folded = site_path_fold(scratch.arena, path);
  if (!driver_planned_find(site, folded)) {
    DriverPlanned *p = push_struct(site->arena, DriverPlanned);
    p->path = str_push_copy(site->arena, folded);
    p->source = str_push_copy(site->arena, source);
    DriverPlanned **slot = driver_planned_slot(site, p->path);
    p->next = *slot;
    *slot = p;
  }
  scratch_end(scratch);
}

void
driver_plan_outputs(Site *site) {
  DocParseOptions options = {site->settings.root};
  for (StrNode *n = site->queued.first; n; n = n->next) {
    if (!str_equal(str_skip_last_dot(n->string), str_lit("qil"))) continue;
    ArenaTemp scratch = scratch_begin(&site->arena, 1);
    StrView content = os_read_file(scratch.arena, n->string);
    //- what the last build made of it, when it is unchanged: no parse
    MemoEntry *memo = driver_memo_find(site, n->string);
    if (memo && memo->usable && content_key_equal(memo->key, content_key_from_bytes(content))) {
      if (memo->outcome == MemoOutcome_Page) driver_plan_add(site, memo->page, n->string);
      if (memo->outcome == MemoOutcome_Page && memo->raw.length) driver_plan_add(site, memo->raw, StrView{});
      scratch_end(scratch);
      continue;
    }
    DocParseResult doc = doc_parse_file(scratch.arena, content, n->string, &options);
    bool draft = str_match(doc.status, str_lit("draft"), StrMatchFlag_CaseInsensitive);
    // As the pipeline picks it: the first output path that names an "html" file.
    for (StrNode *o = doc.output_paths.first; !draft && o; o = o->next) {
      if (!o->string.length || !str_equal(str_skip_last_dot(o->string), str_lit("html"))) continue;
      if (!site_path_inside(scratch.arena, o->string, site->settings.root)) break;
      StrView page = site_path_fold_slashes(scratch.arena, o->string);
      driver_plan_add(site, page, n->string);
      if (!site->settings.no_raw_views) driver_plan_add(site, site_path_raw_view(scratch.arena, page), StrView{});
      break;
    }
    scratch_end(scratch);
  }
}

DriverPlanned *
driver_planned_find(Site *site, StrView folded) {
  if (!site || !folded.length) return 0;
  for (DriverPlanned *p = *driver_planned_slot(site, folded); p; p = p->next) {
    if (str_equal(p->path, folded)) return p;
  }
  return 0;
}

bool
driver_output_planned(Site *site, StrView folded) {
  return driver_planned_find(site, folded) != 0;
}
