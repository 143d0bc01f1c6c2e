// The qil document language: tokens, the document tree, diagnostics, metadata keys
// and the parse entry points.
#pragma once

#include "base/base_diag.h"
#include "base/base_strings.h"

//~ Tokens

enum DocTokenKind : u32 {
  DocTokenKind_Number = 0x1,
  DocTokenKind_Word = 0x2,
  DocTokenKind_String = 0x4,
  DocTokenKind_Punct = 0x8,
  DocTokenKind_Backslash = 0x10,
  DocTokenKind_Symbol = 0x20,
  DocTokenKind_DoubleSlash = 0x40,
  DocTokenKind_Whitespace = 0x80,
  DocTokenKind_Newline = 0x100,
  DocTokenKind_Pipe = 0x200,
  DocTokenKind_OpenBracket = 0x400,
  DocTokenKind_CloseBracket = 0x800,
  // No lexer rule sets this bit: it is unassigned. doc_flags_from_token still carries
  // it over (to DocNodeFlag_UnassignedToken), so the mapping covers every kind bit.
  DocTokenKind_Unassigned = 0x1000,
  DocTokenKind_Quoted = 0x2000,
  DocTokenKind_Invalid = 0x4000,
  DocTokenKind_Unterminated = 0x8000,
  DocTokenKind_Backtick = 0x20000,
  DocTokenKind_DoubleBacktick = 0x40000,
  DocTokenKind_TripleBacktick = 0x80000,
  DocTokenKind_Escaped = 0x800000,
  DocTokenKind_TripleDash = 0x1000000,
  DocTokenKind_HasSpace = 0x2000000,
  DocTokenKind_TildeBrace = 0x4000000,
  DocTokenKind_BraceTilde = 0x8000000,
};

struct DocToken {
  u64 start;
  u64 end;
  u32 kind;
};

struct DocTokenArray {
  DocToken *tokens;
  u64 count;
};

//~ Tree

enum DocNodeKind : u32 {
  DocNodeKind_Nil = 0,
  DocNodeKind_Document = 1,
  DocNodeKind_Error = 2,
  DocNodeKind_Line = 3,
  DocNodeKind_LinkDescription = 4,
  DocNodeKind_Checkbox = 5,
  DocNodeKind_Heading = 6,
  DocNodeKind_Text = 7,
  DocNodeKind_Unassigned = 8,  // no parse makes one; the renderer still gives it an id prefix
  DocNodeKind_Quote = 9,
  DocNodeKind_FootnoteRef = 10,
  DocNodeKind_Footnote = 11,
  DocNodeKind_FootnoteList = 12,
  DocNodeKind_InlineAnchor = 13,
  DocNodeKind_InlineRef = 14,
  DocNodeKind_CodeBlock = 15,
  DocNodeKind_RawHtml = 16,
  DocNodeKind_InlineCode = 17,
  DocNodeKind_Collapsible = 18,
  DocNodeKind_MetaEntry = 20,
  DocNodeKind_TopCollapsible = 21,
  DocNodeKind_Paragraph = 22,
  DocNodeKind_List = 23,
  DocNodeKind_Separator = 24,
  DocNodeKind_Table = 25,
  DocNodeKind_TableCell = 26,
  DocNodeKind_TableHeader = 27,
  DocNodeKind_ListItem = 28,
  DocNodeKind_Toc = 29,
};

