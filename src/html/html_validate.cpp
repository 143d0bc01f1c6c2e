// Validation against the tables, link collection, local link checks and previews.
#include "html/html_core.h"
#include "site/site_path.h"

//~ Validation

// Formats the message only while the list still keeps diagnostics: a page with a
// finding per tag would otherwise fill memory with messages nobody sees.
static void
html_report_v(Arena *arena, HtmlParseResult *r, u32 severity, u64 offset, const char *fmt, va_list args) {
  StrView message = {};
  if (diag_list_keeps(&r->diagnostics)) message = str_pushfv(arena, fmt, args);
  diag_push(arena, &r->diagnostics, offset, severity, message);
}

static void
html_report(Arena *arena, HtmlParseResult *r, u64 offset, const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  html_report_v(arena, r, DiagSeverity_Error, offset, fmt, args);
  va_end(args);
}

static void
html_warn(Arena *arena, HtmlParseResult *r, u64 offset, const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  html_report_v(arena, r, DiagSeverity_Warning, offset, fmt, args);
  va_end(args);
}

static bool
html_parent_allowed(Arena *arena, HtmlNode *e) {
  StrView semi[1] = {str_lit(";")};
  ArenaTemp scratch = scratch_begin(&arena, 1);
  StrList pieces = str_split(scratch.arena, e->element->allowed_parents, semi, 1);
  HtmlNode *owner = html_enclosing_element(e->parent);
  bool ok = false;
  for (StrNode *n = pieces.first; n && !ok; n = n->next) {
    if (!n->string.length) continue;
    if (str_match(n->string, str_lit("root"), StrMatchFlag_CaseInsensitive) && e->parent->type == HtmlNode_Document) {
      ok = true;
    } else if (!html_node_is_nil(owner) && str_match(n->string, owner->element->name, StrMatchFlag_CaseInsensitive)) {
      ok = true;
    }
  }
  scratch_end(scratch);
  return ok;
}

//- How often each attribute name occurs in one attribute list: a hash table on scratch
//  memory, built once per list, so the duplicate check costs one pass however many
//  attributes an element has. Known attributes count by kind, unknown ones by their
//  name without regard to case.

struct HtmlAttrCount {
  HtmlNode *attr;  // the first attribute of its name; 0 for a free slot
  u64 hash;        // kept here so that a probe past other names reads no node
  u64 count;
};

struct HtmlAttrCounts {
  Arena *arena;
  u64 base;
  HtmlNode *list;  // the list counted, or 0
  HtmlAttrCount *slots;
  u64 mask;
};

static u64
html_attr_key_hash(HtmlNode *a) {
  u64 h = 14695981039346656037ull;
  for (u64 i = 0; i < a->text.length; i += 1) h = (h ^ char_to_lower(a->text.data[i])) * 1099511628211ull;
  // Names differ in their last letters: mix every bit into the low ones the mask keeps.
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdull;
  h ^= h >> 33;
  h *= 0xc4ceb9fe1a85ec53ull;
  return h ^ (h >> 33);
}

// Attributes are the same when their names are, in any letter case: "data-a" and
// "data-b" share a row and are still two attributes.
static bool
html_attr_same_key(HtmlNode *a, HtmlNode *b) {
  return str_match(a->text, b->text, StrMatchFlag_CaseInsensitive);
}

static HtmlAttrCount *
html_attr_slot(HtmlAttrCounts *c, HtmlNode *a) {
  u64 h = html_attr_key_hash(a);
  for (u64 i = h & c->mask;; i = (i + 1) & c->mask) {
    HtmlAttrCount *slot = &c->slots[i];
    if (!slot->attr) {
      slot->hash = h;
      return slot;
    }
    if (slot->hash == h && html_attr_same_key(slot->attr, a)) return slot;
  }
}

