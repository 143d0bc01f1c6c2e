// The manifest: which files below the site root this tool wrote, and from which source.
// A document may only have its page where no file is, or where a file this tool wrote
// is; what a source no longer makes is removed, and nothing else ever is; and what the
// tool wrote is never read back as a source.
//
// The file ".qilsite.manifest" below the root holds one line per output: its path
// relative to the root, a tab, and the absolute path of the source that made it. A site
// built before there was a manifest adopts, once, the files that carry the marks of a
// generated page (see driver_manifest_adoptable); a file without them is never taken.
#include "base/base_format.h"
#include "driver/driver_build.h"
#include "emit/emit.h"
#include "os/os_core.h"
#include "site/site_path.h"

//~ Keys

// A path as a key: absolute, folded; empty when it cannot be made so.
static StrView
driver_manifest_absolute(Arena *arena, Site *site, StrView path) {
  StrView p = path;
  if (!(p.length && p.data[0] == '/')) p = str_pushf(arena, "%S/%S", &site->manifest.cwd, &path);
  return site_path_fold(arena, p);
}

StrView
driver_manifest_key(Arena *arena, Site *site, StrView path) {
  StrView abs = driver_manifest_absolute(arena, site, path);
  StrView root = site->manifest.root;
  if (!root.length || abs.length <= root.length + 1 || !str_equal(str_prefix(abs, root.length), root) ||
      abs.data[root.length] != '/') {
    return StrView{};
  }
  return str_skip(abs, root.length + 1);
}

static ManifestEntry **
driver_manifest_slot(SiteManifest *m, StrView key) {
  return &m->slots[str_hash_djb2(key) % MANIFEST_SLOTS];
}

static ManifestEntry *
driver_manifest_find(SiteManifest *m, StrView key) {
  for (ManifestEntry *e = *driver_manifest_slot(m, key); e; e = e->next) {
    if (str_equal(e->output, key)) return e;
  }
  return 0;
}

static ManifestEntry *
driver_manifest_put(Site *site, StrView key, StrView source) {
  SiteManifest *m = &site->manifest;
  ManifestEntry *e = driver_manifest_find(m, key);
  if (!e) {
    e = push_struct(site->arena, ManifestEntry);
    e->output = str_push_copy(site->arena, key);
    ManifestEntry **slot = driver_manifest_slot(m, key);
    e->next = *slot;
    *slot = e;
    if (m->last) m->last->next_in_order = e;
    else m->first = e;
    m->last = e;
  }
  e->source = str_push_copy(site->arena, source);
  return e;
}

//~ Reading

void
driver_manifest_read(Site *site) {
  SiteManifest *m = &site->manifest;
  Arena *arena = site->arena;
  m->cwd = os_current_dir(arena);
  m->root = driver_manifest_absolute(arena, site, site->settings.root);
  while (m->root.length > 1 && m->root.data[m->root.length - 1] == '/') m->root.length -= 1;
  m->path = str_pushf(arena, "%S.qilsite.manifest", &site->settings.root);
  m->target = driver_manifest_absolute(arena, site, site->settings.target);
  m->index = driver_manifest_absolute(arena, site, site->files.index_path);
  m->head = driver_manifest_absolute(arena, site, site->files.head_path);
  m->self = driver_manifest_absolute(arena, site, m->path);
  StrView text = os_read_file(arena, m->path);
  u32 error = os_last_error_code();
  m->found = error == 0;
  if (error && !os_error_is_missing(error)) {
    // Unreadable: nothing is adopted either, so no user's file can be taken for ours.
    console_eprintf("qilsite: cannot read '%.*s': %s\n", str_expand(m->path), os_last_error());
    m->found = 1;
  }
  for (u64 at = 0; at < text.length;) {
    u64 end = str_find(text, at, str_lit("\n"), 0);
    StrView line = str_substr(text, at, end);
    at = end + 1;
    if (!line.length || line.data[0] == '#') continue;
    u64 tab = str_find(line, 0, str_lit("\t"), 0);
    if (tab == 0 || tab >= line.length) continue;
    ManifestEntry *e = driver_manifest_put(site, str_prefix(line, tab), str_skip(line, tab + 1));
    e->listed = 1;
  }
}

//~ May a page go there

// The marks every generated page and raw view carries: our doctype, the reset of every
// style and the body container. A page written by hand has not all three.
static bool
driver_manifest_adoptable(Arena *arena, StrView path) {
  ArenaTemp scratch = scratch_begin(&arena, 1);
  StrView text = os_read_file(scratch.arena, path);
  bool ours = str_find(text, 0, str_lit("<!DOCTYPE html >"), 0) == 0 &&
              str_find(text, 0, str_lit("<style>*{all:unset;}</style>"), 0) < text.length &&
              str_find(text, 0, str_lit("<div id=\"b_w\""), 0) < text.length;
  scratch_end(scratch);
  return ours;
}

// Whether the absolute path is one of the run's sources: anything in the target but what
// this tool wrote there (discovery takes every file; the target may be the root).
static bool
driver_manifest_is_source(Site *site, StrView abs, bool ours) {
  StrView target = site->manifest.target;
  if (str_equal(abs, target)) return true;
  bool inside = abs.length > target.length + 1 && str_equal(str_prefix(abs, target.length), target) &&
                abs.data[target.length] == '/';
  return inside && !ours;
}

