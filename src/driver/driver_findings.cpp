// What the run says about the sources beyond the standard output report: diagnostics
// and link findings one line each on standard error (for editors and CI), and the
// report file (JSON, SARIF for code-scanning services, JUnit XML for test views).
// The report is made here; src/emit writes it.
#include <jansson.h>
#include <libxml/xmlwriter.h>
#include <stdlib.h>

#include "base/base_format.h"
#include "driver/driver_build.h"
#include "emit/emit.h"
#include "net/net_linkcheck.h"
#include "os/os_core.h"

//~ jansson and libxml2, opened by the first run that writes a report

#define DRIVER_JSON_FUNCTIONS(X, t)                                                                \
  X(t, json_object) X(t, json_array) X(t, json_string) X(t, json_stringn) X(t, json_integer)       \
  X(t, json_true) X(t, json_false) X(t, json_null) X(t, json_object_set_new)                       \
  X(t, json_array_append_new) X(t, json_dumps) X(t, json_set_alloc_funcs)

#define DRIVER_XML_FUNCTIONS(X, t)                                                                 \
  X(t, xmlBufferCreate) X(t, xmlBufferContent) X(t, xmlBufferLength) X(t, xmlBufferFree)           \
  X(t, xmlNewTextWriterMemory) X(t, xmlFreeTextWriter) X(t, xmlTextWriterSetIndent)                \
  X(t, xmlTextWriterStartDocument) X(t, xmlTextWriterEndDocument) X(t, xmlTextWriterStartElement)  \
  X(t, xmlTextWriterEndElement) X(t, xmlTextWriterWriteAttribute)                                  \
  X(t, xmlTextWriterWriteFormatAttribute) X(t, xmlTextWriterWriteElement) X(t, xmlTextWriterWriteString)

OS_LIBRARY_TABLE(driver_json, DRIVER_JSON_FUNCTIONS, "libjansson.so.4", "libjansson4")
OS_LIBRARY_TABLE(driver_xml, DRIVER_XML_FUNCTIONS, "libxml2.so.2", "libxml2")

#define json_object (*driver_json.json_object)
#define json_array (*driver_json.json_array)
#define json_string (*driver_json.json_string)
#define json_stringn (*driver_json.json_stringn)
#define json_integer (*driver_json.json_integer)
#define json_true (*driver_json.json_true)
#define json_false (*driver_json.json_false)
#define json_null (*driver_json.json_null)
#define json_object_set_new (*driver_json.json_object_set_new)
#define json_array_append_new (*driver_json.json_array_append_new)
#define json_dumps (*driver_json.json_dumps)
#define json_set_alloc_funcs (*driver_json.json_set_alloc_funcs)

#define xmlBufferCreate (*driver_xml.xmlBufferCreate)
#define xmlBufferContent (*driver_xml.xmlBufferContent)
#define xmlBufferLength (*driver_xml.xmlBufferLength)
#define xmlBufferFree (*driver_xml.xmlBufferFree)
#define xmlNewTextWriterMemory (*driver_xml.xmlNewTextWriterMemory)
#define xmlFreeTextWriter (*driver_xml.xmlFreeTextWriter)
#define xmlTextWriterSetIndent (*driver_xml.xmlTextWriterSetIndent)
#define xmlTextWriterStartDocument (*driver_xml.xmlTextWriterStartDocument)
#define xmlTextWriterEndDocument (*driver_xml.xmlTextWriterEndDocument)
#define xmlTextWriterStartElement (*driver_xml.xmlTextWriterStartElement)
#define xmlTextWriterEndElement (*driver_xml.xmlTextWriterEndElement)
#define xmlTextWriterWriteAttribute (*driver_xml.xmlTextWriterWriteAttribute)
#define xmlTextWriterWriteFormatAttribute (*driver_xml.xmlTextWriterWriteFormatAttribute)
#define xmlTextWriterWriteElement (*driver_xml.xmlTextWriterWriteElement)
#define xmlTextWriterWriteString (*driver_xml.xmlTextWriterWriteString)

#ifndef QILSITE_VERSION
#define QILSITE_VERSION "0"
#endif

//~ One line each

