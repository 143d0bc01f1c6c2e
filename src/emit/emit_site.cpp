// Pages and the site's shared files written, and what writing came to counted, in one place.
#include "emit/emit.h"

#include "base/base_format.h"
#include "html/html_core.h"
#include "os/os_core.h"

//~ Pages

EmitTexts
emit_make_texts(Arena *arena, Site *site, PageRecord *record, HtmlNode *tree) {
  EmitTexts texts = {};
  if (record->kind == PageKind_HandWritten) {
    texts.page = gen_page_text(arena, tree, record->source);
    return texts;
  }
  texts.page = gen_page_text(arena, tree, {});
  if (record->document && record->raw_path.length) {
    StrView back = str_skip_last_slash(record->path);
    PageResult raw =
        build_raw_page(arena, &site->shared, record->source, record->source_path, record->raw_path, back,
                       record->title);
    texts.raw = gen_page_text(arena, raw.document, {});
  }
  return texts;
}

EmitOutcome
emit_write_texts(Arena *arena, Site *site, PageRecord *record, EmitTexts *texts, WritePending *defer) {
  EmitOutcome outcome = {};
  if (record->kind == PageKind_HandWritten) {
    // Replaced only while the file still holds what was parsed, and synced, being the
    // author's only copy.
    WriteExpect expect = {record->source, record->source_modified};
    WriteOptions options = {&expect, site->target_real, 0, defer, arena};
    outcome.page = emit_replace_file(record->path, texts->page, &options);
    return outcome;
  }
  // Generated files are not synced one by one: a crash costs only a rebuild.
  WriteOptions options = {0, site->root_real, 1};
  outcome.page = emit_replace_file(record->path, texts->page, &options);
  if (record->document && record->raw_path.length) {
    outcome.has_raw = 1;
    outcome.raw = emit_replace_file(record->raw_path, texts->raw, &options);
  }
  return outcome;
}

static bool
emit_written(WriteStatus status) {
  return status == WriteStatus_Written || status == WriteStatus_Unchanged;
}

// Serve's pages reload when their file changed: a generated page or raw view written
// anew, and a hand-written page built again (its source is the page served).
static void
emit_tell_changed(Site *site, PageRecord *record, EmitOutcome outcome) {
  if (!site->on_output) return;
  if (record->kind == PageKind_HandWritten) {
    if (emit_written(outcome.page) || outcome.page == WriteStatus_Changed) site->on_output(site, record->path);
    return;
  }
  if (outcome.page == WriteStatus_Written) site->on_output(site, record->path);
  if (outcome.has_raw && outcome.raw == WriteStatus_Written) site->on_output(site, record->raw_path);
}

void
emit_count(Site *site, PageRecord *record, EmitOutcome outcome) {
  emit_tell_changed(site, record, outcome);
  if (record->kind == PageKind_HandWritten) {
    // Only a page that already held its serialisation is the same file next time.
    if (record->memo && record->memo->outcome == MemoOutcome_Unchanged) {
      record->memo->usable = outcome.page == WriteStatus_Unchanged;
    }
    switch (outcome.page) {
      case WriteStatus_Written: SiteCount(site, pages_rewritten, 1); break;
      case WriteStatus_Unchanged: SiteCount(site, pages_unchanged, 1); break;
      case WriteStatus_Changed:
      case WriteStatus_Missing: SiteCount(site, kept_changed, 1); break;
      case WriteStatus_Outside: SiteCount(site, kept_outside, 1); break;
      default: SiteCount(site, write_failures, 1); break;
    }
    return;
  }
  // A page or raw view not written as made is made again next time.
  if (record->memo && (!emit_written(outcome.page) || (outcome.has_raw && !emit_written(outcome.raw)))) {
    record->memo->usable = 0;
  }
  if (emit_written(outcome.page)) {
    SiteCount(site, pages_generated, 1);
  } else {
    SiteCount(site, write_failures, 1);
    record->write_failed = 1;
  }
  if (!outcome.has_raw) return;
  if (emit_written(outcome.raw)) SiteCount(site, raw_views, 1);
  else SiteCount(site, write_failures, 1);
}

void
emit_page_now(Site *site, Arena *arena, PageRecord *record, HtmlNode *tree) {
  EmitTexts texts = emit_make_texts(arena, site, record, tree);
  emit_count(site, record, emit_write_texts(arena, site, record, &texts, 0));
}

void
emit_kept(Site *site, PageRecord *record) {
  if (record->html && record->html->parse_errors) SiteCount(site, kept_parse_error, 1);
  else SiteCount(site, kept_no_markup, 1);
}

//~ Shared files

StrView
emit_font_path(Arena *arena, Site *site, u64 index) {
  StrView root = site->settings.root;
  return str_pushf(arena, "%S" GEN_FONT_FOLDER "%S", &root, &gen_font_files[index].name);
}

