// The HTML node tree: builders, searches and the serializer.
#include "html/html_core.h"

extern const HtmlElementInfo html_element_empty;
extern const HtmlAttributeInfo html_attribute_empty;

// Constant-initialised: every link leads back to the record, the rows are the empty rows.
HtmlNode html_nil_node_record = {
    &html_nil_node_record, &html_nil_node_record, &html_nil_node_record, &html_nil_node_record,
    &html_nil_node_record, &html_element_empty, &html_attribute_empty, 0, 0, {}, {}, 0, 0, 0, 0,
};

//~ Builders

HtmlNode *
html_node_create(Arena *arena, u32 type, u64 flags, StrView name, StrView text, u64 source_offset) {
  (void)name;
  HtmlNode *n = push_struct(arena, HtmlNode);
  n->next = n->prev = n->parent = n->first_child = n->last_child = html_nil_node;
  n->element = html_element_empty_row();
  n->attribute = html_attribute_empty_row();
  if (type == HtmlNode_Element) {
    const HtmlElementInfo *row = html_element_info_by_name(text);
    if (row) n->element = row;
  } else if (type == HtmlNode_Attribute) {
    const HtmlAttributeInfo *row = html_attribute_info_by_name(text);
    if (row) n->attribute = row;
  }
  n->text = n->raw = str_push_copy(arena, text);
  n->type = type;
  n->flags = flags;
  n->source_offset = source_offset;
  return n;
}

void
html_append_child(HtmlNode *parent, HtmlNode *child) {
  if (html_node_is_nil(parent) || html_node_is_nil(child)) return;
  TreeAppendChild(parent, child, html_nil_node);
}

void
html_prepend_child(HtmlNode *parent, HtmlNode *child) {
  if (html_node_is_nil(parent) || html_node_is_nil(child)) return;
  TreePrependChild(parent, child, html_nil_node);
}

static HtmlNode *
html_element_with_row(Arena *arena, const HtmlElementInfo *row, StrView text) {
  if (!row) return html_nil_node;
  HtmlNode *e = html_node_create(arena, HtmlNode_Element, 0, row->name, row->name, 0);
  html_append_child(e, html_node_create(arena, HtmlNode_AttributeList, 0, {}, {}, 0));
  HtmlNode *content = html_node_create(arena, HtmlNode_Content, 0, {}, {}, 0);
  html_append_child(e, content);
  if (text.length) html_append_child(content, html_node_create(arena, HtmlNode_Content, 0, {}, text, 0));
  return e;
}

HtmlNode *
html_element_create(Arena *arena, u32 tag_kind, StrView text) {
  if (tag_kind == 0) return html_nil_node;
  return html_element_with_row(arena, html_element_info_by_kind(tag_kind), text);
}

HtmlNode *
html_element_create_named(Arena *arena, StrView name, StrView text) {
  return html_element_with_row(arena, html_element_info_by_name(name), text);
}

HtmlNode *
html_enclosing_element(HtmlNode *node) {
  for (HtmlNode *n = node; !html_node_is_nil(n); n = n->parent) {
    if (n->type == HtmlNode_Element) return n;
  }
  return html_nil_node;
}

static HtmlNode *
html_child_of_enclosing(HtmlNode *node, u32 type) {
  if (html_node_is_nil(node)) return html_nil_node;
  if (node->type == type) return node;
  HtmlNode *e = html_enclosing_element(node);
  for (HtmlNode *c = e->first_child; !html_node_is_nil(c); c = c->next) {
    if (c->type == type) return c;
  }
  return html_nil_node;
}

HtmlNode *
html_attribute_list_of(HtmlNode *node) {
  return html_child_of_enclosing(node, HtmlNode_AttributeList);
}

HtmlNode *
html_content_of(HtmlNode *node) {
  if (html_node_is_nil(node)) return html_nil_node;
  if (node->type == HtmlNode_Content && node->text.length == 0) return node;
  HtmlNode *e = html_enclosing_element(node);
  return html_node_is_nil(e->last_child) || e->last_child->type != HtmlNode_Content ? html_nil_node : e->last_child;
}

HtmlNode *
html_content_append(HtmlNode *node, HtmlNode *child) {
  HtmlNode *content = html_content_of(node);
  if (html_node_is_nil(content)) return child;
  html_append_child(content, child);
  return child;
}

