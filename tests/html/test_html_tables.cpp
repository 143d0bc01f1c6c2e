#include "test_support.h"

#include <set>

#include "html/html_core.h"

static std::string
lower(StrView s) {
  std::string out = ss(s);
  for (char &c : out) c = (char)char_to_lower((u8)c);
  return out;
}

static std::string
upper(StrView s) {
  std::string out = ss(s);
  for (char &c : out) c = (char)((c >= 'a' && c <= 'z') ? c - 32 : c);
  return out;
}

// Kinds are dense and each row is found again by its kind and by its name in any
// case; no two rows share a name, or the second could never be looked up.
TEST(HtmlTables, EveryRowIsFoundByKindAndName) {
  u64 ne = 0, na = 0;
  const HtmlElementInfo *elements = html_element_table(&ne);
  const HtmlAttributeInfo *attributes = html_attribute_table(&na);
  ASSERT_EQ(ne, (u64)HtmlTagKind_COUNT - 1);
  ASSERT_EQ(na, (u64)HtmlAttrKind_COUNT);
  std::set<std::string> names;
  for (u64 i = 0; i < ne; i += 1) {
    const HtmlElementInfo *row = &elements[i];
    std::string name = ss(row->name);
    EXPECT_EQ(row->kind, i + 1) << name;
    EXPECT_EQ(html_element_info_by_kind(row->kind), row) << name;
    EXPECT_EQ(html_element_info_by_name(row->name), row) << name;
    std::string up = upper(row->name), low = lower(row->name);
    EXPECT_EQ(html_element_info_by_name(sv(up)), row) << name;
    EXPECT_EQ(html_element_info_by_name(sv(low)), row) << name;
    EXPECT_TRUE(names.insert(low).second) << "two element rows named " << name;
    // Content is a combination of the known bits, and void elements hold nothing else.
    u32 known = HtmlContent_RawText | HtmlContent_Flow | HtmlContent_MayBeEmpty | HtmlContent_Void |
                HtmlContent_Escapable | HtmlContent_OptionalEnd | HtmlContent_ClosesP | HtmlContent_InHead |
                HtmlContent_Obsolete | HtmlContent_Foreign;
    EXPECT_EQ(row->content & ~known, 0u) << name;
    if (row->content & HtmlContent_Void) {
      u32 reading = HtmlContent_RawText | HtmlContent_Flow | HtmlContent_Escapable | HtmlContent_OptionalEnd;
      EXPECT_EQ(row->content & reading, 0u) << name << ": a void element holds nothing";
    }
    // Every named parent is an element row or the document itself.
    StrView semi[1] = {str_lit(";")};
    for (const std::string &parent : list_strings(str_split(test_arena(), row->allowed_parents, semi, 1))) {
      if (parent.empty() || parent == "root" || parent == "picture") continue;  // "picture" has no row yet
      EXPECT_NE(html_element_info_by_name(sv(parent)), nullptr) << name << " lists parent " << parent;
    }
    for (const std::string &required : list_strings(str_split(test_arena(), row->required_attributes, semi, 1))) {
      if (required.empty()) continue;
      EXPECT_NE(html_attribute_info_by_name(sv(required)), nullptr) << name << " requires " << required;
    }
  }
  names.clear();
  for (u64 i = 0; i < na; i += 1) {
    const HtmlAttributeInfo *row = &attributes[i];
    std::string name = ss(row->name);
    EXPECT_EQ(row->kind, i) << name;
    EXPECT_EQ(html_attribute_info_by_kind(row->kind), row) << name;
    EXPECT_EQ(html_attribute_info_by_name(row->name), row) << name;
    std::string up = upper(row->name);
    EXPECT_EQ(html_attribute_info_by_name(sv(up)), row) << name;
    EXPECT_EQ(ss(html_attribute_name(row->kind)), name);
    EXPECT_TRUE(names.insert(lower(row->name)).second) << "two attribute rows named " << name;
    EXPECT_GE(row->value_type, (u32)HtmlAttrValue_Text) << name;
    EXPECT_LE(row->value_type, (u32)HtmlAttrValue_Obsolete) << name;
  }
  EXPECT_EQ(html_element_info_by_kind(0), nullptr);
  EXPECT_EQ(html_element_info_by_kind(HtmlTagKind_COUNT), nullptr);
  EXPECT_EQ(html_attribute_info_by_kind(HtmlAttrKind_COUNT), nullptr);
  EXPECT_EQ(ss(html_attribute_name(200)), "");
}

