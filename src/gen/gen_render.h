// The document renderer: a parsed qil document tree becomes an HTML element tree,
// with the icons, images and block structures it is drawn with.
#pragma once

#include "doc/doc_core.h"
#include "html/html_core.h"

//~ Icons

// Every icon is a glyph of the font "IconFont"; the list gives the name used in the
// icon's class ("icon-%S") and the one byte that draws it. Nil draws nothing.
#define ICON_LIST(X)                                                                                \
  X(Nil, "") X(Menu, "\"") X(Unlink, "#") X(Eye, "$") X(DownDir, "%") X(UpDir, "&") X(LeftDir, "E") \
  X(RightDir, "F") X(At, "'") X(Clone, "(") X(Clipboard, ")") X(ListNested, "*") X(Thlist, "1")     \
  X(Pencil, "2") X(EllipsisVert, "3") X(Ellipsis, "4") X(CircleEmpty, "5") X(DotCircle, "6")        \
  X(Link, "7") X(Attach, "8") X(Brush, "9") X(List, "@") X(Info, "A") X(Attention, "B")             \
  X(CancelCircle, "C") X(Colon, "D") X(HelpCircled, "G") X(Calendar, "H") X(CC, "I") X(User, "P")  \
  X(Quote, "Q") X(Tag, "R") X(Comment, "S") X(Square, "!") X(CheckEmpty, "T") X(Check, "U")         \
  X(Bookmark, "V")

enum IconKind : u32 {
#define ICON_ENUM(name, glyph) IconKind_##name,
  ICON_LIST(ICON_ENUM)
#undef ICON_ENUM
  IconKind_COUNT,
};

struct IconInfo {
  StrView name;
  StrView glyph;
};

//~ Images

struct JpegInfo {
  u16 density_x;
  u16 density_y;
  u16 width;
  u16 height;
  StrView ratio;  // "%S:1"; empty when a density or the divided height is 0
};

//~ Renderer

// The page a document is rendered for.
// The sizes of a page's local JPEG images, measured before assembly (which reads no
// file), found by the image's node.
struct RenderImageSize {
  DocNode *node;
  u32 width;
  u32 height;
};

struct RenderImageSizes {
  RenderImageSize *slots;
  u64 mask;
};

struct RenderPageInfo {
  StrView output_path;  // the page's file: local links are written relative to its folder
  StrView root_path;    // the site root ("~" stands for it), ending in "/"
  u64 counter;          // the page counter of generated ids; page assembly sets it to 0 per page
  const RenderImageSizes *images = 0;  // none: images keep the sizes they are given
  b32 no_raw_view = 0;  // the author leaves raw views out: no "view raw" link
};

struct RenderResult {
  // Stands for the rendered body; when no body container is handed in, it holds the
  // "div" the body was rendered into.
  HtmlNode *fragment;
  HtmlNode *toc;          // the "nav" of the table of contents, or nil
  StrView output_path;    // the "output_path" value with "~/" expanded (first entry)
  StrView raw_link;       // its raw-view page, "%S/raw_%S"
};

// What is done with the pending text when it is written.
enum RenderMode : u32 {
  RenderMode_Plain = 0,
  RenderMode_LinkValue = 128,
  RenderMode_Date = 4096,
  RenderMode_Categories = 0x80000,
};

//~ Icons and images (gen_icons.cpp)

const IconInfo *icon_info(u32 icon);  // Nil's row for an unknown icon
HtmlNode *icon_element(Arena *arena, u32 icon);
void icon_style_rules(Arena *arena, StrList *list);
// The "img" of an image run; `*node_ref` moves past the image's description, so the
// walk goes on after it. "src" is written for the page (render_page_link).
HtmlNode *image_element(Arena *arena, DocNode **node_ref, const RenderPageInfo *page);
// The local JPEG file whose size the image of this node shows (an image with no
// WIDTHxHEIGHT of its own); empty for any other node.
StrView image_jpeg_file(Arena *arena, DocNode *node, const RenderPageInfo *page);
// A JPEG's size and densities, read from its first bytes.
JpegInfo jpeg_info_from_bytes(Arena *arena, StrView bytes);
RenderImageSizes render_image_sizes_make(Arena *arena, const RenderImageSize *items, u64 count);

//~ Rendering (gen_render.cpp)