HtmlNode *
html_add_text(Arena *arena, HtmlNode *node, StrView text) {
  HtmlNode *content = html_content_of(node);
  if (html_node_is_nil(content)) return html_nil_node;
  HtmlNode *t = html_node_create(arena, HtmlNode_Content, 0, {}, text, 0);
  html_append_child(content, t);
  return t;
}

void
html_detach(HtmlNode *node) {
  if (html_node_is_nil(node)) return;
  HtmlNode *p = node->parent;
  if (!html_node_is_nil(p)) {
    if (p->first_child == node) p->first_child = node->next;
    if (p->last_child == node) p->last_child = node->prev;
    if (p->child_count) p->child_count -= 1;
  }
  if (!html_node_is_nil(node->prev)) node->prev->next = node->next;
  if (!html_node_is_nil(node->next)) node->next->prev = node->prev;
  node->next = node->prev = node->parent = html_nil_node;
}

void
html_insert(HtmlNode *node, HtmlNode *new_node, u32 mode) {
  if (html_node_is_nil(node) || html_node_is_nil(new_node)) return;
  switch (mode) {
    case HtmlInsert_After: {
      HtmlNode *e = html_enclosing_element(node);
      HtmlNode *parent = e->parent;
      if (html_node_is_nil(parent)) return;
      if (html_node_is_nil(e->next)) {
        html_append_child(parent, new_node);
      } else {
        new_node->parent = parent;
        new_node->prev = e;
        new_node->next = e->next;
        e->next->prev = new_node;
        e->next = new_node;
        parent->child_count += 1;
      }
    } break;
    case HtmlInsert_FirstChild: html_prepend_child(html_content_of(node), new_node); break;
    case HtmlInsert_LastChild: html_append_child(html_content_of(node), new_node); break;
    default: Trap();
  }
}

void
html_clear_content(HtmlNode *node) {
  HtmlNode *content = html_content_of(node);
  if (html_node_is_nil(content)) return;
  content->first_child = content->last_child = html_nil_node;
  content->child_count = 0;
}

//~ Attributes

HtmlNode *
html_find_attribute(HtmlNode *node, u32 attr_kind) {
  HtmlNode *list = html_attribute_list_of(node);
  for (HtmlNode *a = list->first_child; !html_node_is_nil(a); a = a->next) {
    if (a->type == HtmlNode_Attribute && a->attribute->kind == attr_kind) return a;
  }
  return html_nil_node;
}

HtmlNode *
html_set_attribute(Arena *arena, HtmlNode *node, u32 attr_kind, StrView value) {
  HtmlNode *list = html_attribute_list_of(node);
  if (html_node_is_nil(list)) return html_nil_node;
  const HtmlAttributeInfo *row = html_attribute_info_by_kind(attr_kind);
  if (!row) return html_nil_node;
  // A tag read from a page is written from its attributes from now on.
  html_enclosing_element(list)->flags |= HtmlNodeFlag_Edited;
  if (row->value_type != HtmlAttrValue_Flag && value.length == 0) return html_nil_node;
  HtmlNode *attr = html_find_attribute(node, attr_kind);
  if (html_node_is_nil(attr)) {
    attr = html_node_create(arena, HtmlNode_Attribute, 0, row->name, row->name, 0);
    html_append_child(list, attr);
  }
  if (row->value_type == HtmlAttrValue_Flag) return attr;
  html_append_child(attr, html_node_create(arena, HtmlNode_AttributeValue, 0, {}, value, 0));
  return attr;
}

HtmlNode *
html_replace_attribute(Arena *arena, HtmlNode *node, u32 attr_kind, StrView value) {
  HtmlNode *attr = html_find_attribute(node, attr_kind);
  if (!html_node_is_nil(attr)) {
    attr->first_child = attr->last_child = html_nil_node;
    attr->child_count = 0;
  }
  return html_set_attribute(arena, node, attr_kind, value);
}

void
html_add_class(Arena *arena, HtmlNode *node, StrView class_name) {
  html_set_attribute(arena, node, HtmlAttrKind_Class, class_name);
}

StrView
html_attribute_value(HtmlNode *node, u32 attr_kind) {
  HtmlNode *a = html_find_attribute(node, attr_kind);
  return html_node_is_nil(a->first_child) ? StrView{} : a->first_child->text;
}

