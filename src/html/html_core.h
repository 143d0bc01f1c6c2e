// The HTML model: element and attribute tables, the node tree with its builders and
// serializer, the tokenizer and parser, validation and link collection.
#pragma once

#include "base/base_strings.h"
#include "base/base_diag.h"


//~ Tables

enum HtmlContentFlags : u32 {
  HtmlContent_None = 0,
  HtmlContent_RawText = 1,
  HtmlContent_Flow = 2,
  HtmlContent_MayBeEmpty = 4,
  HtmlContent_Void = 8,
  HtmlContent_Escapable = 0x10,   // read as text up to its end tag, references kept ("title", "textarea")
  HtmlContent_OptionalEnd = 0x20, // the end tag may be left out
  HtmlContent_ClosesP = 0x40,     // its start tag ends an open "p"
  HtmlContent_InHead = 0x80,      // may stand in "head"; any other start tag ends a "head" left open
  HtmlContent_Obsolete = 0x100,   // parsed as browsers do, and reported
  HtmlContent_Foreign = 0x200,    // SVG or MathML: what it holds follows their rules
};

enum HtmlAttrValueType : u32 {
  HtmlAttrValue_Text = 1,
  HtmlAttrValue_Flag = 2,
  HtmlAttrValue_Number = 3,
  HtmlAttrValue_Style = 4,
  HtmlAttrValue_Url = 5,
  HtmlAttrValue_Obsolete = 6,  // no longer HTML: reported, with the advice to use CSS
};

enum HtmlTagKind : u32 {
  HtmlTagKind_None = 0,
#define HTML_ELEMENT(e, name, content, parents, required) HtmlTagKind_##e,
#include "html/html_elements.inc"
#undef HTML_ELEMENT
  HtmlTagKind_COUNT,
};

enum HtmlAttrKind : u32 {
#define HTML_ATTRIBUTE(e, name, type, def) HtmlAttrKind_##e,
#include "html/html_attributes.inc"
#undef HTML_ATTRIBUTE
  HtmlAttrKind_COUNT,
};

struct HtmlElementInfo {
  StrView name;
  u32 kind;
  u32 content;
  StrView allowed_parents;
  StrView required_attributes;
};

struct HtmlAttributeInfo {
  StrView name;
  u32 kind;
  u32 value_type;
  StrView default_value;
};

const HtmlElementInfo *html_element_info_by_kind(u32 kind);
const HtmlElementInfo *html_element_info_by_name(StrView name);
const HtmlAttributeInfo *html_attribute_info_by_kind(u32 kind);
const HtmlAttributeInfo *html_attribute_info_by_name(StrView name);
StrView html_attribute_name(u32 kind);
// Whether HTML lets the attribute stand on the element (true for global attributes and
// for what the tables do not know).
bool html_attribute_allowed_on(const HtmlAttributeInfo *attribute, const HtmlElementInfo *element);
const HtmlElementInfo *html_element_empty_row(void);
const HtmlAttributeInfo *html_attribute_empty_row(void);
const HtmlElementInfo *html_element_table(u64 *count);
const HtmlAttributeInfo *html_attribute_table(u64 *count);

//~ Nodes

enum HtmlNodeType : u32 {
  HtmlNode_Nil = 0,
  HtmlNode_Document = 1,
  HtmlNode_Message = 2,
  HtmlNode_Element = 4,
  HtmlNode_Fragment = 5,
  HtmlNode_AttributeList = 6,
  HtmlNode_Content = 7,
  HtmlNode_Attribute = 8,
  HtmlNode_AttributeValue = 9,
  // Markup that is neither element nor text, kept byte for byte: a comment, a processing
  // instruction, a CDATA section, an end tag that closes nothing, a tag cut by the end.
  HtmlNode_Markup = 10,
};

enum HtmlNodeFlags : u64 {
  // The element came from a page: `raw` is its start tag as written and its Content
  // node's `raw` its end tag (empty when left out); both are written back as they were.
  HtmlNodeFlag_Source = 0x1,
  // Its attributes changed since: the start tag is written from the attribute nodes.
  HtmlNodeFlag_Edited = 0x2,
  // An SVG or MathML element, or one inside them.
  HtmlNodeFlag_Foreign = 0x4,
  // Written "<x/>": a void or foreign element with nothing inside.
  HtmlNodeFlag_SelfClosed = 0x8,
  // A comment ("<!-- -->"), as opposed to other kept markup.
  HtmlNodeFlag_Comment = 0x10,
  HtmlNodeFlag_SingleQuoted = 0x800,
  HtmlNodeFlag_DoubleQuoted = 0x1000,
  HtmlNodeFlag_RawText = 0x40000,
  HtmlNodeFlag_HasUrl = 0x80000,
  HtmlNodeFlag_Number = 0x100000,
  HtmlNodeFlag_Word = 0x200000,
  HtmlNodeFlag_String = 0x400000,
  HtmlNodeFlag_Symbols = 0x800000,
};