void
driver_say_diagnostics(Site *site, DriverFindingList *keep_in, Arena *keep, DiagnosticList *list, StrView source,
                       StrView path, u32 kind) {
  u32 mode = site->settings.format == DriverFormat_Line ? DiagLines_All : DiagLines_OneLineOnly;
  diag_print_lines(list, source, path, mode, site->settings.color);
  if (!site->settings.report_path.length || !keep_in) return;
  //- kept for the report, positions counted now
  *keep_in = DriverFindingList{};
  ArenaTemp scratch = scratch_begin(&keep, 1);
  DiagPlaces places = diag_places(scratch.arena, list, source);
  StrView kept_path = places.count ? str_push_copy(keep, path) : StrView{};
  for (u64 i = 0; i < places.count; i += 1) {
    DiagPlace *pl = &places.items[i];
    DriverFinding *f = push_struct(keep, DriverFinding);
    f->path = kept_path;
    f->line = pl->line;
    f->column = pl->column;
    f->codepoint_column = pl->codepoint_column;
    f->severity = pl->diagnostic->severity;
    f->kind = kind;
    f->message = str_push_copy(keep, pl->diagnostic->message);
    SLLQueuePush(keep_in->first, keep_in->last, f);
    keep_in->count += 1;
  }
  scratch_end(scratch);
}

static u32
driver_link_severity(u32 verdict) {
  return verdict == LinkVerdict_Broken ? DiagSeverity_Error
         : verdict == LinkVerdict_Redirected ? DiagSeverity_Warning
                                              : DiagSeverity_Note;
}

// What the answer to a link says, in words.
static StrView
driver_link_words(Arena *arena, StrView url, const LinkAnswer *a) {
  StrView name = linkcheck_verdict_name(a->verdict);
  StrView text = str_pushf(arena, "%S link %S: status %u, %I64u ms", &name, &url, a->status, a->duration_ms);
  if (a->reason.length) text = str_pushf(arena, "%S, %S", &text, &a->reason);
  if (a->verdict == LinkVerdict_Redirected) text = str_pushf(arena, "%S, now at %S", &text, &a->final_url);
  return text;
}

void
driver_say_link(Site *site, PageWebLink *link, const LinkAnswer *answer) {
  if (site->settings.format != DriverFormat_Line || answer->verdict == LinkVerdict_None) return;
  ArenaTemp scratch = scratch_begin(&site->arena, 1);
  StrView words = driver_link_words(scratch.arena, link->url, answer);
  diag_print_line(link->location, driver_link_severity(answer->verdict), words, site->settings.color);
  scratch_end(scratch);
}

void
driver_problem(Site *site, StrView message) {
  // A listen run may meet the same one each round: it is kept once.
  for (StrNode *n = site->problems.first; n; n = n->next) {
    if (str_equal(n->string, message)) return;
  }
  str_list_push(site->arena, &site->problems, str_push_copy(site->arena, message));
}

//~ The report's material

// Text for a report: valid UTF-8 (what JSON and XML require), and for XML without the
// control characters XML 1.0 cannot hold even escaped; U+FFFD stands for what is not.
static StrView
driver_report_text(Arena *arena, StrView s, bool xml) {
  u8 *out = push_array_no_zero(arena, u8, s.length * 3 + 1);
  u64 n = 0;
  for (u64 i = 0; i < s.length;) {
    UnicodeDecode d = utf8_decode(s.data + i, s.length - i);
    u32 c = d.codepoint;
    if (c > 0x10ffff || (c >= 0xd800 && c <= 0xdfff)) c = 0xfffd;
    if (xml && (c < 0x20 && c != '\t' && c != '\n' && c != '\r')) c = 0xfffd;
    if (xml && (c == 0xfffe || c == 0xffff)) c = 0xfffd;
    n += utf8_encode(out + n, c);
    i += d.advance ? d.advance : 1;
  }
  out[n] = 0;
  return str_make(out, n);
}

// "path:line:column" split at its last two colons.
static bool
driver_split_location(StrView location, StrView *path, u64 *line, u64 *column) {
  u64 b = location.length;
  while (b > 0 && location.data[b - 1] != ':') b -= 1;
  if (b == 0) return false;
  u64 a = b - 1;
  while (a > 0 && location.data[a - 1] != ':') a -= 1;
  if (a == 0) return false;
  *path = str_prefix(location, a - 1);
  *line = str_to_u64(str_substr(location, a, b - 1), 10);
  *column = str_to_u64(str_skip(location, b), 10);
  return true;
}