bool
html_attribute_value_has_prefix(HtmlNode *node, u32 attr_kind, StrView text) {
  HtmlNode *a = html_find_attribute(node, attr_kind);
  if (html_node_is_nil(a->first_child)) return false;
  return str_match(text, a->first_child->text, StrMatchFlag_Prefix | StrMatchFlag_CaseInsensitive);
}

bool
html_has_class(HtmlNode *node, StrView class_name) {
  HtmlNode *list = html_attribute_list_of(node);
  for (HtmlNode *a = list->first_child; !html_node_is_nil(a); a = a->next) {
    if (a->type != HtmlNode_Attribute || a->attribute->kind != HtmlAttrKind_Class || a->attribute->name.length == 0) {
      continue;
    }
    for (HtmlNode *v = a->first_child; !html_node_is_nil(v); v = v->next) {
      if (str_match(v->text, class_name, StrMatchFlag_CaseInsensitive)) return true;
    }
  }
  return false;
}

//~ Searches

HtmlNode *
html_next_preorder(HtmlNode *node, HtmlNode *root) {
  if (!html_node_is_nil(node->first_child)) return node->first_child;
  for (HtmlNode *n = node; !html_node_is_nil(n) && n != root; n = n->parent) {
    if (!html_node_is_nil(n->next)) return n->next;
  }
  return html_nil_node;
}

// Copies in one preorder walk; a stack of the copies made so far on the way down tells
// each node's new parent. The original is only read: several threads may copy it.
struct HtmlCopyFrame {
  HtmlCopyFrame *below;
  HtmlNode *original;
  HtmlNode *copy;
};

HtmlNode *
html_tree_copy(Arena *arena, HtmlNode *root) {
  if (html_node_is_nil(root)) return html_nil_node;
  ArenaTemp scratch = scratch_begin(&arena, 1);
  HtmlCopyFrame *top = 0, *free_frames = 0;
  HtmlNode *result = html_nil_node;
  for (HtmlNode *n = root; !html_node_is_nil(n); n = html_next_preorder(n, root)) {
    HtmlNode *c = push_array_no_zero(arena, HtmlNode, 1);
    *c = *n;
    c->next = c->prev = c->parent = c->first_child = c->last_child = html_nil_node;
    if (n == root) {
      result = c;
    } else {
      //- back up to the copy of this node's parent, then append
      while (top && top->original != n->parent) {
        HtmlCopyFrame *f = top;
        top = f->below;
        f->below = free_frames;
        free_frames = f;
      }
      HtmlNode *parent = top->copy;
      c->parent = parent;
      c->prev = parent->last_child;
      if (html_node_is_nil(parent->last_child)) parent->first_child = c;
      else parent->last_child->next = c;
      parent->last_child = c;
    }
    if (html_node_is_nil(n->first_child)) continue;
    HtmlCopyFrame *f = free_frames;
    if (f) free_frames = f->below;
    else f = push_array_no_zero(scratch.arena, HtmlCopyFrame, 1);
    f->original = n;
    f->copy = c;
    f->below = top;
    top = f;
  }
  scratch_end(scratch);
  return result;
}

HtmlNode *
html_find_child_of_type(HtmlNode *node, u32 type) {
  HtmlNode *e = html_enclosing_element(node);
  if (html_node_is_nil(e)) return html_nil_node;
  if (e->type == type) return e;
  for (HtmlNode *c = e->first_child; !html_node_is_nil(c); c = c->next) {
    if (c->type == type) return c;
  }
  return html_nil_node;
}

HtmlNode *
html_find_last_element_by_kind(HtmlNode *root, u32 tag_kind) {
  HtmlNode *found = html_nil_node;
  if (html_node_is_nil(root)) return found;
  for (HtmlNode *n = html_next_preorder(root, root); !html_node_is_nil(n); n = html_next_preorder(n, root)) {
    if (n->type == HtmlNode_Element && n->element->kind == tag_kind) found = n;
  }
  return found;
}

HtmlNode *
html_find_element_by_kind_level(HtmlNode *root, u32 tag_kind, u8 level) {
  if (html_node_is_nil(root)) return html_nil_node;
  for (HtmlNode *n = root; !html_node_is_nil(n); n = html_next_preorder(n, root)) {
    if (n->type == HtmlNode_Element && n->element->kind == tag_kind && n->level == level) return n;
  }
  return html_nil_node;
}