struct HtmlNode {
  HtmlNode *next;
  HtmlNode *prev;
  HtmlNode *parent;
  HtmlNode *first_child;
  HtmlNode *last_child;
  const HtmlElementInfo *element;
  const HtmlAttributeInfo *attribute;
  u32 type;
  u64 flags;
  StrView text;
  StrView raw;
  u64 source_offset;
  u64 source_length;
  u64 child_count;
  u8 level;
};

extern HtmlNode html_nil_node_record;
#define html_nil_node (&html_nil_node_record)

inline bool html_node_is_nil(const HtmlNode *n) { return !n || n == html_nil_node || n->type == HtmlNode_Nil; }

HtmlNode *html_node_create(Arena *arena, u32 type, u64 flags, StrView name, StrView text, u64 source_offset);
HtmlNode *html_element_create(Arena *arena, u32 tag_kind, StrView text);
HtmlNode *html_element_create_named(Arena *arena, StrView name, StrView text);
void html_append_child(HtmlNode *parent, HtmlNode *child);
void html_prepend_child(HtmlNode *parent, HtmlNode *child);
HtmlNode *html_enclosing_element(HtmlNode *node);
HtmlNode *html_attribute_list_of(HtmlNode *node);
HtmlNode *html_content_of(HtmlNode *node);
HtmlNode *html_content_append(HtmlNode *node, HtmlNode *child);
HtmlNode *html_add_text(Arena *arena, HtmlNode *node, StrView text);
// Where html_insert puts the new node.
enum HtmlInsert : u32 {
  HtmlInsert_After = 1,       // right after the element enclosing `node`, as its sibling
  HtmlInsert_FirstChild = 2,  // first in `node`'s content
  HtmlInsert_LastChild = 3,   // last in `node`'s content
};
void html_insert(HtmlNode *node, HtmlNode *new_node, u32 mode);  // mode: HtmlInsert
void html_detach(HtmlNode *node);
// A copy of the tree below `root` (which comes detached), on `arena`; texts are shared.
HtmlNode *html_tree_copy(Arena *arena, HtmlNode *root);
void html_clear_content(HtmlNode *node);
// Adds a value to the attribute (values are written one after the other; classes
// with a blank between them).
HtmlNode *html_set_attribute(Arena *arena, HtmlNode *node, u32 attr_kind, StrView value);
// The attribute holds this one value afterwards.
HtmlNode *html_replace_attribute(Arena *arena, HtmlNode *node, u32 attr_kind, StrView value);
void html_add_class(Arena *arena, HtmlNode *node, StrView class_name);
HtmlNode *html_find_attribute(HtmlNode *node, u32 attr_kind);
StrView html_attribute_value(HtmlNode *node, u32 attr_kind);
bool html_attribute_value_has_prefix(HtmlNode *node, u32 attr_kind, StrView text);
bool html_has_class(HtmlNode *node, StrView class_name);
HtmlNode *html_find_child_of_type(HtmlNode *node, u32 type);
HtmlNode *html_find_last_element_by_kind(HtmlNode *root, u32 tag_kind);
HtmlNode *html_find_element_by_kind_level(HtmlNode *root, u32 tag_kind, u8 level);
HtmlNode *html_find_element_by_attribute_value(HtmlNode *root, u32 attr_kind, StrView value);
HtmlNode *html_find_child_element_by_attribute(HtmlNode *node, u32 attr_kind, StrView value, u8 level);
HtmlNode *html_find_ancestor_by_kind(HtmlNode *node, u32 tag_kind);
// Pre-order walk without recursion: the node after `node` below `root`, or nil.
HtmlNode *html_next_preorder(HtmlNode *node, HtmlNode *root);
void html_write(Arena *arena, StrList *out, HtmlNode *root);
// Gives every element read from a text an end tag where the text left it out.
void html_close_omitted(Arena *arena, HtmlNode *root);

//~ Tokens and parsing

// Kinds of the searchers configuration's tokens (html_searchers.h).
enum HtmlTokenKind : u32 {
  HtmlToken_Number = 0x1,
  HtmlToken_Word = 0x2,
  HtmlToken_String = 0x4,
  HtmlToken_Symbols = 0x8,
  HtmlToken_Markup = 0x10,
  HtmlToken_Space = 0x40,
  HtmlToken_Newline = 0x80,
  HtmlToken_SingleQuoted = 0x100,
  HtmlToken_SingleCut = 0x200,
  HtmlToken_DoubleQuoted = 0x400,
  HtmlToken_Other = 0x800,
  HtmlToken_Broken = 0x1000,
  HtmlToken_Entity = 0x4000,
};

