// The build memo: what the last build made of each source, so that a build costs what
// changed. The file ".qilsite.memo" below the root opens with the key of what every
// page depends on (this program, the shared head and tag sheet, the searchers, the
// options that change pages, the folders); a memo made with other inputs is not used.
// Then one "S" line per source with its content key, what it made and the identity of
// the files it wrote, followed by what was said about it ("D"), the files its page
// depended on ("P") and its web links ("L"); an "E" line with the number of sources
// ends it. Fields are tab-separated, with "\\", "\t", "\n" and "\r" escaped. Anything
// the reader does not understand, a cut-off file included, means every source is built.
#include "base/base_format.h"
#include "doc/doc_core.h"
#include "driver/driver_build.h"
#include "emit/emit.h"
#include "gen/gen_render.h"
#include "html/html_core.h"
#include "net/net_link.h"
#include "os/os_core.h"
#include "site/site_url.h"

#define MEMO_HEADER "qilsite memo 1 "

//~ Stamps and keys

MemoStamp
driver_memo_stamp(StrView path) {
  MemoStamp s = {};
  FileStatus st = {};
  if (!path.length || !os_path_status(path, &st)) return s;
  s.size = st.props.size;
  s.modified = st.props.modified;
  s.inode = st.inode;
  s.exists = 1;
  return s;
}

static bool
driver_memo_stamp_equal(MemoStamp a, MemoStamp b) {
  return a.exists == b.exists && a.size == b.size && a.modified == b.modified && a.inode == b.inode;
}

// Everything every page depends on, as one key.
static ContentKey
driver_memo_inputs(Arena *arena, Site *site) {
  ArenaTemp scratch = scratch_begin(&arena, 1);
  Arena *a = scratch.arena;
  SiteSettings *s = &site->settings;
  // The program itself: another build of it may write other pages.
  ContentKey self = content_key_from_bytes(os_self_image(a));
  StrView cwd = os_current_dir(a);
  StrView head = site->files.head_text, sheet = site->shared.tag_css, searchers = site->searchers_text;
  StrList parts = {};
  str_list_pushf(a, &parts, "%016llx%016llx\n%S\n%S\n%S\n%S\n", (unsigned long long)self.hi,
                 (unsigned long long)self.lo, &cwd, &s->target, &s->root, &s->local);
  str_list_pushf(a, &parts, "raw %u files %u urls %u fragments %u\n", (u32)s->no_raw_views,
                 (u32)s->check_file_paths, (u32)s->check_urls, (u32)s->check_fragments);
  StrView texts[3] = {head, sheet, searchers};
  for (u32 i = 0; i < 3; i += 1) {
    ContentKey k = content_key_from_bytes(texts[i]);
    str_list_pushf(a, &parts, "%016llx%016llx %llu\n", (unsigned long long)k.hi, (unsigned long long)k.lo,
                   (unsigned long long)texts[i].length);
  }
  ContentKey key = content_key_from_bytes(str_list_join(a, &parts, 0));
  scratch_end(scratch);
  return key;
}

//~ Entries

static MemoEntry **
driver_memo_slot(SiteMemo *m, StrView source) {
  return &m->slots[str_hash_djb2(source) % MEMO_SLOTS];
}

MemoEntry *
driver_memo_find(Site *site, StrView source) {
  if (!site->memo.valid) return 0;
  for (MemoEntry *e = *driver_memo_slot(&site->memo, source); e; e = e->next) {
    if (str_equal(e->source, source)) return e;
  }
  return 0;
}

static void
driver_memo_insert(SiteMemo *m, MemoEntry *e) {
  MemoEntry **slot = driver_memo_slot(m, e->source);
  e->next = *slot;
  *slot = e;
  if (m->last) m->last->next_in_order = e;
  else m->first = e;
  m->last = e;
}

MemoEntry *
driver_memo_capture(Site *site, DriverSource *src) {
  src->memo = 0;
  if (!site->memo.capture) return 0;
  site->memo.captured += 1;
  MemoEntry *e = push_struct(site->arena, MemoEntry);
  e->source = src->path;
  e->key = src->key;
  src->memo = e;
  return e;
}