// A place that links to a checked address.
struct DriverReportUse {
  DriverReportUse *next;
  StrView path;
  u64 line;
  u64 column;
};

// A checked address and every place that links to it.
struct DriverReportLink {
  DriverReportLink *next;
  StrView url;
  LinkAnswer answer;
  b32 answered;
  DriverReportUse *uses_first;
  DriverReportUse *uses_last;
  u64 use_count;
};

struct DriverReportLinks {
  DriverReportLink *first;
  DriverReportLink *last;
  u64 count;
};

// The web links of every page, one entry per address in the order first met.
static DriverReportLinks
driver_report_links(Site *site, Arena *arena) {
  DriverReportLinks r = {};
  u64 total = 0;
  for (PageRecord *rec = site->first_page; rec; rec = rec->next) {
    for (PageWebLink *l = rec->first_web_link; l; l = l->next) total += 1;
  }
  if (!total) return r;
  u64 slots = 1;
  while (slots < total * 2) slots *= 2;
  DriverReportLink **table = push_array(arena, DriverReportLink *, slots);
  for (PageRecord *rec = site->first_page; rec; rec = rec->next) {
    for (PageWebLink *l = rec->first_web_link; l; l = l->next) {
      u64 at = str_hash_djb2(l->url) & (slots - 1);
      while (table[at] && !str_equal(table[at]->url, l->url)) at = (at + 1) & (slots - 1);
      DriverReportLink *e = table[at];
      if (!e) {
        e = push_struct(arena, DriverReportLink);
        e->url = l->url;
        e->answered = linkcheck_answer(site->links, l->url, &e->answer, l->body);
        table[at] = e;
        SLLQueuePush(r.first, r.last, e);
        r.count += 1;
      }
      DriverReportUse *u = push_struct(arena, DriverReportUse);
      if (!driver_split_location(l->location, &u->path, &u->line, &u->column)) u->path = l->location;
      SLLQueuePush(e->uses_first, e->uses_last, u);
      e->use_count += 1;
    }
  }
  return r;
}

//~ JSON (jansson)

// jansson's memory comes from the report's arena: nothing is freed one by one.
static thread_local Arena *driver_json_arena;

static void *
driver_json_alloc(size_t size) {
  return arena_push(driver_json_arena, size, 16);
}

static void
driver_json_free(void *) {}

static json_t *
driver_json_str(Arena *arena, StrView s) {
  StrView clean = driver_report_text(arena, s, false);
  return json_stringn((const char *)clean.data, clean.length);
}

static StrView
driver_severity_name(u32 severity) {
  StrView label = diag_severity_label(severity);
  return label.length ? label : str_lit("note");
}

static json_t *
driver_json_counts(Site *site) {
  SiteStats *st = &site->total;
  json_t *c = json_object();
  json_object_set_new(c, "pages_generated", json_integer((json_int_t)st->pages_generated));
  json_object_set_new(c, "raw_views", json_integer((json_int_t)st->raw_views));
  json_object_set_new(c, "pages_rewritten", json_integer((json_int_t)st->pages_rewritten));
  json_object_set_new(c, "pages_left_as_they_were",
                      json_integer((json_int_t)(st->pages_unchanged + st->kept_parse_error + st->kept_no_markup +
                                                st->kept_changed + st->kept_outside)));
  json_object_set_new(c, "pages_not_written", json_integer((json_int_t)st->write_failures));
  json_object_set_new(c, "sources_not_read", json_integer((json_int_t)st->read_failures));
  json_object_set_new(c, "drafts", json_integer((json_int_t)st->drafts));
  json_object_set_new(c, "documents_without_output_path", json_integer((json_int_t)st->unpublished));
  json_object_set_new(c, "errors", json_integer((json_int_t)st->errors));
  json_object_set_new(c, "warnings", json_integer((json_int_t)st->warnings));
  json_object_set_new(c, "local_targets_missing", json_integer((json_int_t)st->targets_missing));
  json_object_set_new(c, "fragments_missing", json_integer((json_int_t)st->fragments_missing));
  json_object_set_new(c, "web_links_checked", json_integer((json_int_t)st->links_checked));
  json_object_set_new(c, "web_links_broken", json_integer((json_int_t)st->links_broken));
  json_object_set_new(c, "web_links_redirected", json_integer((json_int_t)st->links_redirected));
  json_object_set_new(c, "web_links_noted", json_integer((json_int_t)st->links_noted));
  return c;
}