enum HtmlParseFlags : u32 {
  // Marks a checked parse; no code reads it on its own, but it belongs to the usual set.
  HtmlParse_Check = 0x1,
  HtmlParse_AttributeChecks = 0x2,
  HtmlCheck_UnknownElements = 0x4,
  HtmlCheck_UnknownAttributes = 0x8,
  HtmlCheck_AllowedParents = 0x10,
  // The checks every hand-written page gets (the value 15 that callers have always passed).
  HtmlParse_CheckAll = HtmlParse_Check | HtmlParse_AttributeChecks | HtmlCheck_UnknownElements |
                       HtmlCheck_UnknownAttributes,
};
static_assert(HtmlParse_CheckAll == 15, "the usual check set keeps its value");

// A page's tokens, as the HTML standard's tokenizer reads them. Every byte of the page
// belongs to exactly one token, in order, so the tree built from them can be written
// back byte for byte.
enum HtmlLexKind : u32 {
  HtmlLex_Text = 1,      // text; also the whole content of a raw-text or escapable element
  HtmlLex_StartTag = 2,
  HtmlLex_EndTag = 3,
  HtmlLex_Comment = 4,   // "<!-- -->", and the comments browsers make of "<!x>" and "<?x>"
  HtmlLex_Doctype = 5,
  HtmlLex_Markup = 6,    // other markup kept as written: CDATA, "</>", a tag cut by the end
};

enum HtmlLexFlags : u32 {
  HtmlLexFlag_SelfClosing = 0x1,  // the tag ends with "/>"
  HtmlLexFlag_RawText = 0x2,      // text read without looking for tags
  HtmlLexFlag_Bogus = 0x4,        // a comment browsers make of other markup
};

struct HtmlToken {
  u64 start;
  u64 end;
  u32 kind;        // HtmlLexKind
  u32 flags;       // HtmlLexFlags
  u64 name_start;  // tags and doctypes: the name
  u64 name_end;
  u64 attr_first;  // tags: attributes[attr_first, attr_first + attr_count)
  u64 attr_count;
};

struct HtmlTokenAttr {
  u64 name_start;
  u64 name_end;
  u64 value_start;  // the value as written, quotes included; equal to value_end when absent
  u64 value_end;
  u8 quote;         // '"', '\'' or 0
};

// A tokenizer finding: where, and which rule of the standard the text breaks.
enum HtmlLexError : u32 {
  HtmlLexError_LessThanInText = 1,      // "<" that starts no tag
  HtmlLexError_EndOfTextInTag,          // the text ends inside a tag
  HtmlLexError_EndOfTextInComment,
  HtmlLexError_EmptyEndTag,             // "</>"
  HtmlLexError_BogusComment,            // "<!x>", "</1>": browsers make it a comment
  HtmlLexError_ProcessingInstruction,   // "<?x>" past the page's start
  HtmlLexError_AbruptComment,           // "<!-->" or "<!--->"
  HtmlLexError_CommentClosedWithBang,   // "--!>"
  HtmlLexError_CharacterInAttributeName,   // '"', "'" or "<" in a name
  HtmlLexError_CharacterInUnquotedValue,   // '"', "'", "<" or "`" in an unquoted value
  HtmlLexError_MissingSpaceBetweenAttributes,
  HtmlLexError_MissingAttributeValue,   // "=" and then ">"
  HtmlLexError_SolidusInTag,            // "/" not followed by ">"
  HtmlLexError_EqualsBeforeName,
  HtmlLexError_ControlCharacter,        // a run of control bytes
  HtmlLexError_EndOfTextInDoctype,
  HtmlLexError_EqualsInUnquotedValue,   // a warning: browsers keep it, checkers frown
};

struct HtmlLexFinding {
  u64 offset;
  u32 error;  // HtmlLexError
};

struct HtmlTokenList {
  HtmlToken *tokens;
  u64 count;
  HtmlTokenAttr *attrs;
  u64 attr_count;
  HtmlLexFinding *findings;
  u64 finding_count;
};

enum HtmlLinkKind : u32 {
  HtmlLinkKind_Web = 1,
  HtmlLinkKind_Local = 2,
};


struct HtmlLink {
  HtmlLink *next;
  HtmlLink *prev;
  u64 start;
  u64 end;  // before the "#" part
  u64 value_end;  // after it: the "#" part is what lies between `end` and here
  u32 kind;  // HtmlLinkKind
  u32 reserved;
  HtmlNode *element;
};

