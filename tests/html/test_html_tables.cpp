#include "test_support.h"

#include "html/html_core.h"

TEST(HtmlTables, RowsKindsAndContentAsListed) {
  u64 ne = 0, na = 0;
  const HtmlElementInfo *elements = html_element_table(&ne);
  const HtmlAttributeInfo *attributes = html_attribute_table(&na);
  ASSERT_EQ(ne, 79u);
  ASSERT_EQ(na, 84u);
  for (u64 i = 0; i < ne; i += 1) EXPECT_EQ(elements[i].kind, i + 1) << ss(elements[i].name);
  for (u64 i = 0; i < na; i += 1) EXPECT_EQ(attributes[i].kind, i) << ss(attributes[i].name);
  // Content values of the rows, in order.
  std::string content;
  for (u64 i = 0; i < ne; i += 1) content += std::to_string(elements[i].content);
  EXPECT_EQ(content, "2288811222211222222222226666688222222222086622266660800002222222822282828628222");
  struct Row {
    u32 kind;
    const char *name;
  } spot[] = {{HtmlTagKind_Details, "details"}, {HtmlTagKind_H1, "h1"},         {HtmlTagKind_A, "a"},
              {HtmlTagKind_Path, "path"},       {HtmlTagKind_Doctype, "!DOCTYPE"}, {HtmlTagKind_Body, "body"}};
  for (const Row &r : spot) EXPECT_EQ(ss(html_element_info_by_kind(r.kind)->name), r.name);
  EXPECT_EQ(html_element_info_by_kind(0), nullptr);
  EXPECT_EQ(html_element_info_by_kind(80), nullptr);
  EXPECT_EQ(html_attribute_info_by_kind(84), nullptr);
  EXPECT_EQ(ss(html_element_info_by_kind(HtmlTagKind_Html)->required_attributes), "lang;");
  EXPECT_EQ(ss(html_element_info_by_kind(HtmlTagKind_Doctype)->required_attributes), "html;");
  EXPECT_EQ(ss(html_attribute_info_by_kind(HtmlAttrKind_Lang)->default_value), "en");
  EXPECT_EQ(ss(html_attribute_info_by_kind(HtmlAttrKind_DontFetch)->default_value),
            "permit to disable url checking when enabled");
  EXPECT_EQ(html_attribute_info_by_kind(HtmlAttrKind_Href)->value_type, (u32)HtmlAttrValue_Url);
  EXPECT_EQ(html_attribute_info_by_kind(HtmlAttrKind_Link)->value_type, (u32)HtmlAttrValue_Url);
  EXPECT_EQ(html_attribute_info_by_kind(HtmlAttrKind_Src)->value_type, (u32)HtmlAttrValue_Url);
  EXPECT_EQ(html_attribute_info_by_kind(HtmlAttrKind_Hidden)->value_type, (u32)HtmlAttrValue_Flag);
  EXPECT_EQ(ss(html_attribute_name(HtmlAttrKind_HttpEquiv)), "http-equiv");
  EXPECT_EQ(ss(html_attribute_name(200)), "");
}

TEST(HtmlTables, LookupsByName) {
  EXPECT_EQ(html_element_info_by_name(str_lit("DiV"))->kind, (u32)HtmlTagKind_Div);
  EXPECT_EQ(html_element_info_by_name(str_lit("!doctype"))->kind, (u32)HtmlTagKind_Doctype);
  EXPECT_EQ(html_element_info_by_name(str_lit("div ")), nullptr) << "no trimming";
  EXPECT_EQ(html_element_info_by_name(str_lit("picture")), nullptr);
  EXPECT_EQ(html_attribute_info_by_name(str_lit("data-* "))->kind, (u32)HtmlAttrKind_DataAny);
  EXPECT_EQ(html_attribute_info_by_name(str_lit("data-*")), nullptr);
  EXPECT_EQ(html_attribute_info_by_name(str_lit("DONTFETCH"))->kind, (u32)HtmlAttrKind_DontFetch);
  // "footer" lists its parents without a final ";": still five.
  StrView semi[1] = {str_lit(";")};
  StrList parents = str_split(test_arena(), html_element_info_by_kind(HtmlTagKind_Footer)->allowed_parents, semi, 1);
  EXPECT_EQ(list_strings(parents), (std::vector<std::string>{"body", "section", "article", "aside", "nav"}));
  EXPECT_EQ(html_element_empty_row()->kind, 0u);
  EXPECT_EQ(html_element_empty_row()->name.length, 0u);
  EXPECT_EQ(html_attribute_empty_row()->value_type, 0u);
}