enum DocNodeFlag : u64 {
  DocNodeFlag_SpaceBefore = 0x4,  // never set by a parse; the renderer writes a blank first
  DocNodeFlag_SpaceAfter = 0x8,
  DocNodeFlag_UnassignedToken = 0x10,  // from DocTokenKind_Unassigned: never set by a parse
  DocNodeFlag_Quoted = 0x20,
  DocNodeFlag_Number = 0x80,
  DocNodeFlag_String = 0x100,
  DocNodeFlag_Punct = 0x200,
  DocNodeFlag_HttpLink = 0x400,
  DocNodeFlag_FileLink = 0x800,
  DocNodeFlag_BrokenLink = 0x1000,
  DocNodeFlag_StrongOpen = 0x2000,
  DocNodeFlag_StrongClose = 0x4000,
  DocNodeFlag_EmOpen = 0x8000,
  DocNodeFlag_EmClose = 0x10000,
  // Never set by a parse; the renderer and page titles take them for marks all the same.
  DocNodeFlag_UnassignedMarkA = 0x80000,
  DocNodeFlag_UnassignedMarkB = 0x100000,
  DocNodeFlag_Collapsible = 0x200000,
  DocNodeFlag_InlineCollapsible = 0x400000,
  DocNodeFlag_PlainQuoted = 0x1000000,
  DocNodeFlag_ListAlpha = 0x2000000,
  DocNodeFlag_Image = 0x4000000,
  DocNodeFlag_ListNumbered = 0x8000000,
  DocNodeFlag_ListBullet = 0x10000000,
  DocNodeFlag_ListInline = 0x20000000,
  DocNodeFlag_TableDash = 0x40000000,
  DocNodeFlag_TableColumns = 0x80000000,
  DocNodeFlag_HasAnchor = 0x100000000,
  DocNodeFlag_InCollapsible = 0x200000000,
  DocNodeFlag_TableNested = 0x400000000,
  DocNodeFlag_Checked = 0x800000000,
};

// The formatting marks: runs that stand for no text of their own.
#define DOC_NODE_MARK_FLAGS                                                                            \
  ((u64)DocNodeFlag_StrongOpen | DocNodeFlag_StrongClose | DocNodeFlag_EmOpen | DocNodeFlag_EmClose | \
   DocNodeFlag_UnassignedMarkA | DocNodeFlag_UnassignedMarkB)
// A link, whichever its kind.
#define DOC_NODE_LINK_FLAGS ((u64)DocNodeFlag_HttpLink | DocNodeFlag_FileLink | DocNodeFlag_BrokenLink)

// The ids of the metadata keys (the `id` of their MetaKey rows).
enum MetaKeyId : u32 {
  MetaKeyId_Title = 1,
  MetaKeyId_Author = 2,
  MetaKeyId_AuthorLink = 3,
  MetaKeyId_OutputPath = 4,
  MetaKeyId_CreationDate = 5,
  MetaKeyId_Includes = 6,
  MetaKeyId_LastModificationDate = 7,
  MetaKeyId_Remark = 8,
  MetaKeyId_Excerpt = 9,
  MetaKeyId_Summary = 10,
  MetaKeyId_Category = 11,
  MetaKeyId_Status = 12,
};

// What kind of value a metadata key takes (the `value_kind` of its row): one bit per
// key, except the two dates, which share theirs.
enum MetaValueKind : u32 {
  MetaValueKind_Title = 0x2,
  MetaValueKind_Link = 0x80,
  MetaValueKind_Date = 0x1000,
  MetaValueKind_Author = 0x8000,
  MetaValueKind_Remark = 0x10000,
  MetaValueKind_Excerpt = 0x20000,
  MetaValueKind_Summary = 0x40000,
  MetaValueKind_Category = 0x80000,
  MetaValueKind_Includes = 0x100000,
  MetaValueKind_Status = 0x200000,
  MetaValueKind_OutputPath = 0x400000,
};

// Extra rendering bits of a row (`render_mode`); the parser only copies them.
enum MetaRenderBit : u64 {
  MetaRenderBit_Title = 0x80000,
  MetaRenderBit_Shown = 0x100000,
};

struct MetaKey {
  StrView name;
  u32 id;
  u32 value_kind;
  u64 hidden;
  u64 render_mode;
  u64 icon;
};