void
driver_memo_keep_diagnostics(Site *site, MemoEntry *e, DiagnosticList *list) {
  if (!e) return;
  for (Diagnostic *d = list->first; d; d = d->next) {
    MemoDiag *k = push_struct(site->arena, MemoDiag);
    k->offset = d->offset;
    k->severity = d->severity;
    k->flags = d->flags;
    k->message = str_push_copy(site->arena, d->message);
    SLLQueuePush(e->first_diag, e->last_diag, k);
  }
  e->diag_count = list->count;
  e->diag_errors = list->errors;
  e->diag_warnings = list->warnings;
  e->diag_one_line = list->one_line;
  e->diag_max_severity = list->max_severity;
}

DiagnosticList
driver_memo_diagnostics(Arena *arena, MemoEntry *e) {
  DiagnosticList list = {};
  for (MemoDiag *k = e->first_diag; k; k = k->next) {
    Diagnostic *d = push_struct(arena, Diagnostic);
    d->offset = k->offset;
    d->severity = k->severity;
    d->flags = k->flags;
    d->message = k->message;
    SLLQueuePush(list.first, list.last, d);
  }
  list.count = e->diag_count;
  list.errors = e->diag_errors;
  list.warnings = e->diag_warnings;
  list.one_line = e->diag_one_line;
  list.max_severity = e->diag_max_severity;
  return list;
}

void
driver_memo_add_dep(Site *site, MemoEntry *e, u32 kind, StrView path, MemoStamp stamp) {
  if (!e) return;
  MemoDep *d = push_struct(site->arena, MemoDep);
  d->kind = kind;
  d->path = str_push_copy(site->arena, path);
  d->stamp = stamp;
  SLLQueuePush(e->deps, e->last_dep, d);
}

void
driver_memo_keep_links(Site *site, MemoEntry *e, PageRecord *rec) {
  if (!e) return;
  for (PageWebLink *l = rec->first_web_link; l; l = l->next) {
    // The ids of the answer judge its fragment: read again each run.
    if (l->fragment.data) e->unreusable = 1;
    PageWebLink *k = push_struct(site->arena, PageWebLink);
    k->url = str_push_copy(site->arena, l->url);
    k->written = str_push_copy(site->arena, l->written);
    k->location = str_push_copy(site->arena, l->location);
    SLLQueuePush(e->first_link, e->last_link, k);
  }
}

// Whether a local link target counts as found, as the link checks of the pipeline decide.
bool
driver_memo_target_found(Site *site, StrView full) {
  return !full.length || link_target_exists(full) || driver_output_planned(site, full);
}

bool
driver_memo_inputs_hold(Site *site, MemoEntry *e) {
  for (MemoDep *d = e->deps; d; d = d->next) {
    if (d->kind == MemoDep_Image && !driver_memo_stamp_equal(d->stamp, driver_memo_stamp(d->path))) return false;
    if (d->kind == MemoDep_Target && (u32)driver_memo_target_found(site, d->path) != d->stamp.exists) return false;
  }
  //- its files as it left them: one removed or changed by hand is written again
  if (e->outcome == MemoOutcome_Page) {
    if (!driver_memo_stamp_equal(e->page_stamp, driver_memo_stamp(e->page))) return false;
    if (e->raw.length && !driver_memo_stamp_equal(e->raw_stamp, driver_memo_stamp(e->raw))) return false;
    if (!e->raw.length != !!site->settings.no_raw_views) return false;
  }
  // Previews come from the answers of this run: such a page is made again.
  for (PageWebLink *l = e->first_link; l; l = l->next) {
    if (driver_finder_for(site, l->url)) return false;
  }
  return true;
}

//~ The file

static void
driver_memo_escape(Arena *arena, StrList *out, StrView field) {
  u64 start = 0;
  for (u64 i = 0; i < field.length; i += 1) {
    char c = (char)field.data[i];
    const char *esc = c == '\\' ? "\\\\" : c == '\t' ? "\\t" : c == '\n' ? "\\n" : c == '\r' ? "\\r" : 0;
    if (!esc) continue;
    if (i > start) str_list_push(arena, out, str_substr(field, start, i));
    str_list_push(arena, out, str_from_cstr(esc));
    start = i + 1;
  }
  if (field.length > start) str_list_push(arena, out, str_substr(field, start, field.length));
}