static void
driver_json_findings(Arena *arena, json_t *files, DriverFindingList *list) {
  if (!list->first) return;
  json_t *file = json_object();
  json_object_set_new(file, "path", driver_json_str(arena, list->first->path));
  json_t *diags = json_array();
  for (DriverFinding *f = list->first; f; f = f->next) {
    json_t *d = json_object();
    json_object_set_new(d, "line", json_integer((json_int_t)f->line));
    json_object_set_new(d, "column", json_integer((json_int_t)f->column));
    json_object_set_new(d, "severity", driver_json_str(arena, driver_severity_name(f->severity)));
    json_object_set_new(d, "message", driver_json_str(arena, f->message));
    json_array_append_new(diags, d);
  }
  json_object_set_new(file, "diagnostics", diags);
  json_array_append_new(files, file);
}

static json_t *
driver_json_report(Site *site, Arena *arena, DriverReportLinks *links, int status, u64 ms) {
  json_t *root = json_object();
  json_object_set_new(root, "tool", json_string("qilsite"));
  json_object_set_new(root, "version", json_string(QILSITE_VERSION));
  json_object_set_new(root, "exit_status", json_integer(status));
  json_object_set_new(root, "time_ms", json_integer((json_int_t)ms));
  json_t *problems = json_array();
  for (StrNode *n = site->problems.first; n; n = n->next) json_array_append_new(problems, driver_json_str(arena, n->string));
  json_object_set_new(root, "problems", problems);
  json_object_set_new(root, "counts", driver_json_counts(site));
  json_t *files = json_array();
  driver_json_findings(arena, files, &site->head_findings);
  driver_json_findings(arena, files, &site->index_findings);
  for (DriverSource *s = site->first_source; s; s = s->next) driver_json_findings(arena, files, &s->findings);
  json_object_set_new(root, "files", files);
  json_t *list = json_array();
  for (DriverReportLink *l = links->first; l; l = l->next) {
    json_t *o = json_object();
    json_object_set_new(o, "url", driver_json_str(arena, l->url));
    StrView verdict = !l->answered ? str_lit("unanswered")
                      : l->answer.verdict == LinkVerdict_None ? str_lit("ok")
                                                               : linkcheck_verdict_name(l->answer.verdict);
    json_object_set_new(o, "verdict", driver_json_str(arena, verdict));
    json_object_set_new(o, "status", l->answered ? json_integer(l->answer.status) : json_null());
    json_object_set_new(o, "time_ms", l->answered ? json_integer((json_int_t)l->answer.duration_ms) : json_null());
    if (l->answered && l->answer.cached) json_object_set_new(o, "cached", json_true());
    if (l->answered && l->answer.reason.length) json_object_set_new(o, "reason", driver_json_str(arena, l->answer.reason));
    if (l->answered && l->answer.verdict == LinkVerdict_Redirected) {
      json_object_set_new(o, "final_url", driver_json_str(arena, l->answer.final_url));
    }
    json_t *uses = json_array();
    for (DriverReportUse *u = l->uses_first; u; u = u->next) {
      json_t *w = json_object();
      json_object_set_new(w, "path", driver_json_str(arena, u->path));
      json_object_set_new(w, "line", json_integer((json_int_t)u->line));
      json_object_set_new(w, "column", json_integer((json_int_t)u->column));
      json_array_append_new(uses, w);
    }
    json_object_set_new(o, "occurrences", uses);
    json_array_append_new(list, o);
  }
  json_object_set_new(root, "links", list);
  return root;
}

//~ SARIF 2.1.0

// A path as a URI reference: relative paths stay relative (services resolve them against
// the checkout), absolute ones become file: URIs; bytes outside the unreserved set and
// "/" are percent-encoded.
static StrView
driver_path_uri(Arena *arena, StrView path) {
  while (path.length >= 2 && path.data[0] == '.' && path.data[1] == '/') path = str_skip(path, 2);
  bool absolute = path.length && path.data[0] == '/';
  u8 *out = push_array_no_zero(arena, u8, path.length * 3 + 8);
  u64 n = 0;
  if (absolute) {
    MemoryCopy(out, "file://", 7);
    n = 7;
  }
  static const char hex[] = "0123456789ABCDEF";
  for (u64 i = 0; i < path.length; i += 1) {
    u8 c = path.data[i];
    if (char_is_letter(c) || char_is_digit(c) || c == '-' || c == '.' || c == '_' || c == '~' || c == '/') {
      out[n++] = c;
    } else {
      out[n++] = '%';
      out[n++] = (u8)hex[c >> 4];
      out[n++] = (u8)hex[c & 15];
    }
  }
  return str_make(out, n);
}

