// The searchers configuration and link previews. The configuration names, per group of
// sites ("source finders" with their URL patterns), the pieces of metadata a linked page
// holds ("data markers": a type, a prefix) and how to find each one ("searchers": start
// markers, then end markers, searched byte for byte). The file is read by a tolerant
// tokenizer and parser that never report: what they cannot use is skipped.
//
//   source_finders: {
//     urls: ["https://www.example.org/"]
//     data_markers: {
//       types: ["Title"]
//       prefix: ""
//       searchers: { start: ["<title>"] end: ["</title>"] }
//     }
//   }
//
// A string holds no line feed, "," or "]", and ends at the last quote before them, so
// quotes inside it need no escape: "<meta name="description" content="" is one string.
#pragma once

#include "html/html_core.h"

//~ Tokens
// Kinds are HtmlTokenKind bits: Number, Word, String (with DoubleQuoted or SingleQuoted,
// and Broken when it has no closing quote), Markup (key words and ", : [ ] { }"),
// Space, Newline, Other.

struct ConfToken {
  u64 start;
  u64 end;  // exclusive
  u32 kind;
};

struct ConfTokenList {
  ConfToken *tokens;
  u64 count;
};

//~ Tree

enum ConfNodeType : u64 {
  ConfNode_Nil = 0,
  ConfNode_Error = 1,
  ConfNode_Root = 2,    // text: the whole file
  ConfNode_Object = 3,  // "{ ... }" under a key
  ConfNode_Key = 5,     // text: the key word
  ConfNode_String = 6,  // text: without its quotes; raw: the token
};

struct ConfNode {
  ConfNode *next;
  ConfNode *prev;
  ConfNode *parent;
  ConfNode *first_child;
  ConfNode *last_child;
  u64 type;  // ConfNodeType
  StrView text;
  StrView raw;
  u64 source_offset;
  u64 child_count;
};

// Read-only: every link leads back to the record.
extern const ConfNode conf_nil_node_record;
#define conf_nil_node ((ConfNode *)&conf_nil_node_record)

inline bool conf_node_is_nil(const ConfNode *n) { return !n || n->type == ConfNode_Nil; }

//~ Source finders

enum MetadataType : u32 {
  MetadataType_Date = 0x2,
  MetadataType_Author = 0x8,
  MetadataType_Number = 0x10,
  MetadataType_Bitmap = 0x20,
  MetadataType_Title = 0x40,
  MetadataType_Description = 0x80,
  MetadataType_ShortDescription = 0x100,
  MetadataType_Textual = 0x200,
};

struct Searcher {
  Searcher *next;
  StrList start;  // searched one after the other; the value begins after the last
  StrList end;    // searched one after the other from the value; it ends at the last
};

struct SearcherList {
  Searcher *first;
  Searcher *last;
  u64 count;
};

struct DataMarker {
  DataMarker *next;
  StrView prefix;  // put before the value
  u32 types;       // MetadataType bits
  SearcherList searchers;
};

struct DataMarkerList {
  DataMarker *first;
  DataMarker *last;
  u64 count;
};

struct SourceFinder {
  SourceFinder *next;
  StrList urls;
  DataMarkerList data_markers;
};

struct SourceFinderList {
  SourceFinder *first;
  SourceFinder *last;
  u64 count;
};

struct LinkMetadataItemList {
  LinkMetadataItem *first;
  LinkMetadataItem *last;
  u64 count;
  u64 total_bytes;  // of the item texts, without their NUL bytes
};

//~ Tokenizer, parser and reader (html_conf.cpp)

ConfTokenList conf_tokenize(Arena *arena, StrView text);
// The tree's texts are views into `text`.
ConfNode *conf_parse(Arena *arena, StrView text, ConfTokenList tokens);
// The finders keep copies of their strings: the text and the tree may go afterwards.
SourceFinderList conf_read_source_finders(Arena *arena, ConfNode *root);
// Tokenizes and parses on scratch memory and reads the finders onto `arena`.
SourceFinderList conf_read_text(Arena *arena, StrView text);
// The bit of a "types" value (ASCII case-insensitive), or 0 for an unknown name.
u32 metadata_type_from_name(StrView name);
// The next node after `node` below `root` in pre-order, or nil.
ConfNode *conf_next_preorder(ConfNode *node, ConfNode *root);

//~ Extraction (html_metadata.cpp)

// Appends one item per data marker of `finder` (none when it is null): the marker's
// prefix followed by the first non-empty value one of its searchers finds in `body`,
// joined onto the arena and NUL-terminated. Flags are the marker's types, with
// LinkMetadataFlag_Missing when a searcher found an empty value. `body` is not copied.
void metadata_extract(Arena *arena, const SourceFinder *finder, StrView body, LinkMetadataItemList *out);