HtmlNode *
html_find_element_by_attribute_value(HtmlNode *root, u32 attr_kind, StrView value) {
  if (html_node_is_nil(root)) return html_nil_node;
  for (HtmlNode *n = root; !html_node_is_nil(n); n = html_next_preorder(n, root)) {
    if (n->type != HtmlNode_Element) continue;
    HtmlNode *a = html_find_attribute(n, attr_kind);
    if (!html_node_is_nil(a->first_child) && str_equal(a->first_child->text, value)) return n;
  }
  return html_nil_node;
}

HtmlNode *
html_find_child_element_by_attribute(HtmlNode *node, u32 attr_kind, StrView value, u8 level) {
  HtmlNode *content = html_content_of(node);
  for (HtmlNode *c = content->first_child; !html_node_is_nil(c); c = c->next) {
    if (c->level != level) continue;
    HtmlNode *a = html_find_attribute(c, attr_kind);
    if (!html_node_is_nil(a->first_child) && str_equal(a->first_child->text, value)) return html_enclosing_element(c);
  }
  return html_nil_node;
}

HtmlNode *
html_find_ancestor_by_kind(HtmlNode *node, u32 tag_kind) {
  for (HtmlNode *n = node; !html_node_is_nil(n); n = n->parent) {
    if (n->element && n->element->kind == tag_kind && n->type == HtmlNode_Element) return n;
  }
  return html_nil_node;
}

// Elements read from a fragment whose end tag the text left out get one: a fragment set
// inside a generated page must not reach past its place.
void
html_close_omitted(Arena *arena, HtmlNode *root) {
  for (HtmlNode *n = root; !html_node_is_nil(n); n = html_next_preorder(n, root)) {
    if (n->type != HtmlNode_Element || !(n->flags & HtmlNodeFlag_Source)) continue;
    if (n->flags & HtmlNodeFlag_SelfClosed || (n->element->content & HtmlContent_Void)) continue;
    HtmlNode *content = n->last_child;
    if (html_node_is_nil(content) || content->type != HtmlNode_Content || content->raw.length) continue;
    content->raw = str_pushf(arena, "</%S>", &n->text);
  }
}

//~ Serializer

static StrView
html_element_name(HtmlNode *e) {
  // An unknown element is written with its own name as written.
  return e->element->name.length ? e->element->name : e->text;
}

// The text is built in one growing buffer: a page is many short pieces, and a list
// node for each would cost more than the bytes.
struct HtmlOut {
  Arena *arena;
  u8 *data;
  u64 length;
  u64 capacity;
};

static void
html_out_grow(HtmlOut *o, u64 more) {
  u64 capacity = Max(o->capacity * 2, Max(o->length + more, (u64)KB(16)));
  u8 *data = push_array_no_zero(o->arena, u8, capacity);
  if (o->length) memcpy(data, o->data, o->length);
  o->data = data;
  o->capacity = capacity;
}

static inline void
html_out_put(HtmlOut *o, StrView s) {
  if (!s.length) return;
  if (o->length + s.length > o->capacity) html_out_grow(o, s.length);
  memcpy(o->data + o->length, s.data, s.length);
  o->length += s.length;
}

static void
html_out_put_escaping_double_quotes(HtmlOut *o, StrView s) {
  u64 start = 0;
  for (u64 i = 0; i < s.length; i += 1) {
    if (s.data[i] != '"') continue;
    html_out_put(o, str_substr(s, start, i));
    html_out_put(o, str_lit("&quot;"));
    start = i + 1;
  }
  html_out_put(o, str_skip(s, start));
}

static bool
html_holds_byte(StrView s, u8 c) {
  return s.length && memchr(s.data, c, s.length) != 0;
}

