// Icons drawn with the icon font, and the "img" elements of image runs with the
// sizes of JPEG files read from the files themselves.
#include "gen/gen_render.h"

#include "site/site_path.h"
#include "os/os_core.h"

//~ Icons

static const IconInfo icon_table[IconKind_COUNT] = {
#define ICON_ROW(name, glyph) {{(u8 *)#name, sizeof(#name) - 1}, {(u8 *)glyph, sizeof(glyph) - 1}},
    ICON_LIST(ICON_ROW)
#undef ICON_ROW
};

const IconInfo *
icon_info(u32 icon) {
  return &icon_table[icon < IconKind_COUNT ? icon : IconKind_Nil];
}

HtmlNode *
icon_element(Arena *arena, u32 icon) {
  HtmlNode *span = html_element_create(arena, HtmlTagKind_Span, {});
  html_add_class(arena, span, str_lit("icon"));
  StrView name = icon_info(icon)->name;
  html_add_class(arena, span, str_pushf(arena, "icon-%S", &name));
  return span;
}

void
icon_style_rules(Arena *arena, StrList *list) {
  str_list_push(arena, list,
                str_lit(".icon{font-family:'IconFont';width:1em;height:1em;display:inline-block;text-align:center;}"));
  for (u32 i = 0; i < IconKind_COUNT; i += 1) {
    const IconInfo *row = &icon_table[i];
    // An apostrophe would end the quoted CSS string: it is escaped.
    if (str_equal(row->glyph, str_lit("'"))) {
      str_list_pushf(arena, list, ".icon-%S::before{content:'\\%S';}", &row->name, &row->glyph);
    } else {
      str_list_pushf(arena, list, ".icon-%S::before{content:'%S';}", &row->name, &row->glyph);
    }
  }
}

//~ JPEG files

static u16
jpeg_be16(const u8 *p) {
  return (u16)((p[0] << 8) | p[1]);
}

JpegInfo
jpeg_read_info(Arena *arena, StrView path) {
  JpegInfo info = {};
  ArenaTemp scratch = scratch_begin(&arena, 1);
  StrView bytes = os_read_file(scratch.arena, path);
  const u8 *b = bytes.data;
  u64 n = bytes.length;
  //- every 0xFF that starts a JFIF (0xE0) or frame (0xC0, 0xC2) segment; a segment
  //  cut off by the end of the file is not read
  for (u64 i = 0; i < n;) {
    if (b[i] == 0xFF && i + 1 < n) {
      u8 marker = b[i + 1];
      if (marker == 0xE0 && i + 16 <= n) {
        info.density_x = jpeg_be16(b + i + 12);
        info.density_y = jpeg_be16(b + i + 14);
        i += 16;
        continue;
      }
      if ((marker == 0xC0 || marker == 0xC2) && i + 9 <= n) {
        info.height = jpeg_be16(b + i + 5);
        info.width = jpeg_be16(b + i + 7);
        i += 9;
        continue;
      }
    }
    i += 1;
  }
  scratch_end(scratch);
  //- the ratio, only where nothing divides by zero
  if (info.density_x && info.density_y) {
    u64 w = (u64)(info.width / info.density_x) % 256;
    u64 h = (u64)(info.height / info.density_y) % 256;
    if (h) info.ratio = str_pushf(arena, "%llu:1", (unsigned long long)(w / h));
  }
  return info;
}

//~ Images

static bool
image_is_jpeg(StrView target) {
  StrView name = str_skip_last_slash(target);
  StrView ext = str_skip_last_dot(name);
  if (ext.length == name.length) return false;
  const char *exts[] = {"jpeg", "jpg", "jpe", "jfif", "jif", "jfi"};
  for (u64 i = 0; i < ArrayCount(exts); i += 1) {
    if (str_match(ext, str_from_cstr(exts[i]), StrMatchFlag_CaseInsensitive)) return true;
  }
  return false;
}

HtmlNode *
image_element(Arena *arena, DocNode **node_ref, const RenderPageInfo *page) {
  DocNode *node = *node_ref;
  HtmlNode *img = html_element_create(arena, HtmlTagKind_Img, {});
  img->source_offset = node->source_offset;
  ArenaTemp scratch = scratch_begin(&arena, 1);
  // The target as written ("~/img/a.png") tells a path; `text` is its "~"-expanded form.
  StrView written = str_unquote(node->raw);
  bool web = site_link_is_web_address(node->text) || site_link_is_web_address(written);

  //- source
  if (node->flags & DocNodeFlag_String) {
    if (doc_path_like(written) || doc_path_like(node->text) || web) {
      StrView src = render_page_link(scratch.arena, page, node->text);
      html_set_attribute(arena, img, HtmlAttrKind_Src, render_escape_lt(scratch.arena, src));
    }
  }

  //- arguments: a quoted alternative text, and WIDTHxHEIGHT
  StrView alt = {}, width = {}, height = {};
  DocNode *desc = node->first_child;
  if (!doc_node_is_nil(desc) && desc->kind == DocNodeKind_LinkDescription) {
    StrView seps[2] = {str_lit("x"), str_lit("X")};
    for (DocNode *c = desc->first_child; !doc_node_is_nil(c); c = c->next) {
      if (c->flags & (DocNodeFlag_Quoted | DocNodeFlag_String)) {
        if (c->text.length >= 2) alt = str_substr(c->text, 1, c->text.length - 1);
      } else {
        StrList pieces = str_split(scratch.arena, c->text, seps, 2);
        if (pieces.node_count == 2) {
          width = pieces.first->string;
          height = pieces.last->string;
        }
      }
    }
    *node_ref = doc_node_is_nil(desc->last_child) ? desc : desc->last_child;
  }

  //- JPEG size, from a local file only: an address is never opened
  if (!web && width.length == 0 && image_is_jpeg(node->text)) {
    StrView root = {}, folder = {};
    if (page) {
      root = page->root_path;
      folder = str_chop_last_slash_keep(page->output_path);
      if (folder.length == page->output_path.length) folder = StrView{};
    }
    StrView path = site_link_resolve_local(scratch.arena, written, root, folder);
    if (path.length) {
      JpegInfo info = jpeg_read_info(scratch.arena, path);
      if (info.width && info.height) {
        width = str_from_u64(scratch.arena, info.width, 10, 0, 0);
        height = str_from_u64(scratch.arena, info.height, 10, 0, 0);
      }
    }
  }

  //- attributes (empty values set nothing)
  alt = render_escape_lt(scratch.arena, alt);
  html_set_attribute(arena, img, HtmlAttrKind_Alt, alt);
  html_set_attribute(arena, img, HtmlAttrKind_Width, render_escape_lt(scratch.arena, width));
  html_set_attribute(arena, img, HtmlAttrKind_Height, render_escape_lt(scratch.arena, height));
  html_set_attribute(arena, img, HtmlAttrKind_DataTitle, alt);
  html_set_attribute(arena, img, HtmlAttrKind_Draggable, str_lit("false"));
  scratch_end(scratch);
  return img;
}