static json_t *
driver_sarif_result(Arena *arena, const char *rule, u32 severity, StrView message, StrView path, u64 line,
                    u64 column) {
  json_t *r = json_object();
  json_object_set_new(r, "ruleId", json_string(rule));
  StrView level = severity >= DiagSeverity_Error ? str_lit("error")
                  : severity == DiagSeverity_Warning ? str_lit("warning")
                                                     : str_lit("note");
  json_object_set_new(r, "level", driver_json_str(arena, level));
  json_t *m = json_object();
  json_object_set_new(m, "text", driver_json_str(arena, message));
  json_object_set_new(r, "message", m);
  json_t *region = json_object();
  json_object_set_new(region, "startLine", json_integer((json_int_t)Max(line, (u64)1)));
  json_object_set_new(region, "startColumn", json_integer((json_int_t)Max(column, (u64)1)));
  json_t *artifact = json_object();
  json_object_set_new(artifact, "uri", driver_json_str(arena, driver_path_uri(arena, path)));
  json_t *physical = json_object();
  json_object_set_new(physical, "artifactLocation", artifact);
  json_object_set_new(physical, "region", region);
  json_t *location = json_object();
  json_object_set_new(location, "physicalLocation", physical);
  json_t *locations = json_array();
  json_array_append_new(locations, location);
  json_object_set_new(r, "locations", locations);
  return r;
}

static void
driver_sarif_findings(Arena *arena, json_t *results, DriverFindingList *list) {
  for (DriverFinding *f = list->first; f; f = f->next) {
    const char *rule = f->kind == DriverFinding_Page ? "html-page" : "qil-document";
    json_array_append_new(results, driver_sarif_result(arena, rule, f->severity, f->message, f->path, f->line,
                                                       f->codepoint_column));
  }
}

static json_t *
driver_sarif_rule(const char *id, const char *text) {
  json_t *r = json_object();
  json_object_set_new(r, "id", json_string(id));
  json_t *d = json_object();
  json_object_set_new(d, "text", json_string(text));
  json_object_set_new(r, "shortDescription", d);
  return r;
}

static json_t *
driver_sarif_report(Site *site, Arena *arena, DriverReportLinks *links, int status) {
  json_t *root = json_object();
  json_object_set_new(root, "$schema", json_string("https://json.schemastore.org/sarif-2.1.0.json"));
  json_object_set_new(root, "version", json_string("2.1.0"));
  json_t *run = json_object();
  json_t *tool = json_object();
  json_t *driver = json_object();
  json_object_set_new(driver, "name", json_string("qilsite"));
  json_object_set_new(driver, "version", json_string(QILSITE_VERSION));
  json_t *rules = json_array();
  json_array_append_new(rules, driver_sarif_rule("qil-document", "A qil document's syntax or structure"));
  json_array_append_new(rules, driver_sarif_rule("html-page", "A hand-written HTML page's syntax or structure"));
  json_array_append_new(rules, driver_sarif_rule("web-link", "A web link whose answer is not a plain success"));
  json_object_set_new(driver, "rules", rules);
  json_object_set_new(tool, "driver", driver);
  json_object_set_new(run, "tool", tool);
  // Columns count characters, as the findings give them.
  json_object_set_new(run, "columnKind", json_string("unicodeCodePoints"));
  json_t *invocation = json_object();
  json_object_set_new(invocation, "executionSuccessful", json_boolean(site->problems.node_count == 0));
  json_object_set_new(invocation, "exitCode", json_integer(status));
  json_t *notes = json_array();
  for (StrNode *n = site->problems.first; n; n = n->next) {
    json_t *note = json_object();
    json_t *m = json_object();
    json_object_set_new(m, "text", driver_json_str(arena, n->string));
    json_object_set_new(note, "message", m);
    json_object_set_new(note, "level", json_string("error"));
    json_array_append_new(notes, note);
  }
  json_object_set_new(invocation, "toolExecutionNotifications", notes);
  json_t *invocations = json_array();
  json_array_append_new(invocations, invocation);
  json_object_set_new(run, "invocations", invocations);
  json_t *results = json_array();
  driver_sarif_findings(arena, results, &site->head_findings);
  driver_sarif_findings(arena, results, &site->index_findings);
  for (DriverSource *s = site->first_source; s; s = s->next) driver_sarif_findings(arena, results, &s->findings);
  for (DriverReportLink *l = links->first; l; l = l->next) {
    if (!l->answered || l->answer.verdict == LinkVerdict_None) continue;
    StrView words = driver_link_words(arena, l->url, &l->answer);
    for (DriverReportUse *u = l->uses_first; u; u = u->next) {
      json_array_append_new(results, driver_sarif_result(arena, "web-link", driver_link_severity(l->answer.verdict),
                                                         words, u->path, u->line, u->column));
    }
  }
  json_object_set_new(run, "results", results);
  json_t *runs = json_array();
  json_array_append_new(runs, run);
  json_object_set_new(root, "runs", runs);
  return root;
}