StrView render_id_prefix(u32 kind, u64 flags);
StrView render_kind_style(u32 kind);
// A link target as the page must write it: a target under the site root becomes a
// path relative to the folder of the page's output path; anything else keeps its form.
// Backslashes become "/" either way.
StrView render_page_link(Arena *arena, const RenderPageInfo *page, StrView target);
// The target of a document's link or image node as its page writes it: one written from
// the site root ("~") or as an absolute path goes through render_page_link; one written
// relative is relative to the page already and keeps its form. Which one it is comes
// from the written form, never from the expanded text: with the root ".", "~/a.html"
// and "./a.html" expand alike.
StrView render_doc_link(Arena *arena, const RenderPageInfo *page, DocNode *node);
// Every "<" written as "&lt;", and every control character HTML does not allow in a
// page (C0 but blanks and line ends, DEL) as U+FFFD.
StrView render_escape_lt(Arena *arena, StrView text);
bool render_is_control(u8 c);
// Writes the joined pieces into `parent` as the mode says (a date, category spans or
// text); `node` is the run that ended them. Nothing happens for an empty list.
void render_flush_text(Arena *arena, HtmlNode *parent, DocNode *node, StrList *pending, u32 mode);
// Renders the document under `root` into `body_container` (into a "div" of the
// result's fragment when the container is nil). Reads no file, and changes neither the document tree nor anything but `page_info->counter`.
RenderResult render_document(Arena *arena, DocNode *root, HtmlNode *body_container, RenderPageInfo *page_info,
                             DocAnchorList *anchors, StrList *extra_css);

//~ Renderer internals, shared by gen_render.cpp and gen_blocks.cpp

// One open element; `owner` is the document node whose walk it belongs to: the
// frames of a node are closed when the walk leaves it.
struct RenderFrame {
  RenderFrame *next;
  HtmlNode *element;
  DocNode *owner;
};

// The element a list or table node was given, found again by its items and cells.
struct RenderBinding {
  RenderBinding *next;
  DocNode *node;
  HtmlNode *element;
  HtmlNode *container;  // a table's "ta_c" row container, or nil
  HtmlNode *body;       // a table's "tbody" once made
};

#define RENDER_BINDING_SLOTS 256

struct RenderState {
  Arena *arena;    // the page's nodes
  Arena *scratch;  // frames, bindings and pending pieces
  RenderFrame *top;
  RenderFrame *free_frames;
  RenderFrame bottom;  // holds the root container; never popped
  u64 open_links;      // open "a" frames: a link inside one is written as text
  u64 open_code;       // open code frames: everything inside one is written as text
  HtmlNode *root_container;
  StrList pending;
  DocNode *pending_node;  // the run whose text went in last
  u32 mode;
  HtmlNode *top_quote;
  HtmlNode *toc;
  u64 top_blocks;  // top-level blocks made so far
  DocAnchorList *anchors;
  StrList *extra_css;
  RenderPageInfo *page;
  RenderResult *result;
  RenderBinding *bindings[RENDER_BINDING_SLOTS];
};

//- output stack and counter (gen_render.cpp)
u64 render_take_number(RenderState *s);
HtmlNode *render_top(RenderState *s);
void render_push(RenderState *s, HtmlNode *element, DocNode *owner);
void render_pop(RenderState *s);
void render_pop_to_root(RenderState *s);
void render_pop_owned(RenderState *s, DocNode *owner);
// Pops down to the nearest open element whose "id" begins with the prefix; nothing
// is popped when no open element has one.
void render_pop_until_prefix(RenderState *s, StrView prefix);
bool render_frame_is_open(RenderState *s, HtmlNode *element);
void render_flush(RenderState *s);
HtmlNode *render_element(RenderState *s, u32 tag, DocNode *node);
void render_bind(RenderState *s, DocNode *node, HtmlNode *element, HtmlNode *container);
RenderBinding *render_binding(RenderState *s, DocNode *node);
StrView render_number_text(RenderState *s, const char *prefix, u64 n);

//- block structures (gen_blocks.cpp)
void render_heading(RenderState *s, DocNode *node);
void render_toc(RenderState *s, DocNode *node);
void render_quote(RenderState *s, DocNode *node);
void render_collapsible(RenderState *s, DocNode *node);
void render_top_collapsible(RenderState *s, DocNode *node);
void render_paragraph(RenderState *s, DocNode *node);
void render_list(RenderState *s, DocNode *node);
void render_list_item(RenderState *s, DocNode *node);
void render_separator(RenderState *s, DocNode *node);
void render_table(RenderState *s, DocNode *node);
void render_table_header(RenderState *s, DocNode *node);
void render_table_cell(RenderState *s, DocNode *node);
void render_footnote_ref(RenderState *s, DocNode *node);
void render_footnote(RenderState *s, DocNode *node);
void render_footnote_list(RenderState *s, DocNode *node);
void render_inline_ref(RenderState *s, DocNode *node);
