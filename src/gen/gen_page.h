// Complete pages: a parsed document assembled into an HTML document with the site's
// shared head and style sheets, the raw view of its source, the shared files and the
// site's index page.
#pragma once

#include "gen/gen_render.h"
#include "gen/gen_write.h"

//~ The site a run builds

// The shared files of one run, below the site root. A run begins with gen_site_begin;
// until then (or with an empty root) nothing is read or written. Main thread only.
struct GenSite {
  Arena *arena;            // what is kept for the run: texts of the shared files
  StrView root_path;       // ends in "/"
  StrView default_css;     // generated and written at its first use
  StrView tag_css;         // read, or generated when the file is missing or empty
  StrView head_text;       // the shared head file as read at its first use
  b32 default_css_ready;
  b32 tag_css_ready;
  b32 head_ready;
};

// Starts a run on the site: the style sheets are generated (and written) again at their
// first use. `arena` lives for the run.
void gen_site_begin(Arena *arena, StrView root_path);
GenSite *gen_site(void);

//~ Shared files (gen_shared.cpp)

struct TagStyle {
  u32 tag;        // HtmlTagKind
  StrView style;  // the element's default inline style; may be empty
};

extern const TagStyle TagStyleTable[];
extern const u64 TagStyleTableCount;

// The "head" of "shared/html/default_head.html" under the site root, with every "href"
// made relative to `page_path`; an empty "head" when the file is missing or has none.
HtmlNode *default_head_element(Arena *arena, StrView page_path);
// The default style sheet; written to "shared/css/qil/css_default.css" at its first use in a run.
StrView default_css_text(Arena *arena);
// The per-tag style sheet of "shared/css/qil/css_tag_default.css"; generated and written
// only when that file is missing or empty.
StrView tag_css_text(Arena *arena);

struct IndexPage {
  IndexPage *next;
  StrView path;   // the page's output path
  StrView title;  // its title as text (not escaped)
};

struct IndexPageList {
  IndexPage *first;
  IndexPage *last;
  u64 count;
};

enum IndexStatus : u32 {
  IndexStatus_Written,    // written, or already holding this text
  IndexStatus_NotParsed,  // its parse raised an error: left as it is
  IndexStatus_NotWritten, // the writer refused or failed (it said why)
  IndexStatus_NoSite,     // no site root
};

// Refills the lists "zo-l-qil" and "zo-l-soft" of "website/index.html" with links to the
// pages, gives it the shared head and style sheets, and replaces the file, unless its
// parse raised an error or it changed while it was read. Prints its diagnostics.
IndexStatus write_index_page(Arena *arena, IndexPageList *pages);

//~ Page assembly (gen_page.cpp)

struct PageResult {
  HtmlNode *document;   // an HtmlNode of type Document; its text is the output path
  StrView title;        // the page title as text
  StrView output_path;  // what the "view raw" link was made from (first "output_path" entry)
  StrView raw_link;     // and its raw page, "%S/raw_%S"
};

// The complete page of a parsed document, to be written at `output_path`. The table of
// contents and the footnote list become the first and last children of the document.
PageResult page_assemble(Arena *arena, DocParseResult *doc, StrView source_path, StrView output_path);
// The title of a page: the title entry's words, or the source file's name without extension.
StrView page_title_text(Arena *arena, DocNode *title_entry, StrView source_path);

//~ Raw view (gen_raw.cpp)

// The page that shows `source` (a document's whole text) as plain text, written at
// `raw_path`, with a "return" button to `return_href`.
PageResult build_raw_page(Arena *arena, StrView source, StrView source_path, StrView raw_path,
                          StrView return_href);