//~ JUnit XML (libxml2's writer does the escaping)

static void
driver_xml_attr(xmlTextWriterPtr w, Arena *arena, const char *name, StrView value) {
  StrView clean = driver_report_text(arena, value, true);
  xmlTextWriterWriteAttribute(w, BAD_CAST name, BAD_CAST clean.data);
}

static void
driver_xml_attr_u64(xmlTextWriterPtr w, const char *name, u64 value) {
  xmlTextWriterWriteFormatAttribute(w, BAD_CAST name, "%llu", (unsigned long long)value);
}

// One test case per source: it fails on errors and broken links; warnings and notes go
// to its output.
static StrView
driver_junit_report(Site *site, Arena *arena, u64 ms) {
  struct Case {
    DriverSource *src;
    u64 failures;
    StrList failed;
    StrList said;
  };
  u64 count = 0, failed = 0;
  for (DriverSource *s = site->first_source; s; s = s->next) count += 1;
  Case *cases = push_array(arena, Case, count + 1);
  u64 i = 0;
  for (DriverSource *s = site->first_source; s; s = s->next, i += 1) {
    Case *c = &cases[i];
    c->src = s;
    for (DriverFinding *f = s->findings.first; f; f = f->next) {
      StrView sev = driver_severity_name(f->severity);
      StrView line = str_pushf(arena, "%S:%I64u:%I64u: %S: %S", &f->path, f->line, f->column, &sev, &f->message);
      if (f->severity >= DiagSeverity_Error) {
        c->failures += 1;
        str_list_push(arena, &c->failed, line);
      } else {
        str_list_push(arena, &c->said, line);
      }
    }
    PageRecord *rec = s->record;
    for (PageWebLink *l = rec ? rec->first_web_link : 0; l; l = l->next) {
      LinkAnswer a = {};
      if (!linkcheck_answer(site->links, l->url, &a, l->body) || a.verdict == LinkVerdict_None) continue;
      StrView words = driver_link_words(arena, l->url, &a);
      StrView sev = driver_severity_name(driver_link_severity(a.verdict));
      StrView line = str_pushf(arena, "%S: %S: %S", &l->location, &sev, &words);
      if (a.verdict == LinkVerdict_Broken) {
        c->failures += 1;
        str_list_push(arena, &c->failed, line);
      } else {
        str_list_push(arena, &c->said, line);
      }
    }
    if (c->failures) failed += 1;
  }

  xmlBufferPtr buffer = xmlBufferCreate();
  xmlTextWriterPtr w = xmlNewTextWriterMemory(buffer, 0);
  xmlTextWriterSetIndent(w, 1);
  xmlTextWriterStartDocument(w, 0, "UTF-8", 0);
  xmlTextWriterStartElement(w, BAD_CAST "testsuites");
  xmlTextWriterWriteAttribute(w, BAD_CAST "name", BAD_CAST "qilsite");
  driver_xml_attr_u64(w, "tests", count);
  driver_xml_attr_u64(w, "failures", failed);
  driver_xml_attr_u64(w, "errors", site->problems.node_count ? 1 : 0);
  xmlTextWriterWriteFormatAttribute(w, BAD_CAST "time", "%.3f", (double)ms / 1000.0);
  xmlTextWriterStartElement(w, BAD_CAST "testsuite");
  xmlTextWriterWriteAttribute(w, BAD_CAST "name", BAD_CAST "qilsite");
  driver_xml_attr_u64(w, "tests", count);
  driver_xml_attr_u64(w, "failures", failed);
  driver_xml_attr_u64(w, "errors", site->problems.node_count ? 1 : 0);
  StrJoin lines = {{}, str_lit("\n"), {}};
  if (site->problems.node_count) {
    //- the invocation itself, as one case in error
    xmlTextWriterStartElement(w, BAD_CAST "testcase");
    xmlTextWriterWriteAttribute(w, BAD_CAST "classname", BAD_CAST "qilsite");
    xmlTextWriterWriteAttribute(w, BAD_CAST "name", BAD_CAST "invocation");
    xmlTextWriterStartElement(w, BAD_CAST "error");
    driver_xml_attr(w, arena, "message", site->problems.first->string);
    StrView text = driver_report_text(arena, str_list_join(arena, &site->problems, &lines), true);
    xmlTextWriterWriteString(w, BAD_CAST text.data);
    xmlTextWriterEndElement(w);
    xmlTextWriterEndElement(w);
  }
  for (u64 k = 0; k < count; k += 1) {
    Case *c = &cases[k];
    xmlTextWriterStartElement(w, BAD_CAST "testcase");
    xmlTextWriterWriteAttribute(w, BAD_CAST "classname", BAD_CAST "qilsite");
    driver_xml_attr(w, arena, "name", c->src->path);
    driver_xml_attr(w, arena, "file", c->src->path);
    if (c->failures) {
      xmlTextWriterStartElement(w, BAD_CAST "failure");
      StrView summary = str_pushf(arena, "%I64u finding%s", c->failures, c->failures == 1 ? "" : "s");
      driver_xml_attr(w, arena, "message", summary);
      xmlTextWriterWriteAttribute(w, BAD_CAST "type", BAD_CAST "error");
      StrView text = driver_report_text(arena, str_list_join(arena, &c->failed, &lines), true);
      xmlTextWriterWriteString(w, BAD_CAST text.data);
      xmlTextWriterEndElement(w);
    }
    if (c->said.node_count) {
      StrView text = driver_report_text(arena, str_list_join(arena, &c->said, &lines), true);
      xmlTextWriterWriteElement(w, BAD_CAST "system-out", BAD_CAST text.data);
    }
    xmlTextWriterEndElement(w);
  }
  xmlTextWriterEndDocument(w);
  xmlFreeTextWriter(w);
  StrView out = str_push_copy(arena, str_make((u8 *)xmlBufferContent(buffer), (u64)xmlBufferLength(buffer)));
  xmlBufferFree(buffer);
  return out;
}