static void
driver_memo_fields(Arena *arena, StrList *out, const char *tag, StrView *fields, u32 count) {
  str_list_push(arena, out, str_from_cstr(tag));
  for (u32 i = 0; i < count; i += 1) {
    str_list_push(arena, out, str_lit("\t"));
    driver_memo_escape(arena, out, fields[i]);
  }
  str_list_push(arena, out, str_lit("\n"));
}

static StrView
driver_memo_stamp_text(Arena *arena, MemoStamp s) {
  return str_pushf(arena, "%llu:%llu:%llu:%u", (unsigned long long)s.size, (unsigned long long)s.modified,
                   (unsigned long long)s.inode, (u32)s.exists);
}

static StrView
driver_memo_key_text(Arena *arena, ContentKey k) {
  return str_pushf(arena, "%016llx%016llx", (unsigned long long)k.hi, (unsigned long long)k.lo);
}

static void
driver_memo_entry_text(Arena *a, StrList *out, MemoEntry *e) {
  if (e->text.length) {
    str_list_push(a, out, e->text);
    return;
  }
  StrView s[14] = {
      e->source,
      driver_memo_key_text(a, e->key),
      str_pushf(a, "%u", e->outcome),
      e->page,
      e->raw,
      e->title,
      driver_memo_stamp_text(a, e->page_stamp),
      driver_memo_stamp_text(a, e->raw_stamp),
      str_pushf(a, "%llu", (unsigned long long)e->diag_count),
      str_pushf(a, "%llu", (unsigned long long)e->diag_errors),
      str_pushf(a, "%llu", (unsigned long long)e->diag_warnings),
      str_pushf(a, "%llu", (unsigned long long)e->diag_one_line),
      str_pushf(a, "%d", e->diag_max_severity),
  };
  driver_memo_fields(a, out, "S", s, 13);
  for (MemoDiag *d = e->first_diag; d; d = d->next) {
    StrView f[4] = {str_pushf(a, "%llu", (unsigned long long)d->offset), str_pushf(a, "%u", d->severity),
                    str_pushf(a, "%u", d->flags), d->message};
    driver_memo_fields(a, out, "D", f, 4);
  }
  for (MemoDep *d = e->deps; d; d = d->next) {
    StrView f[3] = {str_pushf(a, "%u", d->kind), d->path, driver_memo_stamp_text(a, d->stamp)};
    driver_memo_fields(a, out, "P", f, 3);
  }
  for (PageWebLink *l = e->first_link; l; l = l->next) {
    StrView f[3] = {l->url, l->written, l->location};
    driver_memo_fields(a, out, "L", f, 3);
  }
}

// Whether the source lies where this run looks: an entry of a source outside it is kept.
static bool
driver_memo_in_scope(Site *site, StrView source) {
  StrView target = site->settings.target;
  while (target.length > 1 && target.data[target.length - 1] == '/') target.length -= 1;
  if (str_equal(source, target)) return true;
  return source.length > target.length && str_equal(str_prefix(source, target.length), target) &&
         source.data[target.length] == '/';
}

void
driver_memo_write(Site *site) {
  SiteMemo *m = &site->memo;
  // Every entry stood for its source and nothing was made anew: the memo says it all.
  if (!m->capture || (m->valid && !m->captured && m->reused == m->entries)) return;
  ArenaTemp scratch = scratch_begin(&site->arena, 1);
  Arena *a = scratch.arena;
  StrList out = {};
  StrView inputs = driver_memo_key_text(a, m->inputs);
  str_list_pushf(a, &out, MEMO_HEADER "%S\n", &inputs);
  u64 count = 0;
  for (DriverSource *src = site->first_source; src; src = src->next) {
    MemoEntry *e = src->memo;
    PageRecord *r = src->record;
    if (!e || !e->usable || e->unreusable || src->deleted) continue;
    if (e->outcome == MemoOutcome_Page) {
      // A page not written this time is made again next time.
      if (!r || r->write_failed || !r->path.length) continue;
      if (!e->page_stamp.exists) {
        e->page_stamp = driver_memo_stamp(e->page);
        if (e->raw.length) e->raw_stamp = driver_memo_stamp(e->raw);
      }
      if (!e->page_stamp.exists || (e->raw.length && !e->raw_stamp.exists)) continue;
    }
    driver_memo_entry_text(a, &out, e);
    count += 1;
  }
  //- sources this run did not look at (a target of one file, say) keep their entries
  for (MemoEntry *e = m->valid ? m->first : 0; e; e = e->next_in_order) {
    if (driver_memo_in_scope(site, e->source)) continue;
    driver_memo_entry_text(a, &out, e);
    count += 1;
  }
  str_list_pushf(a, &out, "E\t%llu\n", (unsigned long long)count);
  emit_memo(m->path, str_list_join(a, &out, 0));
  scratch_end(scratch);
}

