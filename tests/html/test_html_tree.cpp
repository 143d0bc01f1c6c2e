#include "test_support.h"

#include "html/html_core.h"

static std::string
write(HtmlNode *root) {
  Arena *a = test_arena();
  StrList out = {};
  html_write(a, &out, root);
  return ss(str_list_join(a, &out, 0));
}

TEST(HtmlWrite, ElementsAttributesAndText) {
  Arena *a = test_arena();
  EXPECT_EQ(write(html_element_create(a, HtmlTagKind_Br, {})), "<br>");
  EXPECT_EQ(write(html_element_create(a, HtmlTagKind_P, str_lit("a < b"))), "<p>a < b</p>") << "text is not escaped";
  HtmlNode *div = html_element_create(a, HtmlTagKind_Div, {});
  html_add_class(a, div, str_lit("one"));
  html_add_class(a, div, str_lit("two"));
  html_set_attribute(a, div, HtmlAttrKind_Hidden, {});
  EXPECT_TRUE(html_node_is_nil(html_set_attribute(a, div, HtmlAttrKind_Lang, {}))) << "an empty value adds nothing";
  EXPECT_EQ(write(div), "<div class=\"one two\"  hidden ></div>");
  HtmlNode *link = html_element_create(a, HtmlTagKind_A, str_lit("x"));
  html_set_attribute(a, link, HtmlAttrKind_Href, str_lit("a"));
  html_set_attribute(a, link, HtmlAttrKind_Href, str_lit("b"));
  EXPECT_EQ(write(link), "<a href=\"ab\" >x</a>");
  HtmlNode *nested = html_element_create(a, HtmlTagKind_Ul, {});
  HtmlNode *li = html_content_append(nested, html_element_create(a, HtmlTagKind_Li, str_lit("1")));
  html_insert(li, html_element_create(a, HtmlTagKind_Li, str_lit("2")), HtmlInsert_After);
  html_insert(li, html_element_create(a, HtmlTagKind_Img, {}), HtmlInsert_LastChild);
  EXPECT_EQ(write(nested), "<ul><li>1<img></li><li>2</li></ul>");
  EXPECT_EQ(write(html_nil_node), "");
}

TEST(HtmlWrite, QuotesInValuesReadBackAsWritten) {
  Arena *a = test_arena();
  struct Row {
    const char *value;
    const char *written;
  } rows[] = {
      {"plain", "<p title=\"plain\" ></p>"},
      {"say \"hi\"", "<p title='say \"hi\"' ></p>"},
      {"it's", "<p title=\"it's\" ></p>"},
      {"both \" and '", "<p title=\"both &quot; and '\" ></p>"},
  };
  for (const Row &r : rows) {
    HtmlNode *p = html_element_create(a, HtmlTagKind_P, {});
    html_set_attribute(a, p, HtmlAttrKind_Title, str_from_cstr(r.value));
    std::string once = write(p);
    EXPECT_EQ(once, r.written);
    // Parsed again, the value is the author's (or its &quot; form, which is stable).
    HtmlParseResult back = html_parse(a, sv(once), str_lit("t.html"), html_tokenize(a, sv(once)), 0, {});
    EXPECT_EQ(back.parse_errors, 0u) << once;
    HtmlNode *q = html_find_last_element_by_kind(back.root, HtmlTagKind_P);
    StrView v = html_attribute_value(q, HtmlAttrKind_Title);
    if (std::string(r.value).find('\'') == std::string::npos || std::string(r.value).find('"') == std::string::npos) {
      EXPECT_EQ(ss(v), r.value);
    }
    EXPECT_EQ(write(back.root), once) << "a fixed point";
  }
}

TEST(HtmlTree, BuildersAndSearches) {
  Arena *a = test_arena();
  HtmlNode *root = html_node_create(a, HtmlNode_Fragment, 0, {}, {}, 0);
  HtmlNode *outer = html_element_create(a, HtmlTagKind_Div, {});
  HtmlNode *inner = html_element_create(a, HtmlTagKind_Div, {});
  inner->level = 3;
  html_append_child(root, outer);
  html_content_append(outer, inner);
  html_set_attribute(a, inner, HtmlAttrKind_Id, str_lit("target"));
  html_add_class(a, inner, str_lit("Box"));
  EXPECT_EQ(html_find_last_element_by_kind(root, HtmlTagKind_Div), inner) << "the last in document order";
  EXPECT_EQ(html_find_element_by_kind_level(root, HtmlTagKind_Div, 3), inner);
  EXPECT_EQ(html_find_element_by_attribute_value(root, HtmlAttrKind_Id, str_lit("target")), inner);
  EXPECT_TRUE(html_node_is_nil(html_find_element_by_attribute_value(root, HtmlAttrKind_Id, str_lit("Target"))));
  EXPECT_EQ(html_find_child_element_by_attribute(outer, HtmlAttrKind_Id, str_lit("target"), 3), inner);
  EXPECT_TRUE(html_has_class(inner, str_lit("box")));
  EXPECT_TRUE(html_attribute_value_has_prefix(inner, HtmlAttrKind_Id, str_lit("TAR")));
  HtmlNode *text = html_add_text(a, inner, str_lit("t"));
  EXPECT_EQ(html_find_ancestor_by_kind(text, HtmlTagKind_Div), inner);
  EXPECT_EQ(html_enclosing_element(text), inner);
  EXPECT_EQ(html_find_child_of_type(text, HtmlNode_Content), inner->last_child);
  html_clear_content(inner);
  EXPECT_EQ(inner->last_child->child_count, 0u);
  html_detach(inner);
  EXPECT_EQ(outer->last_child->child_count, 0u);
  EXPECT_TRUE(html_node_is_nil(html_find_last_element_by_kind(html_nil_node, HtmlTagKind_Div)));
  EXPECT_TRUE(html_node_is_nil(html_find_attribute(html_nil_node, HtmlAttrKind_Id)));
  EXPECT_TRUE(html_node_is_nil(html_element_create(a, 0, {})));
}