struct DocNode {
  DocNode *next;
  DocNode *prev;
  DocNode *parent;
  DocNode *first_child;
  DocNode *last_child;
  MetaKey *meta_key;
  u8 number;
  u32 kind;
  u64 flags;
  StrView text;
  StrView raw;
  u64 source_offset;
  u8 indent;
  u8 deepest_level;
  // The parser's memo of whether a quotation encloses the node (0 not yet known, 1 no,
  // 2 yes); it sits in padding, so nodes stay the same size.
  u8 quote_memo;
  u64 child_count;
};
static_assert(sizeof(DocNode) == 120, "a node is 120 bytes: every token of a document may make one");

extern DocNode doc_nil_node_record;
#define doc_nil_node (&doc_nil_node_record)

struct DocLexResult {
  DocTokenArray tokens;
  DiagnosticList diagnostics;
};

//~ Parse results

struct DocAnchorNode {
  DocAnchorNode *next;
  DocNode *node;
};

struct DocAnchorList {
  DocAnchorNode *first;
  DocAnchorNode *last;
  u64 count;
};

// A local link target as the document writes it, left for the stage after parsing to
// look up (the parser never touches the disk).
struct DocLocalLink {
  DocLocalLink *next;
  DocNode *node;
  StrView written;      // the target as written, without its quotes
  StrView base_folder;  // a relative target's folder: that of the first output path named
                        // before the link, else the document's own
  u64 offset;           // of the quoted text
};

struct DocParseResult {
  StrList output_paths;
  DocLocalLink *first_local_link;  // links to local targets (output paths are none), in order
  DocLocalLink *last_local_link;
  DocNode *root;
  DocNode *meta_block;
  DocNode *footnotes;
  DocAnchorList anchors;
  DocNode *toc;
  DocNode *title;
  StrView status;
  DiagnosticList diagnostics;
  u32 ok;  // the tree is usable: errors leave it so, a fatal error does not; 0 for no text
};

// What a parse needs from the build: the site root for "~".
struct DocParseOptions {
  StrView root_path;
};

//~ Lexer

DocLexResult doc_tokenize(Arena *arena, StrView source);

//~ Nodes

DocNode *doc_node_create(Arena *arena, u32 kind, u64 flags, StrView text, StrView raw, u64 source_offset);
void doc_node_append(DocNode *parent, DocNode *child);
void doc_node_prepend(DocNode *parent, DocNode *child);
inline bool doc_node_is_nil(const DocNode *node) { return !node || node == doc_nil_node || node->kind == 0; }
DocNode *doc_node_find_ancestor(DocNode *node, u32 kind);
DocNode *doc_node_find_last(DocNode *root, u8 number, u32 kind);
inline u64
doc_flags_from_token(u32 k) {
  // Whitespace 0x80 -> SpaceAfter 0x8, Unassigned 0x1000 -> 0x10, Quoted 0x2000 -> 0x20,
  // Number 0x1 -> 0x80, String 0x4 -> 0x100, Punct 0x8 -> 0x200: shifts, no branches.
  return ((k & DocTokenKind_Whitespace) >> 4) | ((k & DocTokenKind_Unassigned) >> 8) |
         ((k & DocTokenKind_Quoted) >> 8) | ((u64)(k & DocTokenKind_Number) << 7) |
         ((u64)(k & DocTokenKind_String) << 6) | ((u64)(k & DocTokenKind_Punct) << 6);
}
DocNode *doc_toc_entry(Arena *arena, DocNode *heading);
// Pre-order walk without recursion: the node after `node` below `root`, or nil at the end.
DocNode *doc_node_next_preorder(DocNode *node, DocNode *root);

//~ Metadata keys

const MetaKey *doc_meta_key_lookup(StrView key);

//~ Parsing (doc_parse.cpp, doc_blocks.cpp, doc_inline.cpp)

bool doc_path_like(StrView target);
DocParseResult doc_parse(Arena *arena, StrView path, StrView source, DocLexResult tokens,
                         const DocParseOptions *options);
// Lexes and parses one document; its diagnostics are collected, for the caller to print.
DocParseResult doc_parse_file(Arena *arena, StrView source, StrView path, const DocParseOptions *options);
