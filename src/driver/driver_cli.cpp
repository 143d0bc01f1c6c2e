// The command line for people: help, version, and options nobody asks for.
#include "driver/driver_cli.h"

#include "base/base_format.h"

#ifndef QILSITE_VERSION
#define QILSITE_VERSION "0"
#endif

struct DriverOptionInfo {
  const char *key;
  const char *form;
  const char *meaning;
};

static const DriverOptionInfo driver_option_table[] = {
    {"target_path", "target_path=PATH", "the source folder (or single file) to build and check; without it nothing is built"},
    {"root_path", "root_path=PATH", "the site's root: what ~ stands for in links, where shared files and the index page go"},
    {"server_root_path", "server_root_path=PATH", "replaces root_path when given"},
    {"local_path", "local_path=PATH", "the folder holding the searchers configuration kn_searchs.txt"},
    {"dest_path", "dest_path=PATH", "recorded only"},
    {"serve", "serve", "build, then serve the site root on 127.0.0.1 while listening; pages reload on change"},
    {"port", "port=N", "the port serve listens on (8000)"},
    {"listen", "listen", "keep running after the checks are done, picking up changed and new files"},
    {"check_urls", "check_urls", "check web links over HTTP"},
    {"check_file_paths", "check_file_paths", "report local link targets that do not exist"},
    {"check_fragments", "check_fragments", "report links whose #name is no id of the page they lead to"},
    {"print_todos", "print_todos", "recorded only"},
    {"ca_file", "ca_file=PATH", "a PEM file of certificates to trust instead of the system's"},
    {"consent_url", "consent_url=URL", "the consent request, sent before the first link to its host; off sends none"},
    {"retries", "retries=N", "further attempts at a web link after a time-out, a reset, a 429 or a 5xx (2)"},
    {"timeout", "timeout=SECONDS", "the longest one web request may take (30)"},
    {"exclude", "exclude=REGEX", "web addresses the pattern matches as a whole are not fetched (repeatable)"},
    {"accept", "accept=RANGES", "statuses that count as good, such as 200-299,403 (200-299)"},
    {"redirects", "redirects=MODE", "ok, warn or error: what a permanent redirect to a good answer is (ok)"},
    {"host_rate", "host_rate=N", "at most N web requests a second to one host (no limit)"},
    {"cache", "cache=on|off", "keep web links' answers between runs, in .qilsite.links below the root (on)"},
    {"cache_age", "cache_age=DURATION", "a kept good answer this young stands for a request: 90s, 30m, 12h, 2d (1d)"},
    {"no_raw_views", "no_raw_views", "write no raw view of the documents (a raw view publishes the whole source)"},
    {"strict", "strict", "exit with status 1 for findings, 2 when the run could not do what was asked"},
    {"format", "format=line", "also say every diagnostic and link finding as path:line:column: severity: message"},
    {"report", "report=PATH", "write a report file: JSON, SARIF 2.1.0 for a .sarif path, JUnit XML for .xml"},
    {"help", "--help, -h", "print this text and exit"},
    {"version", "--version", "print the version and exit"},
};

static bool
driver_option_known(StrView key) {
  if (str_equal(key, str_lit("h"))) return true;
  for (const DriverOptionInfo &o : driver_option_table) {
    if (str_equal(key, str_from_cstr(o.key))) return true;
  }
  return false;
}

// Edit distance of two short words (a typo is a few edits away); long words are not compared.
static u64
driver_edit_distance(StrView a, StrView b) {
  if (a.length > 63 || b.length > 63) return 64;
  u64 row[64];
  for (u64 j = 0; j <= b.length; j += 1) row[j] = j;
  for (u64 i = 1; i <= a.length; i += 1) {
    u64 diagonal = row[0];
    row[0] = i;
    for (u64 j = 1; j <= b.length; j += 1) {
      u64 up = row[j];
      u64 cost = char_to_lower(a.data[i - 1]) == char_to_lower(b.data[j - 1]) ? 0 : 1;
      row[j] = Min(Min(row[j] + 1, row[j - 1] + 1), diagonal + cost);
      diagonal = up;
    }
  }
  return row[b.length];
}

static const char *
driver_closest_option(StrView key) {
  const char *best = 0;
  u64 best_distance = 3;  // at most two edits away
  for (const DriverOptionInfo &o : driver_option_table) {
    u64 d = driver_edit_distance(key, str_from_cstr(o.key));
    if (d < best_distance) {
      best_distance = d;
      best = o.key;
    }
  }
  return best;
}

u64
driver_report_unknown_options(OptionTable *options, Arena *arena, StrList *said) {
  u64 n = 0;
  for (u64 i = 0; i < options->slot_count; i += 1) {
    for (Option *o = options->slots[i].first; o; o = o->next) {
      // An empty word names nothing; it is not a mistake worth a line.
      if (o->key.length == 0 || driver_option_known(o->key)) continue;
      const char *close = driver_closest_option(o->key);
      StrView line = close ? str_pushf(arena, "unknown option '%S' (did you mean '%s'?)", &o->key, close)
                           : str_pushf(arena, "unknown option '%S'", &o->key);
      console_eprintf("qilsite: %.*s\n", str_expand(line));
      if (said) str_list_push(arena, said, line);
      n += 1;
    }
  }
  return n;
}

StrView
driver_version(void) {
  return str_lit(QILSITE_VERSION);
}

bool
driver_answer_help_or_version(OptionTable *options) {
  if (option_switch(options, str_lit("version")) && !option_switch(options, str_lit("help"))) {
    console_printf("qilsite %s\n", QILSITE_VERSION);
    return true;
  }
  if (!option_switch(options, str_lit("help")) && !option_switch(options, str_lit("h"))) return false;
  console_printf("qilsite builds a small static website from qil documents and checks its hand-written pages,\n"
                 "its links and, with check_urls, its web addresses.\n\n"
                 "usage: qilsite target_path=PATH [root_path=PATH] [option=value ...] [switch ...]\n"
                 "       qilsite init DIR                 write a small working site into a new or empty folder\n"
                 "       qilsite serve DIR [option ...]   build DIR/src into DIR, serve DIR and rebuild on change\n\n");
  for (const DriverOptionInfo &o : driver_option_table) console_printf("  %-22s %s\n", o.form, o.meaning);
  console_printf("\nOptions are key=value or key:value words, switches bare words (or =true, =1); a leading\n"
                 "- or -- is dropped. Keys are case-sensitive; the first occurrence of a key counts.\n\n"
                 "Exit status: 0 without strict. With strict: 0 when nothing was found, 1 for findings (errors,\n"
                 "broken web links, missing local targets under check_file_paths, pages or sources that could\n"
                 "not be written or read), 2 when the run could not do what was asked (no target_path or one\n"
                 "that does not exist, an unknown option or format, an unreadable kn_searchs.txt or ca_file,\n"
                 "web links not checked for want of an answer to the consent request, a report file not\n"
                 "written).\n"
                 "Stopped by SIGINT or SIGTERM: 130 or 143.\n");
  return true;
}