static void
html_attr_counts_build(HtmlAttrCounts *c, HtmlNode *list) {
  arena_pop_to(c->arena, c->base);
  u64 n = 0;
  for (HtmlNode *b = list->first_child; !html_node_is_nil(b); b = b->next) n += b->type == HtmlNode_Attribute;
  // At most half full, so every probe ends at a free slot soon.
  u64 capacity = 8;
  while (capacity < 2 * n) capacity *= 2;
  c->list = list;
  c->slots = push_array(c->arena, HtmlAttrCount, capacity);
  c->mask = capacity - 1;
  for (HtmlNode *b = list->first_child; !html_node_is_nil(b); b = b->next) {
    if (b->type != HtmlNode_Attribute) continue;
    HtmlAttrCount *slot = html_attr_slot(c, b);
    if (!slot->attr) slot->attr = b;
    slot->count += 1;
  }
}

static void
html_validate_attribute(Arena *arena, HtmlParseResult *r, HtmlAttrCounts *counts, HtmlNode *a) {
  u64 at = a->source_offset;
  HtmlNode *e = html_enclosing_element(a);
  // SVG and MathML have attributes of their own, by the hundred; the system's own
  // elements ("!DOCTYPE") none to check.
  bool foreign = (e->flags & HtmlNodeFlag_Foreign) != 0;
  if ((r->check_flags & HtmlCheck_UnknownAttributes) && !foreign) {
    if (a->attribute->name.length == 0) {
      html_report(arena, r, at, "%S unknown attribute", &a->text);
    } else if (!html_attribute_allowed_on(a->attribute, e->element)) {
      html_report(arena, r, at, "%S is not an attribute of <%S>: remove it", &a->text, &e->text);
    } else if (a->attribute->value_type == HtmlAttrValue_Obsolete) {
      // Browsers still honour them, and checkers only frown: a warning.
      html_warn(arena, r, at, "the %S attribute is obsolete: use CSS instead", &a->text);
    }
  }
  if (counts->list != a->parent) html_attr_counts_build(counts, a->parent);
  if (html_attr_slot(counts, a)->count != 1) html_report(arena, r, at, "%S is a duplicated attribute", &a->text);
  if (a->attribute->value_type == HtmlAttrValue_Url && !foreign) {
    // A link may lead to its own page ("href=\"\""); what is fetched or loaded may not be empty.
    u32 kind = e->element->kind;
    bool may_be_empty = a->attribute->kind == HtmlAttrKind_Href && (kind == HtmlTagKind_A || kind == HtmlTagKind_Area);
    HtmlNode *v = a->first_child;
    bool empty = html_node_is_nil(v) || v->text.length == 0;
    if (empty && !may_be_empty) html_report(arena, r, at, "attribute's key %S must not be empty", &a->text);
  }
}

// A custom element's name holds a hyphen ("my-card").
static bool
html_is_custom_element(StrView name) {
  if (!name.length || !char_is_letter(name.data[0])) return false;
  for (u64 i = 0; i < name.length; i += 1) {
    if (name.data[i] == '-') return true;
  }
  return false;
}

static void
html_validate_element(Arena *arena, HtmlParseResult *r, HtmlNode *e) {
  u64 at = e->source_offset;
  if (!html_node_is_nil(e->prev) && e->prev->type != HtmlNode_Element && e->prev->type != HtmlNode_Content &&
      e->prev->type != HtmlNode_Markup) {
    html_report(arena, r, at, "parsing failed, tag was encountered inside attribute node");
  }
  bool foreign = (e->flags & HtmlNodeFlag_Foreign) != 0;
  if ((r->check_flags & HtmlCheck_UnknownElements) && !foreign) {
    if (e->element->name.length == 0 && !html_is_custom_element(e->text)) {
      html_report(arena, r, at, "%S unknown tag element", &e->text);
    } else if (e->element->content & HtmlContent_Obsolete) {
      html_report(arena, r, at, "<%S> is obsolete: use CSS or a current element instead", &e->text);
    }
  }
  bool shaped = !html_node_is_nil(e->first_child) && e->first_child->type == HtmlNode_AttributeList &&
                !html_node_is_nil(e->last_child) && e->last_child->type == HtmlNode_Content;
  if (!shaped) {
    html_report(arena, r, e->source_offset,
                "Structure (internal): %S does not have correct internal nodes which will cause critical errors",
                &e->text);
    return;
  }
  if ((r->check_flags & HtmlCheck_AllowedParents) && !foreign && !html_parent_allowed(arena, e)) {
    StrView parents = e->element->allowed_parents;
    html_report(arena, r, e->source_offset,
                "Structure: %S does not have an allowed parent, it should be one of theses: %S", &e->text, &parents);
  }
  //- a title says what the page is: an empty one says nothing
  if (e->element->kind == HtmlTagKind_Title && !foreign && (r->check_flags & HtmlCheck_UnknownElements)) {
    bool empty = true;
    for (HtmlNode *c = e->last_child->first_child; !html_node_is_nil(c) && empty; c = c->next) {
      for (u64 i = 0; i < c->text.length && empty; i += 1) empty = char_is_blank(c->text.data[i]);
    }
    if (empty) html_report(arena, r, at, "the title is empty: write what the page is between <title> and </title>");
  }
}

