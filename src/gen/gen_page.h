// Complete pages: a parsed document assembled into an HTML document with the site's
// shared head and style sheets, the raw view of its source, the shared files and the
// site's index page.
#pragma once

#include "gen/gen_render.h"

//~ What pages share

// What every page takes from the site's shared files, made once a run (gen_shared_make)
// and only read afterwards, by the driver and the writer thread alike.
struct GenShared {
  StrView root_path;    // ends in "/"; links from "~" and from the root are made relative to it
  HtmlNode *head;       // the shared head as parsed once (nil when none); each page gets a copy
  StrView default_css;  // the default style sheet, as its file holds it
  StrView css_rules;    // the same without its font faces, whose addresses depend on the page
  StrView tag_css;      // the per-tag style sheet: the site's own, or generated
  b32 no_raw_views;     // pages get no raw view, and so no "view raw" link
};

// A file written below the site's shared folder as it is: the fonts the style sheets
// declare and their licences, made at build time (scripts/build-fonts).
struct GenSharedFile {
  StrView name;
  StrView bytes;
};

extern const GenSharedFile gen_font_files[];
extern const u64 gen_font_file_count;

// Where the fonts go below the site root, beside the default style sheet.
#define GEN_FONT_FOLDER "shared/css/qil/fonts/"

//~ Shared files (gen_shared.cpp)

struct TagStyle {
  u32 tag;        // HtmlTagKind
  StrView style;  // the element's default inline style; may be empty
};

extern const TagStyle TagStyleTable[];
extern const u64 TagStyleTableCount;

// What pages share, from the texts of the shared files: the head of `head_text` (parsed
// here, the parse left in `head_parse` for the caller to say its faults), the default
// sheet, and the per-tag sheet `tag_css_text` or, when that is empty, the generated one.
GenShared gen_shared_make(Arena *arena, StrView root_path, StrView head_text, StrView head_path,
                          StrView tag_css_text, HtmlParseResult *head_parse);
// The "head" of the shared head, copied, with every "href" made relative to `page_path`;
// an empty "head" when the site has none.
HtmlNode *default_head_element(Arena *arena, const GenShared *shared, StrView page_path);
// The default style sheet and the generated per-tag sheet.
StrView gen_default_css(Arena *arena);
StrView gen_tag_css(Arena *arena);
// The "@font-face" rules, each font's address `folder` followed by its file name.
StrView gen_font_faces(Arena *arena, StrView folder);
// The default style sheet as a page at `page_path` inlines it: its fonts found from there.
StrView gen_page_default_css(Arena *arena, const GenShared *shared, StrView page_path);

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

// The index page at `index_path`, from its parsed tree (`root`; nil when the file is
// missing or empty, and a new page is made): each list "zo-l-NAME" refilled with links to
// the pages of folders named NAME ("zo-l-soft" takes "softwares"), the shared head and
// style sheets given. Returns the tree.
HtmlNode *gen_index_page(Arena *arena, const GenShared *shared, HtmlNode *root, StrView index_path,
                         IndexPageList *pages);

//~ Page assembly (gen_page.cpp)

struct PageResult {
  HtmlNode *document;   // an HtmlNode of type Document; its text is the output path
  StrView title;        // the page title as text
  StrView output_path;  // what the "view raw" link was made from (first "output_path" entry)
  StrView raw_link;     // and its raw page, "%S/raw_%S"
};

// The complete page of a parsed document, to be written at `output_path`; its local JPEG
// images show the sizes measured in `images`. The table of contents and the footnote list become the first and last children of the document.
PageResult page_assemble(Arena *arena, const GenShared *shared, DocParseResult *doc, StrView source_path,
                         StrView output_path, const RenderImageSizes *images = 0);
// The title of a page: the title entry's words, or the source file's name without extension.
StrView page_title_text(Arena *arena, DocNode *title_entry, StrView source_path);

//~ Raw view (gen_raw.cpp)

// The page that shows `source` (a document's whole text) as plain text, written at
// `raw_path`, with a "return" button to `return_href`; its title names the document by
// `doc_title`, or by the source's file name when that is empty.
PageResult build_raw_page(Arena *arena, const GenShared *shared, StrView source, StrView source_path,
                          StrView raw_path, StrView return_href, StrView doc_title = {});
// The serialized tree, ending in the line end that ended `source` (the text it was
// parsed from), as the author wrote it.
StrView gen_page_text(Arena *arena, HtmlNode *root, StrView source);