struct HtmlLinkList {
  HtmlLink *first;
  HtmlLink *last;
  u64 count;
};

struct HtmlParseResult {
  HtmlNode *root;
  DiagnosticList diagnostics;
  u32 check_flags;
  HtmlLinkList links;
  // Errors raised while parsing (not by the validator): the tree may have lost text.
  u64 parse_errors;
};

enum LinkMetadataFlags : u32 {
  // The fetched page lacked the item: its span gets the "missing-metadata" class.
  LinkMetadataFlag_Missing = 0x400,
};

struct LinkMetadataItem {
  LinkMetadataItem *next;
  u32 flags;  // LinkMetadataFlags
  StrView text;
};

struct LinkMetadata {
  LinkMetadata *next;
  LinkMetadataItem *items;
  u64 hash;
};

HtmlTokenList html_tokenize(Arena *arena, StrView source);
// An HTML start tag that ends the SVG or MathML it stands in.
bool html_breaks_out_of_foreign(StrView name);
HtmlParseResult html_parse(Arena *arena, StrView source, StrView path, HtmlTokenList tokens, u32 flags,
                           StrView site_root);
HtmlParseResult html_check_text(Arena *arena, StrView text, StrView path, u32 flags, StrView site_root);
StrView html_normalize_url_value(Arena *arena, StrView site_root, StrView value);

//~ Validation and links

void html_validate(Arena *arena, HtmlParseResult *result);
// Gathers the page's link targets (those without "dontFetch") into `result->links`.
void html_collect_links(Arena *arena, HtmlParseResult *result);
// `mode` holds HtmlLinkCheck flags: web links are queued for `checker` (none queued when
// it is null), local targets ("~" standing for `site_root`) are looked up; returns the
// web links queued.
// A link target as a browser requests it: blanks around it cut, tabs and line breaks
// dropped, character references ("&amp;", "&#51;") decoded.
StrView html_decode_url(Arena *arena, StrView raw);
// Writes each link's previews right after it, in place of those an earlier build wrote there.
void html_attach_link_metadata(Arena *arena, HtmlLinkList *links, StrView text, LinkMetadata *metadata);
// A remote text as a preview shows it: at most HTML_PREVIEW_MAX bytes, cut at a character
// boundary, with "<", ">", "&" and quotes as references (well-formed references kept).
#define HTML_PREVIEW_MAX 500
StrView html_preview_text(Arena *arena, StrView text);


//~ Ids: what a link's "#name" can lead to

// The ids of a page and the names of its "a" elements, kept as 64-bit hashes: memory
// follows the number of ids, never the size of the page.
struct HtmlIdSet {
  u64 *slots;  // 0: free
  u64 capacity;  // a power of two, or 0
  u64 count;
  b32 overlong;  // some value was longer than HTML_ID_MAX: a longer name is not judged
  b32 partial;   // only the start of the page was read: a name not seen is not judged
};

#define HTML_ID_MAX 2048

// Reads a page in pieces as they arrive (a tag may be cut between two), collecting ids.
struct HtmlIdScan {
  HtmlIdSet ids;
  u32 state;
  u32 dashes;       // in a comment: "-" seen in a row
  u32 end_tag;      // the tag being read is an end tag
  u32 raw_matched;  // inside script, style, title or textarea: how much of "</name" is seen
  u32 raw_length;
  u32 tag_length;
  u32 attr_length;
  u32 value_length;
  u32 value_kept;   // the attribute's value is an id (or an "a" element's name)
  u8 tag[12];       // the tag's name, lower case; a longer one is no name of interest
  u8 raw_tag[12];   // the element whose text is read as text
  u8 attr[8];
  u8 value[HTML_ID_MAX];
};

void html_id_scan_begin(HtmlIdScan *scan);
// Growth of the set comes from `arena`.
void html_id_scan_feed(Arena *arena, HtmlIdScan *scan, StrView piece);
// The ids of a whole page.
HtmlIdSet html_ids_of(Arena *arena, StrView page);
void html_id_set_add(Arena *arena, HtmlIdSet *set, StrView name);
bool html_id_set_has(const HtmlIdSet *set, StrView name);
// The set in as little room as its count needs.
HtmlIdSet html_id_set_copy(Arena *arena, const HtmlIdSet *set);
// Whether a fragment (without its "#") leads somewhere in a page with these ids: the top
// for "" and "top", an id or an "a" name as written or percent-decoded; a text
// directive (":~:") is no part of the name. A set that saw only part of its page finds all.
bool html_fragment_found(const HtmlIdSet *set, StrView fragment);
