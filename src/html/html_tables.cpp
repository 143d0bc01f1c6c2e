// The element and attribute tables and their lookups (linear scans in table order).
#include "html/html_core.h"

static const HtmlElementInfo html_elements[] = {
#define HTML_ELEMENT(e, name, content, parents, required) \
  {str_lit(name), HtmlTagKind_##e, content, str_lit(parents), str_lit(required)},
#include "html/html_elements.inc"
#undef HTML_ELEMENT
};
static_assert(HtmlTagKind_Body == 79, "the first 79 element rows keep their kinds");

static const HtmlAttributeInfo html_attributes[] = {
#define HTML_ATTRIBUTE(e, name, type, def) {str_lit(name), HtmlAttrKind_##e, type, str_lit(def)},
#include "html/html_attributes.inc"
#undef HTML_ATTRIBUTE
};
static_assert(HtmlAttrKind_DontFetch == 83, "the first 84 attribute rows keep their kinds");

extern const HtmlElementInfo html_element_empty = {};
extern const HtmlAttributeInfo html_attribute_empty = {};

const HtmlElementInfo *
html_element_table(u64 *count) {
  *count = ArrayCount(html_elements);
  return html_elements;
}

const HtmlAttributeInfo *
html_attribute_table(u64 *count) {
  *count = ArrayCount(html_attributes);
  return html_attributes;
}

const HtmlElementInfo *
html_element_empty_row(void) {
  return &html_element_empty;
}

const HtmlAttributeInfo *
html_attribute_empty_row(void) {
  return &html_attribute_empty;
}

const HtmlElementInfo *
html_element_info_by_kind(u32 kind) {
  for (const HtmlElementInfo &row : html_elements) {
    if (row.kind == kind) return &row;
  }
  return 0;
}

const HtmlElementInfo *
html_element_info_by_name(StrView name) {
  for (const HtmlElementInfo &row : html_elements) {
    if (str_match(name, row.name, StrMatchFlag_CaseInsensitive)) return &row;
  }
  return 0;
}

const HtmlAttributeInfo *
html_attribute_info_by_kind(u32 kind) {
  for (const HtmlAttributeInfo &row : html_attributes) {
    if (row.kind == kind) return &row;
  }
  return 0;
}

const HtmlAttributeInfo *
html_attribute_info_by_name(StrView name) {
  for (const HtmlAttributeInfo &row : html_attributes) {
    if (str_match(name, row.name, StrMatchFlag_CaseInsensitive)) return &row;
  }
  //- the rows that stand for a family of names: "data-x", "aria-label", "onclick", "xmlns:xlink"
  static const struct {
    const char *prefix;
    u32 kind;
  } families[] = {{"data-", HtmlAttrKind_DataAny}, {"aria-", HtmlAttrKind_AriaAny},
                  {"xmlns:", HtmlAttrKind_XmlnsAny}, {"on", HtmlAttrKind_OnAny}};
  for (const auto &f : families) {
    StrView prefix = str_from_cstr(f.prefix);
    if (name.length <= prefix.length || !str_match(prefix, str_prefix(name, prefix.length), StrMatchFlag_CaseInsensitive)) {
      continue;
    }
    // An event handler's name is letters only ("onclick"), none of which is "on" alone.
    bool letters = true;
    for (u64 i = prefix.length; i < name.length && f.kind == HtmlAttrKind_OnAny; i += 1) {
      letters = letters && char_is_letter(name.data[i]);
    }
    if (letters) return &html_attributes[f.kind];
  }
  return 0;
}

StrView
html_attribute_name(u32 kind) {
  const HtmlAttributeInfo *row = html_attribute_info_by_kind(kind);
  return row ? row->name : StrView{};
}