//~ The report file

void
driver_write_report(Site *site, int status, u64 ms) {
  StrView path = site->settings.report_path;
  if (!path.length) return;
  ArenaTemp scratch = scratch_begin(&site->arena, 1);
  Arena *arena = scratch.arena;
  DriverReportLinks links = driver_report_links(site, arena);
  StrView ext = str_skip_last_dot(path);
  u32 kind = EmitReport_Json;
  StrView text = {};
  bool junit = str_match(ext, str_lit("xml"), StrMatchFlag_CaseInsensitive);
  OsLibraryTable *library = junit ? &driver_xml_library : &driver_json_library;
  if (!os_library_load(library)) {
    console_eprintf("qilsite: the report '%.*s' was not written: %s\n", str_expand(path), library->error);
  } else if (junit) {
    kind = EmitReport_JUnit;
    text = driver_junit_report(site, arena, ms);
  } else {
    bool sarif = str_match(ext, str_lit("sarif"), StrMatchFlag_CaseInsensitive);
    kind = sarif ? EmitReport_Sarif : EmitReport_Json;
    driver_json_arena = arena;
    json_set_alloc_funcs(driver_json_alloc, driver_json_free);
    json_t *root = sarif ? driver_sarif_report(site, arena, &links, status)
                         : driver_json_report(site, arena, &links, status, ms);
    char *dumped = json_dumps(root, JSON_INDENT(2) | JSON_PRESERVE_ORDER);
    if (dumped) text = str_pushf(arena, "%s\n", dumped);
    json_set_alloc_funcs(malloc, free);
    driver_json_arena = 0;
  }
  if (!text.length || !emit_report(site, path, text, kind)) {
    driver_problem(site, str_pushf(arena, "the report '%S' was not written", &path));
  }
  scratch_end(scratch);
}