StrView
driver_manifest_refusal(Arena *arena, Site *site, StrView path) {
  ArenaTemp scratch = scratch_begin(&arena, 1);
  Arena *a = scratch.arena;
  StrView why = {};
  StrView abs = driver_manifest_absolute(a, site, path);
  StrView key = driver_manifest_key(a, site, path);
  ManifestEntry *listed = key.length ? driver_manifest_find(&site->manifest, key) : 0;
  bool ours = listed && listed->listed;
  FileStatus st = {};
  //- the site's own files and the run's sources are never outputs
  if (str_equal(abs, site->manifest.index)) {
    why = str_lit("the site's index page");
  } else if (str_equal(abs, site->manifest.head)) {
    why = str_lit("the site's shared head");
  } else if (str_equal(abs, site->manifest.self)) {
    why = str_lit("this tool's manifest");
  } else if (ours) {
    // Its own file, whether it is there or not: only the target itself is never one.
    if (str_equal(abs, site->manifest.target)) why = str_lit("a source of this run");
  } else if (os_path_status(path, &st)) {
    //- a file already there: a source, ours, or adopted once from a site built before manifests
    if (driver_manifest_is_source(site, abs, ours)) {
      why = str_lit("a source of this run");
    } else {
      if (!ours && !site->manifest.found && !(st.props.flags & (FilePropertyFlag_Folder | FilePropertyFlag_Special))) {
        ours = driver_manifest_adoptable(a, path);
      }
      if (!ours) why = str_lit("a file this tool did not write");
    }
  }
  scratch_end(scratch);
  return why;
}

//~ After a round

// The source of a record as the manifest names it.
static StrView
driver_manifest_source(Arena *arena, Site *site, DriverSource *src) {
  return driver_manifest_absolute(arena, site, src->path);
}

// Whether a source lies where this run looks: its outputs are this run's to keep or drop.
static bool
driver_manifest_in_scope(Site *site, StrView source) {
  StrView target = site->manifest.target;
  if (str_equal(source, target)) return true;
  return source.length > target.length + 1 && str_equal(str_prefix(source, target.length), target) &&
         source.data[target.length] == '/';
}

void
driver_manifest_update(Site *site) {
  SiteManifest *m = &site->manifest;
  ArenaTemp scratch = scratch_begin(&site->arena, 1);
  Arena *a = scratch.arena;
  for (ManifestEntry *e = m->first; e; e = e->next_in_order) e->kept = 0;
  bool changed = false;

  //- what the sources of this run make now
  for (DriverSource *src = site->first_source; src; src = src->next) {
    PageRecord *r = src->record;
    if (src->deleted || !r || r->kind != PageKind_Generated || !r->path.length) continue;
    StrView source = driver_manifest_source(a, site, src);
    StrView outputs[2] = {r->path, r->raw_path};
    for (u32 i = 0; i < 2; i += 1) {
      if (!outputs[i].length) continue;  // no raw view
      StrView key = driver_manifest_key(a, site, outputs[i]);
      if (!key.length) continue;
      ManifestEntry *e = driver_manifest_find(m, key);
      // A write that failed this time leaves what was there, and ours it stays.
      if (r->write_failed) {
        if (e) e->kept = 1;
        continue;
      }
      if (!e || !e->listed || !str_equal(e->source, source)) {
        e = driver_manifest_put(site, key, source);
        changed = true;
      }
      e->listed = 1;
      e->kept = 1;
    }
  }

  //- what sources of this run made before and make no more: removed, being ours
  for (ManifestEntry *e = m->first; e; e = e->next_in_order) {
    if (!e->listed || e->kept || !e->source.length || !driver_manifest_in_scope(site, e->source)) continue;
    e->listed = 0;
    changed = true;
    StrView path = str_pushf(a, "%S/%S", &m->root, &e->output);
    emit_remove_output(site, path, e->source);
  }
  //- the site's default style sheet and its fonts are ours, whatever made them
  for (u64 i = 0; site->files.sheets_written && i <= gen_font_file_count; i += 1) {
    StrView path = i == 0 ? site->files.default_css_path : emit_font_path(a, site, i - 1);
    StrView sheet = driver_manifest_key(a, site, path);
    if (!sheet.length) continue;
    ManifestEntry *e = driver_manifest_find(m, sheet);
    if (!e || !e->listed) {
      e = driver_manifest_put(site, sheet, StrView{});
      changed = true;
    }
    e->listed = 1;
  }
  //- the pages of deleted sources are gone with them: the index no longer lists them
  for (DriverSource *src = site->first_source; src; src = src->next) {
    if (src->deleted && src->record && src->record->kind == PageKind_Generated) src->record->path = StrView{};
  }

  if (changed || !m->found) {
    StrList lines = {};
    str_list_push(a, &lines, str_lit("# qilsite manifest: the files this tool wrote, and their sources\n"));
    for (ManifestEntry *e = m->first; e; e = e->next_in_order) {
      if (e->listed) str_list_pushf(a, &lines, "%S\t%S\n", &e->output, &e->source);
    }
    if (emit_manifest(site, str_list_join(a, &lines, 0))) m->found = 1;
  }
  scratch_end(scratch);
}

//~ Discovery

void
driver_manifest_drop_outputs(Site *site, StrList *files) {
  ArenaTemp scratch = scratch_begin(&site->arena, 1);
  StrList kept = {};
  StrView index = driver_manifest_key(scratch.arena, site, site->files.index_path);
  for (StrNode *n = files->first, *next = 0; n; n = next) {
    next = n->next;
    StrView key = driver_manifest_key(scratch.arena, site, n->string);
    ManifestEntry *e = key.length ? driver_manifest_find(&site->manifest, key) : 0;
    // What this tool wrote is never read back as a source (target_path may be the root),
    // nor the index page, which the run refills and writes itself.
    if ((e && e->listed) || (key.length && str_equal(key, index))) continue;
    n->next = 0;
    if (kept.last) kept.last->next = n;
    else kept.first = n;
    kept.last = n;
    kept.node_count += 1;
    kept.total_size += n->string.length;
  }
  *files = kept;
  scratch_end(scratch);
}