// Values are written so that a browser and the parser read them back unchanged:
// between single quotes when a value holds a double quote, and with &quot; only
// when the values hold both kinds of quote.
static void
html_write_attributes(HtmlOut *out, HtmlNode *list, bool self_closed) {
  for (HtmlNode *a = list->first_child; !html_node_is_nil(a); a = a->next) {
    if (a->type != HtmlNode_Attribute) continue;
    html_out_put(out, str_lit(" "));
    html_out_put(out, a->text);
    if (!html_node_is_nil(a->first_child)) {
      bool has_double = false, has_single = false;
      for (HtmlNode *v = a->first_child; !html_node_is_nil(v); v = v->next) {
        has_double = has_double || html_holds_byte(v->text, '"');
        has_single = has_single || html_holds_byte(v->text, '\'');
      }
      bool single = has_double && !has_single;
      bool escape = has_double && has_single;
      html_out_put(out, single ? str_lit("='") : str_lit("=\""));
      bool is_class = a->attribute->kind == HtmlAttrKind_Class && a->attribute->name.length;
      for (HtmlNode *v = a->first_child; !html_node_is_nil(v); v = v->next) {
        if (escape) html_out_put_escaping_double_quotes(out, v->text);
        else html_out_put(out, v->text);
        if (is_class && !html_node_is_nil(v->next)) html_out_put(out, str_lit(" "));
      }
      html_out_put(out, single ? str_lit("'") : str_lit("\""));
    }
    html_out_put(out, str_lit(" "));
  }
  // An SVG element read as "<x/>" has nothing inside: without the "/" it would hold what follows.
  html_out_put(out, self_closed ? str_lit("/>") : str_lit(">"));
}

void
html_write(Arena *arena, StrList *list, HtmlNode *root) {
  if (html_node_is_nil(root)) return;
  ArenaTemp scratch = scratch_begin(&arena, 1);
  HtmlOut o = {scratch.arena, 0, 0, 0};
  HtmlOut *out = &o;
  HtmlNode *n = root;
  for (;;) {
    //- enter
    HtmlNode *down = html_nil_node;
    if (n->type == HtmlNode_Element) {
      if ((n->flags & (HtmlNodeFlag_Source | HtmlNodeFlag_Edited)) == HtmlNodeFlag_Source) {
        html_out_put(out, n->raw);
      } else {
        html_out_put(out, str_lit("<"));
        html_out_put(out, (n->flags & HtmlNodeFlag_Source) ? n->text : html_element_name(n));
        HtmlNode *attrs = n->first_child;
        if (!html_node_is_nil(attrs) && attrs->type == HtmlNode_AttributeList) {
          html_write_attributes(out, attrs, (n->flags & HtmlNodeFlag_SelfClosed) != 0);
        }
        else html_out_put(out, str_lit(">"));
      }
      HtmlNode *content = n->last_child;
      if (!html_node_is_nil(content) && content->type == HtmlNode_Content) {
        // A content node may carry text of its own (a preview span): it comes first.
        html_out_put(out, content->text);
        down = content->first_child;
      }
    } else if ((n->type == HtmlNode_Content && n->text.length) || n->type == HtmlNode_Markup) {
      html_out_put(out, n->text);
      down = n->first_child;
    } else if (n->type != HtmlNode_AttributeList && n->type != HtmlNode_Attribute &&
               n->type != HtmlNode_AttributeValue) {
      down = n->first_child;
    }
    if (!html_node_is_nil(down)) {
      n = down;
      continue;
    }
    //- leave, climbing while there is no next sibling
    bool done = false;
    for (;;) {
      if (n->type == HtmlNode_Element && (n->flags & HtmlNodeFlag_Source)) {
        // The end tag as written, or none where the page left it out.
        HtmlNode *content = n->last_child;
        if (!html_node_is_nil(content) && content->type == HtmlNode_Content) html_out_put(out, content->raw);
      } else if (n->type == HtmlNode_Element && !(n->element->content & HtmlContent_Void)) {
        html_out_put(out, str_lit("</"));
        html_out_put(out, html_element_name(n));
        html_out_put(out, str_lit(">"));
      }
      if (n == root) {
        done = true;
        break;
      }
      if (!html_node_is_nil(n->next)) {
        n = n->next;
        break;
      }
      n = n->parent;
      if (html_node_is_nil(n)) {
        done = true;
        break;
      }
    }
    if (done) break;
  }
  if (o.length) {
    u8 *bytes = push_array_no_zero(arena, u8, o.length);
    memcpy(bytes, o.data, o.length);
    str_list_push(arena, list, str_make(bytes, o.length));
  }
  scratch_end(scratch);
}