void
html_validate(Arena *arena, HtmlParseResult *result) {
  HtmlNode *root = result->root;
  if (html_node_is_nil(root)) return;
  ArenaTemp scratch = scratch_begin(&arena, 1);
  HtmlAttrCounts counts = {scratch.arena, arena_pos(scratch.arena), 0, 0, 0};
  // The findings come in page order; they join the parser's by position.
  HtmlParseResult found = {};
  found.check_flags = result->check_flags;
  for (HtmlNode *n = html_next_preorder(root, root); !html_node_is_nil(n); n = html_next_preorder(n, root)) {
    if (n->type == HtmlNode_Attribute) html_validate_attribute(arena, &found, &counts, n);
    else if (n->type == HtmlNode_Element) html_validate_element(arena, &found, n);
  }
  diag_merge(&result->diagnostics, &found.diagnostics);
  scratch_end(scratch);
}

//~ Links

void
html_collect_links(Arena *arena, HtmlParseResult *result) {
  HtmlNode *root = result->root;
  if (html_node_is_nil(root)) return;
  StrView source = root->text;
  for (HtmlNode *e = html_next_preorder(root, root); !html_node_is_nil(e); e = html_next_preorder(e, root)) {
    if (e->type != HtmlNode_Element || !(e->flags & HtmlNodeFlag_HasUrl)) continue;
    HtmlNode *list = html_attribute_list_of(e);
    bool dont_fetch = false;
    for (HtmlNode *a = list->first_child; !html_node_is_nil(a); a = a->next) {
      if (str_match(a->text, str_lit("dontFetch"), StrMatchFlag_CaseInsensitive)) dont_fetch = true;
      if (a->attribute->value_type != HtmlAttrValue_Url) continue;
      HtmlNode *v = a->first_child;
      if (!dont_fetch && !html_node_is_nil(v)) {
        //- the target's span in the page text, without quotes and "#" part
        u64 start = v->source_offset;
        u64 end = start + v->source_length;
        if (v->flags & HtmlNodeFlag_String) {
          start += 1;
          if (end > start) end -= 1;
        }
        StrView target = str_substr(source, start, end);
        u64 value_end = end;
        for (u64 k = target.length; k > 0; k -= 1) {
          // "&#51;" is a character, not the start of a fragment.
          if (target.data[k - 1] == '#' && !(k >= 2 && target.data[k - 2] == '&')) {
            end = start + k - 1;
            break;
          }
        }
        HtmlLink *link = push_struct(arena, HtmlLink);
        link->start = start;
        link->end = end;
        link->value_end = value_end;
        link->kind = site_link_is_web_address(str_substr(source, start, end)) ? HtmlLinkKind_Web : HtmlLinkKind_Local;
        link->element = e;
        DLLPushBack(result->links.first, result->links.last, link);
        result->links.count += 1;
      }
      break;
    }
  }
}

//- Metadata found by hash: a table on scratch memory holds the first entry of each
//  hash, as a walk down the list would find it, so many links cost no rescans.

struct HtmlMetadataSlot {
  LinkMetadata *metadata;
};

static u64
html_metadata_slot_index(u64 hash, u64 mask) {
  return (hash ^ (hash >> 31)) & mask;
}

//- link targets as a browser reads them