//~ Reading

static bool
driver_memo_number(StrView text, u64 *out) {
  if (!text.length || text.length > 20) return false;
  u64 n = 0;
  for (u64 i = 0; i < text.length; i += 1) {
    u8 c = text.data[i];
    if (c < '0' || c > '9') return false;
    n = n * 10 + (c - '0');
  }
  *out = n;
  return true;
}

static bool
driver_memo_hex_key(StrView text, ContentKey *out) {
  if (text.length != 32) return false;
  u64 half[2] = {};
  for (u64 i = 0; i < 32; i += 1) {
    u8 c = text.data[i];
    u32 v = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : 99;
    if (v > 15) return false;
    half[i / 16] = half[i / 16] << 4 | v;
  }
  out->hi = half[0];
  out->lo = half[1];
  return true;
}

static bool
driver_memo_parse_stamp(StrView text, MemoStamp *out) {
  u64 v[4] = {};
  u64 at = 0;
  for (u32 i = 0; i < 4; i += 1) {
    u64 end = i < 3 ? str_find(text, at, str_lit(":"), 0) : text.length;
    if (end > text.length || !driver_memo_number(str_substr(text, at, end), &v[i])) return false;
    at = end + 1;
  }
  *out = MemoStamp{v[0], v[1], v[2], (b32)(v[3] != 0)};
  return true;
}

// The tab-separated fields of a line, unescaped; false when there are not `count`.
static bool
driver_memo_split(Arena *arena, StrView line, StrView *fields, u32 count) {
  u64 at = 0;
  for (u32 i = 0; i < count; i += 1) {
    if (at > line.length) return false;
    u64 end = str_find(line, at, str_lit("\t"), 0);
    if (end > line.length) end = line.length;
    StrView raw = str_substr(line, at, end);
    at = end + 1;
    if (str_find(raw, 0, str_lit("\\"), 0) >= raw.length) {
      fields[i] = raw;
      continue;
    }
    u8 *buf = push_array_no_zero(arena, u8, raw.length);
    u64 n = 0;
    for (u64 j = 0; j < raw.length; j += 1) {
      u8 c = raw.data[j];
      if (c == '\\') {
        if (j + 1 >= raw.length) return false;
        u8 e = raw.data[++j];
        c = e == 't' ? '\t' : e == 'n' ? '\n' : e == 'r' ? '\r' : e == '\\' ? '\\' : 0;
        if (!c) return false;
      }
      buf[n++] = c;
    }
    fields[i] = StrView{buf, n};
  }
  return at == line.length + 1;
}

