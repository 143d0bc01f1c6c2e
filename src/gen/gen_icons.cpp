// Icons drawn with the icon font, and the "img" elements of image runs with the
// sizes of JPEG files read from the files themselves.
#include "gen/gen_render.h"

#include "site/site_path.h"

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
jpeg_info_from_bytes(Arena *arena, StrView bytes) {
  JpegInfo info = {};
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

// The image's WIDTHxHEIGHT and quoted alternative text, from its description; `last`
// is the last node the description holds (the node itself without one).
struct ImageArguments {
  StrView alt;
  StrView width;
  StrView height;
  DocNode *last;
};

static ImageArguments
image_arguments(Arena *arena, DocNode *node) {
  ImageArguments args = {};
  args.last = node;
  DocNode *desc = node->first_child;
  if (doc_node_is_nil(desc) || desc->kind != DocNodeKind_LinkDescription) return args;
  StrView seps[2] = {str_lit("x"), str_lit("X")};
  for (DocNode *c = desc->first_child; !doc_node_is_nil(c); c = c->next) {
    if (c->flags & (DocNodeFlag_Quoted | DocNodeFlag_String)) {
      if (c->text.length >= 2) args.alt = str_substr(c->text, 1, c->text.length - 1);
    } else {
      StrList pieces = str_split(arena, c->text, seps, 2);
      if (pieces.node_count == 2) {
        args.width = pieces.first->string;
        args.height = pieces.last->string;
      }
    }
  }
  args.last = doc_node_is_nil(desc->last_child) ? desc : desc->last_child;
  return args;
}

// An address is never opened: only a local JPEG without a size of its own is measured.
static StrView
image_jpeg_file_from(Arena *arena, DocNode *node, const ImageArguments *args, const RenderPageInfo *page) {
  StrView written = str_unquote(node->raw);
  bool web = site_link_is_web_address(node->text) || site_link_is_web_address(written);
  if (web || args->width.length || !image_is_jpeg(node->text)) return StrView{};
  StrView root = {}, folder = {};
  if (page) {
    root = page->root_path;
    folder = str_chop_last_slash_keep(page->output_path);
    if (folder.length == page->output_path.length) folder = StrView{};
  }
  return site_link_resolve_local(arena, written, root, folder);
}

StrView
image_jpeg_file(Arena *arena, DocNode *node, const RenderPageInfo *page) {
  if (!(node->flags & DocNodeFlag_Image)) return StrView{};
  ImageArguments args = image_arguments(arena, node);
  return image_jpeg_file_from(arena, node, &args, page);
}

//- The sizes measured for a page, found by node: open addressing over the node's address.

static u64
image_size_slot(const DocNode *node, u64 mask) {
  u64 h = (u64)(uintptr_t)node;
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdull;
  h ^= h >> 33;
  return h & mask;
}

RenderImageSizes
render_image_sizes_make(Arena *arena, const RenderImageSize *items, u64 count) {
  RenderImageSizes sizes = {};
  if (!count) return sizes;
  u64 capacity = 16;
  while (capacity < count * 2) capacity *= 2;
  sizes.slots = push_array(arena, RenderImageSize, capacity);
  sizes.mask = capacity - 1;
  for (u64 i = 0; i < count; i += 1) {
    u64 at = image_size_slot(items[i].node, sizes.mask);
    while (sizes.slots[at].node && sizes.slots[at].node != items[i].node) at = (at + 1) & sizes.mask;
    sizes.slots[at] = items[i];
  }
  return sizes;
}

static const RenderImageSize *
render_image_size_find(const RenderImageSizes *sizes, const DocNode *node) {
  if (!sizes || !sizes->slots) return 0;
  for (u64 at = image_size_slot(node, sizes->mask); sizes->slots[at].node; at = (at + 1) & sizes->mask) {
    if (sizes->slots[at].node == node) return &sizes->slots[at];
  }
  return 0;
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
      StrView src = render_doc_link(scratch.arena, page, node);
      html_set_attribute(arena, img, HtmlAttrKind_Src, render_escape_lt(scratch.arena, src));
    }
  }

  //- arguments: a quoted alternative text, and WIDTHxHEIGHT
  ImageArguments args = image_arguments(scratch.arena, node);
  StrView alt = args.alt, width = args.width, height = args.height;
  *node_ref = args.last;

  //- a local JPEG's size, as measured before assembly
  if (image_jpeg_file_from(scratch.arena, node, &args, page).length) {
    const RenderImageSize *size = render_image_size_find(page ? page->images : 0, node);
    if (size && size->width && size->height) {
      width = str_from_u64(scratch.arena, size->width, 10, 0, 0);
      height = str_from_u64(scratch.arena, size->height, 10, 0, 0);
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
