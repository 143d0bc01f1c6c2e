// The element and attribute tables and their lookups (linear scans in table order).
#include "html/html_core.h"

static const HtmlElementInfo html_elements[] = {
#define HTML_ELEMENT(e, name, content, parents, required) \
  {str_lit(name), HtmlTagKind_##e, content, str_lit(parents), str_lit(required)},
#include "html/html_elements.inc"
#undef HTML_ELEMENT
};
static_assert(ArrayCount(html_elements) == 79, "79 element rows");

static const HtmlAttributeInfo html_attributes[] = {
#define HTML_ATTRIBUTE(e, name, type, def) {str_lit(name), HtmlAttrKind_##e, type, str_lit(def)},
#include "html/html_attributes.inc"
#undef HTML_ATTRIBUTE
};
static_assert(ArrayCount(html_attributes) == 84, "84 attribute rows");

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
  return 0;
}

StrView
html_attribute_name(u32 kind) {
  const HtmlAttributeInfo *row = html_attribute_info_by_kind(kind);
  return row ? row->name : StrView{};
}