void
emit_sheets(Site *site) {
  SiteSharedFiles *f = &site->files;
  if (f->sheets_written) return;
  f->sheets_written = 1;
  // Written through the safe writer: a failure leaves the old sheet whole and is said.
  WriteOptions generated = {0, {}, 1};
  if (!emit_written(emit_replace_file(f->default_css_path, site->shared.default_css, &generated))) {
    SiteCount(site, write_failures, 1);
  }
  // The fonts the default sheet declares, beside it; a file that already holds the same
  // bytes is left as it is.
  ArenaTemp scratch = scratch_begin(0, 0);
  for (u64 i = 0; i < gen_font_file_count; i += 1) {
    StrView path = emit_font_path(scratch.arena, site, i);
    if (!emit_written(emit_replace_file(path, gen_font_files[i].bytes, &generated))) SiteCount(site, write_failures, 1);
  }
  scratch_end(scratch);
  if (f->tag_css_text.length) return;
  // A sheet that is there but cannot be read is the user's: it is not replaced.
  if (f->tag_css_error.length) {
    console_eprintf("qilsite: cannot read '%.*s': %.*s\n", str_expand(f->tag_css_path), str_expand(f->tag_css_error));
    SiteCount(site, read_failures, 1);
  } else if (!emit_written(emit_replace_file(f->tag_css_path, site->shared.tag_css, 0))) {
    SiteCount(site, write_failures, 1);
  }
}

bool
emit_index(Site *site, StrView text, const WriteExpect *expect) {
  WriteOptions options = {expect, {}, 0};
  WriteStatus status = emit_replace_file(site->files.index_path, text, &options);
  if (status == WriteStatus_Written && site->on_output) site->on_output(site, site->files.index_path);
  if (emit_written(status)) return true;
  SiteCount(site, write_failures, 1);
  return false;
}

void
emit_remove_output(Site *site, StrView path, StrView source) {
  FileStatus st;
  if (!os_path_status(path, &st)) return;
  if (st.props.flags & (FilePropertyFlag_Folder | FilePropertyFlag_Special)) return;
  if (os_delete_file(path)) {
    console_eprintf("qilsite: removed '%.*s': '%.*s' no longer makes it\n", str_expand(path), str_expand(source));
  } else {
    console_eprintf("qilsite: cannot remove '%.*s': %s\n", str_expand(path), os_last_error());
    SiteCount(site, write_failures, 1);
  }
}

bool
emit_manifest(Site *site, StrView text) {
  // Ours alone, and made again from the sources if lost: not forced to the disk.
  WriteOptions options = {0, {}, 1};
  if (emit_written(emit_replace_file(site->manifest.path, text, &options))) return true;
  SiteCount(site, write_failures, 1);
  return false;
}

void
emit_memo(StrView path, StrView text) {
  // Lost or stale, it costs a full build and nothing else: not forced to the disk, and a
  // failure to write it is said by the writer and not counted against the pages.
  WriteOptions options = {0, {}, 1};
  emit_replace_file(path, text, &options);
}

void
emit_index_refused(Site *site) {
  SiteCount(site, write_failures, 1);
}

//~ The report file

// The first bytes every report of a kind starts with; a SARIF report also names the tool
// early on.
bool
emit_is_our_report(StrView text, u32 kind) {
  switch (kind) {
    case EmitReport_Json: return str_match(str_lit("{\n  \"tool\": \"qilsite\","), text, StrMatchFlag_Prefix);
    case EmitReport_Sarif: {
      StrView head = str_lit("{\n  \"$schema\": \"https://json.schemastore.org/sarif-2.1.0.json\",");
      if (!str_match(head, text, StrMatchFlag_Prefix)) return false;
      return str_find(str_prefix(text, 1024), 0, str_lit("\"name\": \"qilsite\""), 0) < Min(text.length, (u64)1024);
    }
    case EmitReport_JUnit:
      return str_match(str_lit("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites name=\"qilsite\""), text,
                       StrMatchFlag_Prefix);
    default: return false;
  }
}

bool
emit_report(Site *, StrView path, StrView text, u32 kind) {
  ArenaTemp scratch = scratch_begin(0, 0);
  FileProperties props = os_path_properties(path);
  bool exists = os_path_exists(path);
  WriteExpect expect = {};
  bool ok = true;
  if (exists) {
    StrView old = (props.flags & (FilePropertyFlag_Folder | FilePropertyFlag_Special)) ? StrView{}
                                                                                        : os_read_file(scratch.arena, path);
    if (!emit_is_our_report(old, kind)) {
      console_eprintf("qilsite: the report was not written: '%.*s' is a file this tool did not write as a report\n",
                      str_expand(path));
      ok = false;
    }
    expect = WriteExpect{old, props.modified};
  }
  if (ok) {
    // Made again by the next run if lost: not forced to the disk.
    WriteOptions options = {exists ? &expect : 0, {}, 1};
    ok = emit_written(emit_replace_file(path, text, &options));
  }
  scratch_end(scratch);
  return ok;
}
