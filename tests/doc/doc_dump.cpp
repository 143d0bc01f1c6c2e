#include "doc/doc_dump.h"

#include <vector>

static const char *
kind_name(u32 kind) {
  switch (kind) {
    case DocNodeKind_Document: return "Document";
    case DocNodeKind_Error: return "Error";
    case DocNodeKind_Line: return "Line";
    case DocNodeKind_LinkDescription: return "LinkDescription";
    case DocNodeKind_Checkbox: return "Checkbox";
    case DocNodeKind_Heading: return "Heading";
    case DocNodeKind_Text: return "Text";
    case DocNodeKind_Quote: return "Quote";
    case DocNodeKind_FootnoteRef: return "FootnoteRef";
    case DocNodeKind_Footnote: return "Footnote";
    case DocNodeKind_FootnoteList: return "FootnoteList";
    case DocNodeKind_InlineAnchor: return "InlineAnchor";
    case DocNodeKind_InlineRef: return "InlineRef";
    case DocNodeKind_CodeBlock: return "CodeBlock";
    case DocNodeKind_RawHtml: return "RawHtml";
    case DocNodeKind_InlineCode: return "InlineCode";
    case DocNodeKind_Collapsible: return "Collapsible";
    case DocNodeKind_MetaEntry: return "MetaEntry";
    case DocNodeKind_TopCollapsible: return "TopCollapsible";
    case DocNodeKind_Paragraph: return "Paragraph";
    case DocNodeKind_List: return "List";
    case DocNodeKind_Separator: return "Separator";
    case DocNodeKind_Table: return "Table";
    case DocNodeKind_TableCell: return "TableCell";
    case DocNodeKind_TableHeader: return "TableHeader";
    case DocNodeKind_ListItem: return "ListItem";
    case DocNodeKind_Toc: return "Toc";
    default: return "?";
  }
}

static std::string
escape(StrView s) {
  std::string out;
  for (u64 i = 0; i < s.length; i += 1) {
    u8 c = s.data[i];
    if (c == '\n') out += "\\n";
    else if (c == '\r') out += "\\r";
    else if (c == '\t') out += "\\t";
    else if (c == '"') out += "\\\"";
    else out += (char)c;
  }
  return out;
}

static std::string
flag_names(u64 f) {
  struct F {
    u64 bit;
    const char *name;
  } names[] = {
      {DocNodeFlag_SpaceAfter, "space"},     {DocNodeFlag_HttpLink, "http"},
      {DocNodeFlag_FileLink, "file"},        {DocNodeFlag_BrokenLink, "broken"},
      {DocNodeFlag_StrongOpen, "strong("},   {DocNodeFlag_StrongClose, "strong)"},
      {DocNodeFlag_EmOpen, "em("},           {DocNodeFlag_EmClose, "em)"},
      {DocNodeFlag_InlineCollapsible, "inline"}, {DocNodeFlag_PlainQuoted, "plainquoted"},
      {DocNodeFlag_ListAlpha, "alpha"},      {DocNodeFlag_Image, "image"},
      {DocNodeFlag_ListNumbered, "numbered"}, {DocNodeFlag_ListBullet, "bullet"},
      {DocNodeFlag_ListInline, "inlinelist"}, {DocNodeFlag_TableDash, "dash"},
      {DocNodeFlag_TableColumns, "columns"}, {DocNodeFlag_HasAnchor, "anchored"},
      {DocNodeFlag_InCollapsible, "insection"}, {DocNodeFlag_TableNested, "nested"},
      {DocNodeFlag_Checked, "checked"},
  };
  std::string out;
  for (const F &n : names) {
    if (f & n.bit) out += std::string(" +") + n.name;
  }
  return out;
}

std::string
doc_dump_tree(DocNode *root) {
  std::string out;
  if (doc_node_is_nil(root)) return out;
  // Iterative pre-order walk with the depth kept alongside.
  std::vector<std::pair<DocNode *, int>> stack = {{root, 0}};
  while (!stack.empty()) {
    auto [n, depth] = stack.back();
    stack.pop_back();
    out += std::string(depth * 2, ' ') + kind_name(n->kind);
    bool numbered = n->kind == DocNodeKind_Heading || n->kind == DocNodeKind_Paragraph || n->kind == DocNodeKind_List ||
                    n->kind == DocNodeKind_ListItem || n->kind == DocNodeKind_Quote || n->kind == DocNodeKind_Footnote ||
                    n->kind == DocNodeKind_FootnoteRef || n->kind == DocNodeKind_InlineAnchor ||
                    n->kind == DocNodeKind_InlineRef || n->kind == DocNodeKind_Table ||
                    n->kind == DocNodeKind_TableCell;
    if (numbered) out += " " + std::to_string(n->number);
    if (n->kind != DocNodeKind_Document && n->text.length) out += " \"" + escape(n->text) + "\"";
    if (n->kind == DocNodeKind_Text && !str_identical(n->raw, n->text) && !str_equal(n->raw, n->text)) {
      out += " raw=\"" + escape(n->raw) + "\"";
    }
    out += flag_names(n->flags);
    if (n->kind == DocNodeKind_InlineAnchor) out += std::string(" -> ") + kind_name(n->first_child->kind);
    out += "\n";
    if (n->kind == DocNodeKind_InlineAnchor) continue;
    std::vector<DocNode *> kids;
    for (DocNode *c = n->first_child; !doc_node_is_nil(c); c = c->next) kids.push_back(c);
    for (auto it = kids.rbegin(); it != kids.rend(); ++it) stack.push_back({*it, depth + 1});
  }
  return out;
}

std::string
doc_dump_result(const DocParseResult &r, StrView source) {
  std::string out = doc_dump_tree(r.root);
  if (r.toc && !doc_node_is_nil(r.toc->first_child)) out += doc_dump_tree(r.toc);
  if (r.footnotes && !doc_node_is_nil(r.footnotes->first_child)) out += doc_dump_tree(r.footnotes);
  for (DocAnchorNode *a = r.anchors.first; a; a = a->next) out += doc_dump_tree(a->node);
  if (!doc_node_is_nil(r.title)) out += "title: " + escape(r.title->first_child->text) + "\n";
  if (r.status.length) out += "status: " + escape(r.status) + "\n";
  for (StrNode *n = r.output_paths.first; n; n = n->next) out += "output: " + escape(n->string) + "\n";
  for (Diagnostic *d = r.diagnostics.first; d; d = d->next) {
    LineCol lc = str_line_col(source, d->offset);
    StrView label = diag_severity_label(d->severity);
    out += std::string((const char *)label.data, label.length) + " " + std::to_string(lc.line) + ":" +
           std::to_string(lc.column) + " " + escape(d->message) + "\n";
  }
  return out;
}
