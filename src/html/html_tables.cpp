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

//~ Which elements an attribute belongs to

// Attributes that belong to some elements only, with those elements; every other known
// attribute is global (and so are the families, the system's own and the obsolete ones,
// which are reported for what they are). Lenient where HTML tolerates a use with a
// warning (a link's "name", a list's "type"): only what no page may write is refused.
static const struct {
  u32 kind;
  const char *elements;
} html_attribute_owners[] = {
    {HtmlAttrKind_Abbr, "th;"},
    {HtmlAttrKind_Accept, "input;"},
    {HtmlAttrKind_AcceptCharset, "form;"},
    {HtmlAttrKind_Action, "form;"},
    {HtmlAttrKind_Allow, "iframe;"},
    {HtmlAttrKind_Allowfullscreen, "iframe;"},
    {HtmlAttrKind_Alpha, "input;"},
    {HtmlAttrKind_Alt, "area;img;input;"},
    {HtmlAttrKind_As, "link;"},
    {HtmlAttrKind_Async, "script;"},
    {HtmlAttrKind_Autocomplete, "form;input;select;textarea;"},
    {HtmlAttrKind_Autoplay, "audio;video;"},
    {HtmlAttrKind_Blocking, "link;script;style;"},
    {HtmlAttrKind_Charset, "meta;script;link;a;"},
    {HtmlAttrKind_Checked, "input;"},
    {HtmlAttrKind_Cite, "blockquote;del;ins;q;"},
    {HtmlAttrKind_Closedby, "dialog;"},
    {HtmlAttrKind_Cols, "textarea;"},
    {HtmlAttrKind_Colspan, "td;th;"},
    {HtmlAttrKind_Command, "button;"},
    {HtmlAttrKind_Commandfor, "button;"},
    {HtmlAttrKind_Controls, "audio;video;"},
    {HtmlAttrKind_Coords, "area;"},
    {HtmlAttrKind_Crossorigin, "audio;img;link;script;video;"},
    {HtmlAttrKind_Data, "object;"},
    {HtmlAttrKind_Datetime, "del;ins;time;"},
    {HtmlAttrKind_Decoding, "img;"},
    {HtmlAttrKind_Default, "track;"},
    {HtmlAttrKind_Defer, "script;"},
    {HtmlAttrKind_Dirname, "input;textarea;"},
    {HtmlAttrKind_Disabled, "button;input;optgroup;option;select;textarea;fieldset;link;"},
    {HtmlAttrKind_Download, "a;area;"},
    {HtmlAttrKind_Enctype, "form;"},
    {HtmlAttrKind_Fetchpriority, "img;link;script;"},
    {HtmlAttrKind_For, "label;output;"},
    {HtmlAttrKind_Form, "button;fieldset;input;object;output;select;textarea;"},
    {HtmlAttrKind_Formaction, "button;input;"},
    {HtmlAttrKind_Formenctype, "button;input;"},
    {HtmlAttrKind_Formmethod, "button;input;"},
    {HtmlAttrKind_Formnovalidate, "button;input;"},
    {HtmlAttrKind_Formtarget, "button;input;"},
    {HtmlAttrKind_Headers, "td;th;"},
    {HtmlAttrKind_Height, "canvas;embed;iframe;img;input;object;source;video;table;td;th;tr;"},
    {HtmlAttrKind_High, "meter;"},
    {HtmlAttrKind_Href, "a;area;base;link;"},
    {HtmlAttrKind_Hreflang, "a;link;"},
    {HtmlAttrKind_HttpEquiv, "meta;"},
    {HtmlAttrKind_Imagesizes, "link;"},
    {HtmlAttrKind_Imagesrcset, "link;"},
    {HtmlAttrKind_Integrity, "link;script;"},
    {HtmlAttrKind_Ismap, "img;"},
    {HtmlAttrKind_Kind, "track;"},
    {HtmlAttrKind_Label, "optgroup;option;track;menu;"},
    {HtmlAttrKind_List, "input;"},
    {HtmlAttrKind_Loading, "iframe;img;"},
    {HtmlAttrKind_Loop, "audio;video;"},
    {HtmlAttrKind_Low, "meter;"},
    {HtmlAttrKind_Max, "input;meter;progress;"},
    {HtmlAttrKind_Maxlength, "input;textarea;"},
    {HtmlAttrKind_Media, "link;meta;source;style;"},
    {HtmlAttrKind_Method, "form;"},
    {HtmlAttrKind_Min, "input;meter;"},
    {HtmlAttrKind_Minlength, "input;textarea;"},
    {HtmlAttrKind_Multiple, "input;select;"},
    {HtmlAttrKind_Muted, "audio;video;"},
    {HtmlAttrKind_Name,
     "button;fieldset;form;iframe;input;map;meta;object;output;select;slot;textarea;details;a;img;embed;param;"},
    {HtmlAttrKind_Nomodule, "script;"},
    {HtmlAttrKind_Novalidate, "form;"},
    {HtmlAttrKind_Open, "details;dialog;"},
    {HtmlAttrKind_Optimum, "meter;"},
    {HtmlAttrKind_Pattern, "input;"},
    {HtmlAttrKind_Ping, "a;area;"},
    {HtmlAttrKind_Placeholder, "input;textarea;"},
    {HtmlAttrKind_Playsinline, "video;"},
    {HtmlAttrKind_Popovertarget, "button;input;"},
    {HtmlAttrKind_Popovertargetaction, "button;input;"},
    {HtmlAttrKind_Poster, "video;"},
    {HtmlAttrKind_Preload, "audio;video;"},
    {HtmlAttrKind_Readonly, "input;textarea;"},
    {HtmlAttrKind_Referrerpolicy, "a;area;iframe;img;link;script;"},
    {HtmlAttrKind_Required, "input;select;textarea;"},
    {HtmlAttrKind_Reversed, "ol;"},
    {HtmlAttrKind_Rows, "textarea;"},
    {HtmlAttrKind_Rowspan, "td;th;"},
    {HtmlAttrKind_Sandbox, "iframe;"},
    {HtmlAttrKind_Scope, "th;td;"},
    {HtmlAttrKind_Seamless, "iframe;"},
    {HtmlAttrKind_Selected, "option;"},
    {HtmlAttrKind_Shadowrootclonable, "template;"},
    {HtmlAttrKind_Shadowrootdelegatesfocus, "template;"},
    {HtmlAttrKind_Shadowrootmode, "template;"},
    {HtmlAttrKind_Shadowrootserializable, "template;"},
    {HtmlAttrKind_Shape, "area;"},
    {HtmlAttrKind_Size, "input;select;"},
    {HtmlAttrKind_Sizes, "link;img;source;"},
    {HtmlAttrKind_Span, "col;colgroup;"},
    {HtmlAttrKind_Src, "audio;embed;iframe;img;input;script;source;track;video;frame;"},
    {HtmlAttrKind_Srcdoc, "iframe;"},
    {HtmlAttrKind_Srclang, "track;"},
    {HtmlAttrKind_Srcset, "img;source;"},
    {HtmlAttrKind_Start, "ol;"},
    {HtmlAttrKind_Step, "input;"},
    {HtmlAttrKind_Target, "a;area;base;form;"},
    {HtmlAttrKind_Type, "a;button;embed;input;link;object;ol;script;source;style;ul;li;menu;"},
    {HtmlAttrKind_Usemap, "img;object;input;"},
    {HtmlAttrKind_Value, "button;data;input;li;meter;option;output;param;progress;"},
    {HtmlAttrKind_Width, "canvas;embed;iframe;img;input;object;source;video;col;colgroup;table;td;th;hr;pre;"},
    {HtmlAttrKind_Wrap, "textarea;"},
    {HtmlAttrKind_Summary, "table;"},
    {HtmlAttrKind_Border, "table;img;object;"},
    {HtmlAttrKind_Language, "script;"},
    {HtmlAttrKind_Version, "html;"},
};

bool
html_attribute_allowed_on(const HtmlAttributeInfo *attribute, const HtmlElementInfo *element) {
  // Built once: the owners of each attribute kind, found by index.
  static const char *owners[HtmlAttrKind_COUNT];
  static bool built = [] {
    for (const auto &o : html_attribute_owners) owners[o.kind] = o.elements;
    return true;
  }();
  (void)built;
  if (!attribute || attribute->kind >= HtmlAttrKind_COUNT || !attribute->name.length) return true;
  const char *list = owners[attribute->kind];
  if (!list || !element || !element->name.length) return true;
  //- the element's name, then ";", somewhere in the list at a boundary
  StrView name = element->name;
  for (const char *at = list; *at;) {
    const char *end = strchr(at, ';');
    u64 len = end ? (u64)(end - at) : strlen(at);
    if (len == name.length && memcmp(at, name.data, len) == 0) return true;
    if (!end) break;
    at = end + 1;
  }
  return false;
}