// Rows the parser and validator lean on, with the facts they read from them.
TEST(HtmlTables, RowsTheParserReliesOn) {
  struct ElementRow {
    u32 kind;
    const char *name;
    u32 content;
  } element_rows[] = {
      {HtmlTagKind_Script, "script", HtmlContent_RawText},
      {HtmlTagKind_Style, "style", HtmlContent_RawText},
      {HtmlTagKind_Title, "title", HtmlContent_Escapable},
      {HtmlTagKind_Textarea, "textarea", HtmlContent_Escapable},
      {HtmlTagKind_Pre, "pre", HtmlContent_Flow | HtmlContent_ClosesP},
      {HtmlTagKind_Br, "br", HtmlContent_Void},
      {HtmlTagKind_Img, "img", HtmlContent_Void},
      {HtmlTagKind_Col, "col", HtmlContent_Void},
      {HtmlTagKind_Wbr, "wbr", HtmlContent_Void},
      {HtmlTagKind_Meta, "meta", HtmlContent_Void | HtmlContent_InHead},
      {HtmlTagKind_Doctype, "!DOCTYPE", HtmlContent_Void},
      {HtmlTagKind_P, "p", HtmlContent_OptionalEnd | HtmlContent_ClosesP},
      {HtmlTagKind_Li, "li", HtmlContent_OptionalEnd},
      {HtmlTagKind_Td, "td", HtmlContent_OptionalEnd},
      {HtmlTagKind_Body, "body", HtmlContent_OptionalEnd},
      {HtmlTagKind_Div, "div", HtmlContent_ClosesP},
      {HtmlTagKind_Svg, "svg", HtmlContent_Foreign},
      {HtmlTagKind_Math, "math", HtmlContent_Foreign},
      {HtmlTagKind_Center, "center", HtmlContent_Obsolete},
  };
  for (const ElementRow &r : element_rows) {
    const HtmlElementInfo *row = html_element_info_by_kind(r.kind);
    ASSERT_NE(row, nullptr) << r.name;
    EXPECT_EQ(ss(row->name), r.name);
    EXPECT_EQ(row->content & r.content, r.content) << r.name;
  }
  EXPECT_EQ(html_element_info_by_kind(HtmlTagKind_A)->content & HtmlContent_OptionalEnd, 0u);
  EXPECT_EQ(html_element_info_by_kind(HtmlTagKind_Span)->content & HtmlContent_ClosesP, 0u);
  EXPECT_EQ(ss(html_element_info_by_kind(HtmlTagKind_Html)->allowed_parents), "root;");
  EXPECT_EQ(ss(html_element_info_by_kind(HtmlTagKind_Li)->allowed_parents), "ul;ol;");
  // "footer" lists its parents without a final ";": still five.
  StrView semi[1] = {str_lit(";")};
  StrList parents = str_split(test_arena(), html_element_info_by_kind(HtmlTagKind_Footer)->allowed_parents, semi, 1);
  EXPECT_EQ(list_strings(parents), (std::vector<std::string>{"body", "section", "article", "aside", "nav"}));

  struct AttributeRow {
    u32 kind;
    const char *name;
    u32 value_type;
  } attribute_rows[] = {
      {HtmlAttrKind_Href, "href", HtmlAttrValue_Url},      {HtmlAttrKind_Src, "src", HtmlAttrValue_Url},
      {HtmlAttrKind_Link, "link", HtmlAttrValue_Url},      {HtmlAttrKind_Hidden, "hidden", HtmlAttrValue_Flag},
      {HtmlAttrKind_Html, "html", HtmlAttrValue_Flag},     {HtmlAttrKind_Width, "width", HtmlAttrValue_Number},
      {HtmlAttrKind_Style, "style", HtmlAttrValue_Style},  {HtmlAttrKind_Class, "class", HtmlAttrValue_Text},
      {HtmlAttrKind_HttpEquiv, "http-equiv", HtmlAttrValue_Text},
      {HtmlAttrKind_DontFetch, "dontFetch", HtmlAttrValue_Flag},
  };
  for (const AttributeRow &r : attribute_rows) {
    const HtmlAttributeInfo *row = html_attribute_info_by_kind(r.kind);
    ASSERT_NE(row, nullptr) << r.name;
    EXPECT_EQ(ss(row->name), r.name);
    EXPECT_EQ(row->value_type, r.value_type) << r.name;
  }
  EXPECT_EQ(ss(html_attribute_info_by_kind(HtmlAttrKind_Lang)->default_value), "en");
  EXPECT_EQ(ss(html_attribute_info_by_kind(HtmlAttrKind_DontFetch)->default_value),
            "permit to disable url checking when enabled");
}

TEST(HtmlTables, LookupsByName) {
  EXPECT_EQ(html_element_info_by_name(str_lit("DiV"))->kind, (u32)HtmlTagKind_Div);
  EXPECT_EQ(html_element_info_by_name(str_lit("!doctype"))->kind, (u32)HtmlTagKind_Doctype);
  EXPECT_EQ(html_element_info_by_name(str_lit("div ")), nullptr) << "no trimming";
  EXPECT_EQ(html_element_info_by_name(str_lit("di")), nullptr) << "no prefixes";
  EXPECT_EQ(html_element_info_by_name(str_lit("picturesque")), nullptr);
  EXPECT_EQ(html_element_info_by_name(StrView{}), nullptr);
  EXPECT_EQ(html_attribute_info_by_name(str_lit("data-* "))->kind, (u32)HtmlAttrKind_DataAny);
  //- the families of names
  struct Family {
    const char *name;
    u32 kind;
  } families[] = {{"data-x", HtmlAttrKind_DataAny}, {"DATA-url_root", HtmlAttrKind_DataAny},
                  {"data-title", HtmlAttrKind_DataTitle}, {"aria-label", HtmlAttrKind_AriaAny},
                  {"onclick", HtmlAttrKind_OnAny}, {"xmlns:xlink", HtmlAttrKind_XmlnsAny},
                  {"xml:lang", HtmlAttrKind_XmlLang}, {"open", HtmlAttrKind_Open}};
  for (const Family &f : families) {
    const HtmlAttributeInfo *row = html_attribute_info_by_name(str_from_cstr(f.name));
    ASSERT_NE(row, nullptr) << f.name;
    EXPECT_EQ(row->kind, f.kind) << f.name;
  }
  EXPECT_EQ(html_attribute_info_by_name(str_lit("data-")), nullptr);
  EXPECT_EQ(html_attribute_info_by_name(str_lit("on-x")), nullptr);
  EXPECT_EQ(html_attribute_info_by_name(str_lit("DONTFETCH"))->kind, (u32)HtmlAttrKind_DontFetch);
  EXPECT_EQ(html_attribute_info_by_name(StrView{}), nullptr);
  EXPECT_EQ(html_element_empty_row()->kind, 0u);
  EXPECT_EQ(html_element_empty_row()->name.length, 0u);
  EXPECT_EQ(html_attribute_empty_row()->value_type, 0u);
}