bool
driver_memo_parse(Site *site, StrView text) {
  SiteMemo *m = &site->memo;
  Arena *arena = site->arena;
  u64 eol = str_find(text, 0, str_lit("\n"), 0);
  if (eol >= text.length) return false;
  StrView header = str_prefix(text, eol);
  ContentKey inputs = {};
  StrView head = str_lit(MEMO_HEADER);
  if (!str_match(head, header, StrMatchFlag_Prefix) || !driver_memo_hex_key(str_skip(header, head.length), &inputs) ||
      !content_key_equal(inputs, m->inputs)) {
    return false;
  }
  MemoEntry *e = 0;
  u64 count = 0;
  for (u64 at = eol + 1; at < text.length;) {
    u64 end = str_find(text, at, str_lit("\n"), 0);
    if (end >= text.length) return false;  // cut off
    StrView line = str_substr(text, at, end);
    at = end + 1;
    if (line.length < 2 || line.data[1] != '\t') return false;
    StrView rest = str_skip(line, 2);
    // An entry's text runs from its "S" line to the end of its last line.
    if (e && line.data[0] != 'E' && line.data[0] != 'S') {
      e->text.length = (u64)(line.data - e->text.data) + line.length + 1;
    }
    StrView f[13] = {};
    u64 n[6] = {};
    switch (line.data[0]) {
      case 'S': {
        if (!driver_memo_split(arena, rest, f, 13) || !driver_memo_number(f[2], &n[0]) || n[0] >= MemoOutcome_COUNT) {
          return false;
        }
        e = push_struct(arena, MemoEntry);
        e->text = StrView{line.data, line.length + 1};
        e->source = f[0];
        e->outcome = (u32)n[0];
        e->page = f[3];
        e->raw = f[4];
        e->title = f[5];
        for (u32 i = 0; i < 4; i += 1) {
          if (!driver_memo_number(f[8 + i], &n[1 + i])) return false;
        }
        s64 max_severity = 0;
        StrView sev = f[12];
        bool negative = sev.length && sev.data[0] == '-';
        if (!driver_memo_number(negative ? str_skip(sev, 1) : sev, &n[5])) return false;
        max_severity = negative ? -(s64)n[5] : (s64)n[5];
        if (!driver_memo_hex_key(f[1], &e->key) || !driver_memo_parse_stamp(f[6], &e->page_stamp) ||
            !driver_memo_parse_stamp(f[7], &e->raw_stamp)) {
          return false;
        }
        e->diag_count = n[1];
        e->diag_errors = n[2];
        e->diag_warnings = n[3];
        e->diag_one_line = n[4];
        e->diag_max_severity = (s32)max_severity;
        e->usable = 1;
        driver_memo_insert(m, e);
        count += 1;
        m->entries += 1;
      } break;
      case 'D': {
        if (!e || !driver_memo_split(arena, rest, f, 4) || !driver_memo_number(f[0], &n[0]) ||
            !driver_memo_number(f[1], &n[1]) || !driver_memo_number(f[2], &n[2])) {
          return false;
        }
        MemoDiag *d = push_struct(arena, MemoDiag);
        *d = MemoDiag{0, n[0], (u32)n[1], (u32)n[2], f[3]};
        SLLQueuePush(e->first_diag, e->last_diag, d);
      } break;
      case 'P': {
        MemoStamp stamp = {};
        if (!e || !driver_memo_split(arena, rest, f, 3) || !driver_memo_number(f[0], &n[0]) ||
            !driver_memo_parse_stamp(f[2], &stamp)) {
          return false;
        }
        MemoDep *d = push_struct(arena, MemoDep);
        *d = MemoDep{0, f[1], stamp, (u32)n[0]};
        SLLQueuePush(e->deps, e->last_dep, d);
      } break;
      case 'L': {
        if (!e || !driver_memo_split(arena, rest, f, 3)) return false;
        PageWebLink *l = push_struct(arena, PageWebLink);
        l->url = f[0];
        l->written = f[1];
        l->location = f[2];
        SLLQueuePush(e->first_link, e->last_link, l);
      } break;
      case 'E': {
        return driver_memo_number(rest, &n[0]) && n[0] == count && at == text.length;
      }
      default: return false;
    }
  }
  return false;
}

void
driver_memo_read(Site *site) {
  SiteMemo *m = &site->memo;
  MemoryZeroStruct(m);
  m->path = str_pushf(site->arena, "%S.qilsite.memo", &site->settings.root);
  // A run that listens keeps no memo: what it rebuilds as files change is not recorded,
  // and the memo of the last build stays as that build left it.
  m->capture = !site->settings.listen;
  m->inputs = driver_memo_inputs(site->arena, site);
  StrView text = os_read_file(site->arena, m->path);
  if (!text.length) return;
  if (driver_memo_parse(site, text)) {
    m->valid = 1;
    return;
  }
  //- what was read of it is forgotten: every source is built
  MemoryZero(m->slots, sizeof m->slots);
  m->first = m->last = 0;
  m->entries = 0;
}