StrView
html_decode_url(Arena *arena, StrView raw) {
  //- blanks around the address are not part of it
  while (raw.length && char_is_blank(raw.data[0])) raw = str_skip(raw, 1);
  while (raw.length && char_is_blank(raw.data[raw.length - 1])) raw.length -= 1;
  u8 *out = push_array_no_zero(arena, u8, raw.length + 1);
  u64 w = 0;
  for (u64 i = 0; i < raw.length;) {
    u8 c = raw.data[i];
    // Line breaks and tabs inside an address are dropped, as browsers drop them.
    if (c == '\t' || c == '\n' || c == '\r') {
      i += 1;
      continue;
    }
    if (c == '&') {
      StrView rest = str_skip(raw, i);
      static const struct {
        const char *name;
        u8 c;
      } named[] = {{"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
      bool done = false;
      for (auto &n : named) {
        StrView name = str_from_cstr(n.name);
        if (str_match(name, rest, StrMatchFlag_Prefix | StrMatchFlag_CaseInsensitive)) {
          out[w++] = n.c;
          i += name.length;
          done = true;
          break;
        }
      }
      if (done) continue;
      if (rest.length > 3 && rest.data[1] == '#') {
        bool hex = rest.data[2] == 'x' || rest.data[2] == 'X';
        u64 k = hex ? 3 : 2;
        u32 cp = 0;
        u64 digits = 0;
        for (; k < rest.length && digits < 7; k += 1, digits += 1) {
          u8 d = rest.data[k];
          u32 v = char_is_digit(d) ? (u32)(d - '0')
                  : (hex && d >= 'a' && d <= 'f') ? (u32)(d - 'a' + 10)
                  : (hex && d >= 'A' && d <= 'F') ? (u32)(d - 'A' + 10)
                                                   : 99;
          if (v == 99) break;
          cp = cp * (hex ? 16 : 10) + v;
        }
        if (digits && k < rest.length && rest.data[k] == ';') {
          u8 buf[4];
          if (cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
          u64 n = utf8_encode(buf, cp);
          // The decoded character never holds more bytes than its reference.
          MemoryCopy(out + w, buf, n);
          w += n;
          i += k + 1;
          continue;
        }
      }
    }
    out[w++] = c;
    i += 1;
  }
  out[w] = 0;
  return str_make(out, w);
}

// Whether a class value names this class among its blank-separated words.
static bool
html_class_value_has(StrView value, StrView name) {
  u64 i = 0;
  while (i < value.length) {
    while (i < value.length && char_is_blank(value.data[i])) i += 1;
    u64 start = i;
    while (i < value.length && !char_is_blank(value.data[i])) i += 1;
    if (i > start && str_match(str_substr(value, start, i), name, StrMatchFlag_CaseInsensitive)) return true;
  }
  return false;
}

// A preview span that a build attached after a link.
static bool
html_is_preview(HtmlNode *n) {
  if (n->type != HtmlNode_Element || n->element->kind != HtmlTagKind_Span) return false;
  HtmlNode *list = html_attribute_list_of(n);
  for (HtmlNode *a = list->first_child; !html_node_is_nil(a); a = a->next) {
    if (a->type != HtmlNode_Attribute || a->attribute->kind != HtmlAttrKind_Class) continue;
    for (HtmlNode *v = a->first_child; !html_node_is_nil(v); v = v->next) {
      if (html_class_value_has(v->text, str_lit("metadata"))) return true;
    }
  }
  return false;
}

// "&name;", "&#123;" or "&#x1F;" at the start of the text.
static u64
html_reference_length(StrView text) {
  if (text.length < 3 || text.data[0] != '&') return 0;
  u64 i = 1;
  bool hex = false, numeric = false;
  if (text.data[i] == '#') {
    numeric = true;
    i += 1;
    if (i < text.length && (text.data[i] == 'x' || text.data[i] == 'X')) {
      hex = true;
      i += 1;
    }
  }
  u64 first = i;
  for (; i < text.length && i < 40; i += 1) {
    u8 c = text.data[i];
    bool ok = numeric ? (c >= '0' && c <= '9') || (hex && ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')))
                      : char_is_letter(c) || (i > first && c >= '0' && c <= '9');
    if (!ok) break;
  }
  return i > first && i < text.length && text.data[i] == ';' ? i + 1 : 0;
}

StrView
html_preview_text(Arena *arena, StrView text) {
  //- at most HTML_PREVIEW_MAX bytes of the remote text, never cutting a character
  u64 n = Min(text.length, (u64)HTML_PREVIEW_MAX);
  if (n < text.length) {
    while (n > 0 && (text.data[n] & 0xC0) == 0x80) n -= 1;
  }
  StrView cut = str_prefix(text, n);

  //- nothing remote changes the page around it: the text is made valid UTF-8 (a bad byte
  //  becomes U+FFFD), controls are dropped, and every direction embedding, override or
  //  isolate it opens is closed within it (a stray close is dropped)
  enum { DepthMax = 16 };
  u8 stack[DepthMax];  // 'E' embedding or override (closed by U+202C), 'I' isolate (U+2069)
  u64 depth = 0;
  u8 *clean = push_array_no_zero(arena, u8, cut.length * 3 + DepthMax * 3 + 1);
  u64 w = 0;
  auto put = [&](u32 cp) {
    if (cp < 0x80) {
      clean[w++] = (u8)cp;
    } else if (cp < 0x800) {
      clean[w++] = (u8)(0xC0 | (cp >> 6));
      clean[w++] = (u8)(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      clean[w++] = (u8)(0xE0 | (cp >> 12));
      clean[w++] = (u8)(0x80 | ((cp >> 6) & 0x3F));
      clean[w++] = (u8)(0x80 | (cp & 0x3F));
    } else {
      clean[w++] = (u8)(0xF0 | (cp >> 18));
      clean[w++] = (u8)(0x80 | ((cp >> 12) & 0x3F));
      clean[w++] = (u8)(0x80 | ((cp >> 6) & 0x3F));
      clean[w++] = (u8)(0x80 | (cp & 0x3F));
    }
  };
  for (u64 i = 0; i < cut.length;) {
    u8 c = cut.data[i];
    u32 cp = 0xFFFD;
    u64 len = 1;
    //- one character, or U+FFFD for a byte that starts none (overlong forms and surrogates included)
    if (c < 0x80) {
      cp = c;
    } else if (c >= 0xC2 && c <= 0xF4) {
      u64 need = c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
      u8 lo = c == 0xE0 ? 0xA0 : c == 0xF0 ? 0x90 : 0x80;
      u8 hi = c == 0xED ? 0x9F : c == 0xF4 ? 0x8F : 0xBF;
      bool ok = i + need <= cut.length && cut.data[i + 1] >= lo && cut.data[i + 1] <= hi;
      for (u64 k = 2; ok && k < need; k += 1) ok = (cut.data[i + k] & 0xC0) == 0x80;
      if (ok) {
        cp = need == 2 ? c & 0x1F : need == 3 ? c & 0x0F : c & 0x07;
        for (u64 k = 1; k < need; k += 1) cp = (cp << 6) | (cut.data[i + k] & 0x3F);
        len = need;
      }
    }
    i += len;
    //- controls other than tab and line breaks, C1 controls included, say nothing
    if ((cp < 0x20 && cp != '\t' && cp != '\n' && cp != '\r') || (cp >= 0x7F && cp <= 0x9F)) continue;
    //- direction controls: opened ones are remembered, closes only close what is open
    if (cp == 0x202A || cp == 0x202B || cp == 0x202D || cp == 0x202E || (cp >= 0x2066 && cp <= 0x2068)) {
      if (depth == DepthMax) continue;
      stack[depth++] = cp >= 0x2066 ? 'I' : 'E';
    } else if (cp == 0x202C) {
      if (!depth || stack[depth - 1] != 'E') continue;
      depth -= 1;
    } else if (cp == 0x2069) {
      u64 at = depth;
      while (at > 0 && stack[at - 1] != 'I') at -= 1;
      if (!at) continue;
      // An isolate's end closes the embeddings opened inside it.
      while (depth > at) {
        depth -= 1;
        put(0x202C);
      }
      depth -= 1;
    }
    put(cp);
  }
  while (depth > 0) put(stack[--depth] == 'I' ? 0x2069 : 0x202C);
  StrView safe = str_make(clean, w);

  //- shown as text, never read as markup; a numeric reference to a character dropped
  //  above shows as written
  StrList out = {};
  u64 start = 0;
  for (u64 i = 0; i < safe.length; i += 1) {
    u8 c = safe.data[i];
    const char *entity = 0;
    if (c == '<') entity = "&lt;";
    else if (c == '>') entity = "&gt;";
    else if (c == '"') entity = "&quot;";
    else if (c == '\'') entity = "&#39;";
    else if (c == '&') {
      StrView rest = str_skip(safe, i);
      u64 ref = html_reference_length(rest);
      bool keep = ref != 0;
      if (keep && rest.data[1] == '#') {
        bool hex = rest.data[2] == 'x' || rest.data[2] == 'X';
        u64 v = 0;
        for (u64 k = hex ? 3 : 2; k + 1 < ref && v <= 0x10FFFF; k += 1) {
          u8 d = rest.data[k];
          u64 digit = d <= '9' ? d - '0' : (d | 0x20) - 'a' + 10;
          v = v * (hex ? 16 : 10) + digit;
        }
        bool control = (v < 0x20 && v != '\t' && v != '\n' && v != '\r') || (v >= 0x7F && v <= 0x9F);
        bool direction = (v >= 0x202A && v <= 0x202E) || (v >= 0x2066 && v <= 0x2069);
        bool bad = v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF);
        keep = !control && !direction && !bad;
      }
      if (!keep) entity = "&amp;";
    }
    if (!entity) continue;
    str_list_push(arena, &out, str_substr(safe, start, i));
    str_list_push(arena, &out, str_from_cstr(entity));
    start = i + 1;
  }
  str_list_push(arena, &out, str_skip(safe, start));
  return str_list_join(arena, &out, 0);
}

// Text after the element stays where it is written: not in "head" (a span there would
// end the head and move what follows into the body), nor in SVG or MathML.
static bool
html_previews_fit_after(HtmlNode *e) {
  if (e->flags & HtmlNodeFlag_Foreign) return false;
  switch (e->element->kind) {
    case HtmlTagKind_Link:
    case HtmlTagKind_Meta:
    case HtmlTagKind_Base:
    case HtmlTagKind_Script:
    case HtmlTagKind_Style:
    case HtmlTagKind_Title: return false;
    default: break;
  }
  return html_node_is_nil(html_find_ancestor_by_kind(e, HtmlTagKind_Head));
}

void
html_attach_link_metadata(Arena *arena, HtmlLinkList *links, StrView text, LinkMetadata *metadata) {
  if (!links->first || !metadata) return;
  ArenaTemp scratch = scratch_begin(&arena, 1);
  u64 n = 0;
  for (LinkMetadata *m = metadata; m; m = m->next) n += 1;
  u64 capacity = 8;
  while (capacity < 2 * n) capacity *= 2;
  u64 mask = capacity - 1;
  HtmlMetadataSlot *slots = push_array(scratch.arena, HtmlMetadataSlot, capacity);
  for (LinkMetadata *m = metadata; m; m = m->next) {
    u64 i = html_metadata_slot_index(m->hash, mask);
    while (slots[i].metadata && slots[i].metadata->hash != m->hash) i = (i + 1) & mask;
    if (!slots[i].metadata) slots[i].metadata = m;
  }
  for (HtmlLink *l = links->first; l; l = l->next) {
    u64 h = str_hash_djb2(str_substr(text, l->start, l->end));
    u64 i = html_metadata_slot_index(h, mask);
    while (slots[i].metadata && slots[i].metadata->hash != h) i = (i + 1) & mask;
    LinkMetadata *m = slots[i].metadata;
    if (!m) continue;
    //- the previews sit right after their link; those of an earlier build give way
    HtmlNode *e = l->element;
    if (!html_previews_fit_after(e)) continue;
    while (!html_node_is_nil(e->next) && html_is_preview(e->next)) html_detach(e->next);
    HtmlNode *at = e;
    for (LinkMetadataItem *item = m->items; item; item = item->next) {
      HtmlNode *span = html_element_create(arena, HtmlTagKind_Span, {});
      HtmlNode *content = span->last_child;
      content->text = content->raw = html_preview_text(arena, item->text);
      html_add_class(arena, span, str_lit("metadata"));
      if (item->flags & LinkMetadataFlag_Missing) html_add_class(arena, span, str_lit("missing-metadata"));
      html_insert(at, span, HtmlInsert_After);
      at = span;
    }
  }
  scratch_end(scratch);
}
