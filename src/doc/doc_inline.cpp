// qil inline content: text runs, emphasis, inline code, raw HTML, inline sections,
// brackets (footnotes, anchors, references, checkboxes), links and images, and the
// metadata entries of sections with their key table. Conventions: as in
// doc_parse.cpp; an Inline context holds the content of one line node and pops at
// the line end, which the context below sees too.
#include "doc/doc_parse_internal.h"

#include "site/site_path.h"
#include "site/site_url.h"

//~ Metadata keys and entries

static const MetaKey doc_meta_keys[12] = {
    {str_lit("author"), MetaKeyId_Author, MetaValueKind_Author, 0, 0, 29},
    {str_lit("author_link"), MetaKeyId_AuthorLink, MetaValueKind_Link, 0, 0, 8},
    {str_lit("output_path"), MetaKeyId_OutputPath, MetaValueKind_OutputPath, 1, 0, 0},
    {str_lit("creation_date"), MetaKeyId_CreationDate, MetaValueKind_Date, 0, MetaRenderBit_Shown, 27},
    {str_lit("last_modification_date"), MetaKeyId_LastModificationDate, MetaValueKind_Date, 0, MetaRenderBit_Shown, 27},
    {str_lit("remark"), MetaKeyId_Remark, MetaValueKind_Remark, 0, 0, 32},
    {str_lit("includes"), MetaKeyId_Includes, MetaValueKind_Includes, 1, 0, 0},
    {str_lit("title"), MetaKeyId_Title, MetaValueKind_Title, 0, MetaRenderBit_Title, 0},
    {str_lit("status"), MetaKeyId_Status, MetaValueKind_Status, 1, 0, 0},
    {str_lit("excerpt"), MetaKeyId_Excerpt, MetaValueKind_Excerpt, 0, 0, 0},
    {str_lit("summary"), MetaKeyId_Summary, MetaValueKind_Summary, 0, MetaRenderBit_Shown, 30},
    {str_lit("category"), MetaKeyId_Category, MetaValueKind_Category, 0, MetaRenderBit_Shown, 31},
};

const MetaKey *
doc_meta_key_lookup(StrView key) {
  for (const MetaKey &row : doc_meta_keys) {
    if (row.name.length && str_match(key, row.name, StrMatchFlag_CaseInsensitive)) return &row;
  }
  return 0;
}

// Edit distance of two short keys, ASCII case ignored, a swap of neighbours counting as
// one edit (the commonest typo); keys longer than 40 bytes are not compared.
static u64
doc_key_distance(StrView a, StrView b) {
  if (a.length > 40 || b.length > 40) return 64;
  u64 d[41][41];
  for (u64 i = 0; i <= a.length; i += 1) d[i][0] = i;
  for (u64 j = 0; j <= b.length; j += 1) d[0][j] = j;
  for (u64 i = 1; i <= a.length; i += 1) {
    for (u64 j = 1; j <= b.length; j += 1) {
      u8 x = char_to_lower(a.data[i - 1]), y = char_to_lower(b.data[j - 1]);
      u64 v = Min(Min(d[i - 1][j] + 1, d[i][j - 1] + 1), d[i - 1][j - 1] + (x == y ? 0 : 1));
      if (i > 1 && j > 1 && x == char_to_lower(b.data[j - 2]) && char_to_lower(a.data[i - 2]) == y) {
        v = Min(v, d[i - 2][j - 2] + 1);
      }
      d[i][j] = v;
    }
  }
  return d[a.length][b.length];
}

// A "key:" line of the metadata block whose key is not in the table shows as text in the
// metadata panel: said when the key looks like one meant for it (a word with "_", or a
// near miss of a key). Other sections hold ordinary "Note: ..." lines, so only the block
// that opens the document is looked at.
static void
doc_check_meta_key(DocParser *p, DocNode *section, StrView key, u64 offset) {
  if (section->kind != DocNodeKind_TopCollapsible || !doc_node_is_nil(section->prev)) return;
  if (offset == p->meta_said_at || !doc_advice_kept(p) || key.length == 0 || key.length > 40) return;
  bool underscore = false;
  for (u64 i = 0; i < key.length; i += 1) {
    u8 c = key.data[i];
    if (!(char_is_letter(c) || char_is_digit(c) || c == '_' || c == '-')) return;
    if (c == '_') underscore = true;
  }
  const MetaKey *best = 0;
  u64 best_distance = 64;
  for (const MetaKey &row : doc_meta_keys) {
    u64 d = doc_key_distance(key, row.name);
    u64 allowed = row.name.length <= 6 ? 1 : 2;
    if (d <= allowed && d < best_distance) {
      best = &row;
      best_distance = d;
    }
  }
  if (!best && !underscore) return;
  p->meta_said_at = offset;
  StrView msg = {};
  if (best) {
    msg = str_pushf(p->arena,
                    "`%S` is not a metadata key; did you mean `%S`? The line shows as text in the metadata panel",
                    &key, &best->name);
  } else {
    msg = str_pushf(p->arena,
                    "`%S` is not a metadata key, so the line shows as text in the metadata panel; the keys are "
                    "title, author, author_link, creation_date, last_modification_date, category, summary, "
                    "excerpt, remark, includes, status and output_path",
                    &key);
  }
  doc_emit_advice(p, offset, DiagSeverity_Warning, msg);
}

// Where the key of a metadata entry at byte `start` must end: a ":" before the line
// end and before any "``". Every search is kept for the next entry tried on the
// line, so the many inline sections of one long line do not each search the rest
// of it again; false when there is no such ":".
static bool
doc_meta_key_bounds(DocParser *p, u64 j, u64 start, u64 *key_end) {
  //- the line end: the first line-end token at or after j
  DocLineSearch *eol_search = &p->meta_eol;
  if (!(eol_search->from <= j && j <= eol_search->at)) {
    u64 k = j;
    while (k < p->count && !(p->tokens[k].kind & DocTokenKind_Newline)) k += 1;
    eol_search->from = j;
    eol_search->at = k;
  }
  u64 eol = eol_search->at < p->count ? p->tokens[eol_search->at].start : p->source.length;
  const u8 *s = p->source.data;

  //- the first ":" and the first "``" from `start`, or the line end
  DocLineSearch *colon_search = &p->meta_colon;
  if (!(colon_search->from <= start && start <= colon_search->at)) {
    const u8 *at = start < eol ? (const u8 *)memchr(s + start, ':', eol - start) : 0;
    colon_search->from = start;
    colon_search->at = at ? (u64)(at - s) : eol;
  }
  u64 colon = colon_search->at;
  if (colon >= eol) return false;
  DocLineSearch *ticks_search = &p->meta_ticks;
  if (!(ticks_search->from <= start && start <= ticks_search->at)) {
    u64 i = start;
    while (i + 1 < eol && !(s[i] == '`' && s[i + 1] == '`')) i += 1;
    ticks_search->from = start;
    ticks_search->at = i + 1 < eol ? i : eol;
  }
  if (colon >= ticks_search->at) return false;

  //- the key without its trailing blanks
  if (p->meta_key_colon != colon || start < p->meta_key_from) {
    u64 e = colon;
    while (e > start && char_is_blank(s[e - 1])) e -= 1;
    p->meta_key_colon = colon;
    p->meta_key_from = start;
    p->meta_key_end = e;
  }
  // Blanks from meta_key_end to the ":", so from a later start the key ends there too.
  *key_end = Max(p->meta_key_end, start);
  return true;
}

// Tries a metadata entry at token j (inside a collapsible section). On success the
// entry is appended to the section and its value is read as inline content.
bool
doc_try_meta_entry(DocParser *p, DocNode *section, u64 j) {
  DocToken *t = doc_tok(p, j);
  bool starts_key = (t->kind & (DocTokenKind_Word | DocTokenKind_Number)) ||
                    ((t->kind & DocTokenKind_Symbol) && (doc_is_text_equal(p, j, "_") || doc_is_text_equal(p, j, "__")));
  if (j >= p->count || !starts_key) return false;

  //- the key runs to a ":" before the line end and before any "``"
  u64 key_end = 0;
  if (!doc_meta_key_bounds(p, j, t->start, &key_end)) return false;
  StrView key = str_substr(p->source, t->start, key_end);
  const MetaKey *row = doc_meta_key_lookup(key);
  if (!row || row->name.length == 0) {
    doc_check_meta_key(p, section, key, t->start);
    return false;
  }

  //- the entry
  MetaKey *copy = push_struct(p->arena, MetaKey);
  *copy = *row;
  DocNode *entry = doc_node_create(p->arena, DocNodeKind_MetaEntry, doc_flags_from_token(t->kind), copy->name,
                                   copy->name, t->start);
  entry->meta_key = copy;
  doc_node_append(section, entry);

  //- move on to the ":" (or any punctuation) before the line end
  u64 k = j;
  if (!(t->kind & DocTokenKind_Punct)) {
    while (k < p->count && !(p->tokens[k].kind & (DocTokenKind_Punct | DocTokenKind_Newline))) k += 1;
  }
  if (k < p->count && (p->tokens[k].kind & DocTokenKind_Punct)) k += 1;

  if (doc_node_is_nil(p->result->title) && copy->id == MetaKeyId_Title) {
    p->result->title = entry;
  } else if (copy->id == MetaKeyId_Status) {
    u64 v = k;
    if (doc_is(p, v, DocTokenKind_Whitespace)) v += 1;
    if (v < p->count && !doc_is(p, v, DocTokenKind_Newline)) p->result->status = doc_tok_text(p, doc_tok(p, v));
  }
  p->i = k;
  doc_push(p, DocParseState_Inline, entry, 0);
  return true;
}

//~ Links

bool
doc_path_like(StrView target) {
  if (str_find(target, 0, str_lit("/"), 0) == target.length) return false;
  if (target.length && (target.data[0] == '~' || target.data[0] == '.')) return true;
  return str_find(target, 0, str_lit(":"), 0) < target.length;
}

static bool
doc_status_is_draft(DocParser *p) {
  return str_match(p->result->status, str_lit("draft"), StrMatchFlag_CaseInsensitive);
}

// The folder a relative link target is resolved against: that of the page the link
// ends up in (the first output path so far), else the document's own.
static StrView
doc_link_base_folder(DocParser *p) {
  StrView base = p->path;
  if (p->result->output_paths.first) base = p->result->output_paths.first->string;
  return str_chop_last_slash_keep(base);
}

static void
doc_record_local_link(DocParser *p, DocNode *node, StrView written, u64 offset) {
  DocLocalLink *l = push_struct(p->arena, DocLocalLink);
  l->node = node;
  l->written = written;
  l->base_folder = doc_link_base_folder(p);
  l->offset = offset;
  SLLQueuePush(p->result->first_local_link, p->result->last_local_link, l);
}

// A quoted web address with blanks past its host, as browsers take an href with blanks.
// Only the quotes delimit it (text outside quotes is never a link); blanks at its ends,
// in its host or a line break in it say it is rather a quotation, or lost its closing
// quote, and it stays what it was.
static bool
doc_spaced_address(StrView target) {
  if (!target.length || target.data[0] == ' ' || target.data[target.length - 1] == ' ') return false;
  for (u64 i = 0; i < target.length; i += 1) {
    if (target.data[i] < ' ') return false;
  }
  if (!site_link_is_web_address(target)) return false;
  StrView host = url_parse(target).host;
  return !memchr(host.data, ' ', host.length);
}

static StrView
doc_encode_spaces(Arena *arena, StrView target) {
  u64 spaces = 0;
  for (u64 i = 0; i < target.length; i += 1) spaces += target.data[i] == ' ';
  u8 *out = push_array_no_zero(arena, u8, target.length + spaces * 2 + 1);
  u64 w = 0;
  for (u64 i = 0; i < target.length; i += 1) {
    if (target.data[i] != ' ') {
      out[w++] = target.data[i];
      continue;
    }
    MemoryCopy(out + w, "%20", 3);
    w += 3;
  }
  out[w] = 0;
  return str_make(out, w);
}

// Resolves the quoted token j as the target of `node`, which stands in `line`.
// Consumes the quoted token and, for a link, an opening "(" of its description.
void
doc_parse_link(DocParser *p, DocNode *line, DocNode *node, u64 j, bool image) {
  DocToken *t = doc_tok(p, j);
  StrView quoted = doc_tok_text(p, t);
  StrView target = str_skip(quoted, 1);
  if (!(t->kind & DocTokenKind_Unterminated) && target.length) target = str_chop(target, 1);
  StrView written = target;
  p->i = j + 1;
  //- a quoted text that runs past its line has most likely lost its closing quote
  // (one that never closes at all is said at the end of the parse)
  if (!(t->kind & DocTokenKind_Unterminated) && doc_advice_kept(p) && memchr(quoted.data, '\n', quoted.length)) {
    u64 lines = 0;
    for (u64 k = 0; k < quoted.length; k += 1) lines += quoted.data[k] == '\n';
    StrView msg = str_pushf(p->arena,
                            "this quoted text runs on over %I64u more line%s, to the next \": if its closing "
                            "quote is missing, add \" where the link or text ends",
                            lines, lines == 1 ? "" : "s");
    doc_emit_advice(p, t->start, DiagSeverity_Warning, msg);
  }

  //- web address, or a local path with "~" standing for the site root
  bool web = !(t->kind & DocTokenKind_HasSpace) && site_link_is_web_address(target);
  if (!web && (t->kind & DocTokenKind_HasSpace) && doc_spaced_address(target)) {
    // Written in the page, and fetched, with each blank as "%20", as browsers send it.
    web = true;
    target = doc_encode_spaces(p->arena, target);
  }
  if (web) {
    node->flags |= DocNodeFlag_HttpLink;
  } else {
    target = site_link_expand_root(p->arena, target, p->options.root_path);
  }

  //- output paths of the document
  bool output = line->kind == DocNodeKind_MetaEntry && line->meta_key && line->meta_key->id == MetaKeyId_OutputPath;
  if (output && !doc_status_is_draft(p)) {
    str_list_push(p->arena, &p->result->output_paths, target);
  }

  //- local paths
  // The written form counts too: "~/x" is a local path whatever the root looks like.
  if (doc_path_like(target) || doc_path_like(written)) {
    node->flags |= DocNodeFlag_FileLink;
    // Only links are looked up: an output path names a file this build is about to write.
    if (!web && !output) doc_record_local_link(p, node, written, t->start);
  }

  //- no link: plain quoted text
  if (!(node->flags & (DocNodeFlag_HttpLink | DocNodeFlag_FileLink))) {
    if (doc_is_collapsible(line->parent) || doc_is_collapsible(line)) node->flags |= DocNodeFlag_PlainQuoted;
    if (image) {
      // The "_" made no text of its own: the node shows the quoted text as written.
      node->text = quoted;
      node->raw = quoted;
    }
    return;
  }
  if (image) node->flags |= DocNodeFlag_Image;
  node->text = target;
  node->raw = quoted;

  //- description
  if (doc_is_mark(p, p->i, '(')) {
    DocNode *desc = doc_emit_node(p, DocNodeKind_LinkDescription, p->i);
    desc->text = desc->raw = StrView{};
    doc_node_append(node, desc);
    p->i += 1;
    if (!image) {
      doc_push(p, DocParseState_Inline, desc, 0);
      return;
    }
    // Image options: words separated by commas.
    while (p->i < p->count && !doc_is(p, p->i, DocTokenKind_Newline) && !doc_is_mark(p, p->i, ')')) {
      if (!doc_is(p, p->i, DocTokenKind_Whitespace) && !doc_is_mark(p, p->i, ',')) {
        doc_node_append(desc, doc_emit_node(p, DocNodeKind_Text, p->i));
      }
      p->i += 1;
    }
    if (doc_is_mark(p, p->i, ')')) p->i += 1;
  }
}

//~ Inline content

// The common case, a text node for token j appended to `line`, in one step.
static DocNode *
doc_emit_text_fast(DocParser *p, DocNode *line, u64 j, u64 extra_flags) {
  DocToken *t = &p->tokens[j];
  DocNode *n = push_array_no_zero(p->arena, DocNode, 1);
  StrView text = {p->source.data + t->start, t->end - t->start};
  n->next = doc_nil_node;
  n->prev = line->last_child;
  n->parent = line;
  n->first_child = n->last_child = doc_nil_node;
  n->meta_key = 0;
  n->number = 0;
  n->kind = DocNodeKind_Text;
  n->flags = doc_flags_from_token(t->kind) | extra_flags;
  n->text = text;  // two plain stores: reading the first back would stall store forwarding
  n->raw = text;
  n->source_offset = t->start;
  n->indent = n->deepest_level = n->quote_memo = 0;
  n->child_count = 0;
  if (line->last_child == doc_nil_node) line->first_child = n;
  else line->last_child->next = n;
  line->last_child = n;
  line->child_count += 1;
  return n;
}

static DocNode *
doc_inline_append_text(DocParser *p, DocNode *line, u64 j) {
  DocNode *text = doc_emit_node(p, DocNodeKind_Text, j);
  if (doc_is_collapsible(line)) text->flags |= DocNodeFlag_InCollapsible;
  doc_node_append(line, text);
  return text;
}

// The line end of an Inline context: pops it and decides what continues.
static void
doc_inline_line_end(DocParser *p, DocParseContext *c) {
  DocNode *line = c->node;
  doc_clear_trailing_space(line);
  doc_pop(p);
  DocParseContext *below = p->top;
  switch (below->state) {
    //- nested line content ends with its line: the outer content sees the line end
    case DocParseState_Inline: return;
    case DocParseState_InlineCollapsible: doc_pop(p); return;
    case DocParseState_ListItem:
      doc_pop(p);
      if (p->top->flags & DocNodeFlag_ListInline) {
        doc_pop(p);  // the inline list ends with the line
        return;
      }
      p->i += 1;
      return;
    case DocParseState_Bracket:  // a footnote's text
      doc_pop(p);
      p->i += 1;
      return;
    case DocParseState_TableRow: return;  // the row ends with its line
    case DocParseState_Collapsible:
      p->i += 1;
      return;
    default: break;
  }
  if (below->state == DocParseState_Document && below->node->kind == DocNodeKind_Quote) {
    p->i += 1;
    return;
  }
  //- an outline line: the next line starts from it
  if (line->kind == DocNodeKind_Heading) doc_node_append(p->result->toc, doc_toc_entry(p->arena, line));
  doc_push(p, DocParseState_Document, line, 0);
  p->i += 1;
}

// Whether the inline content at the top of the stack lies in a list item. The inline
// contexts passed keep the answer: content nested many times (link descriptions that
// never close) climbs each context once, not once per marker.
static bool
doc_in_list_item(DocParser *p) {
  u8 answer = DocMemo_No;
  DocParseContext *c = p->top;
  for (; c && c != &p->sentinel; c = c->parent) {
    if (c->state == DocParseState_ListItem) {
      answer = DocMemo_Yes;
      break;
    }
    if (c->state != DocParseState_Inline && c->state != DocParseState_InlineCollapsible) break;
    if (c->in_list_item != DocMemo_Unknown) {
      answer = c->in_list_item;
      break;
    }
  }
  for (DocParseContext *d = p->top; d != c; d = d->parent) d->in_list_item = answer;
  return answer == DocMemo_Yes;
}

void
doc_parse_inline(DocParser *p, DocParseContext *c) {
  u64 j = p->i;
  DocToken *t = doc_tok(p, j);
  DocNode *line = c->node;
  bool esc = doc_is_escaped(p, j);
  u32 below = c->parent ? c->parent->state : 0;

  //- plain words, numbers, punctuation and blanks, the bulk of every document, in one tight loop
  if (t->kind == DocTokenKind_Word || t->kind == DocTokenKind_Whitespace || t->kind == DocTokenKind_Number ||
      t->kind == DocTokenKind_Punct) {
    u64 in_section = doc_is_collapsible(line) ? (u64)DocNodeFlag_InCollapsible : 0;
    u64 k = j;
    for (; k < p->count; k += 1) {
      u32 kind = p->tokens[k].kind;
      if (kind == DocTokenKind_Whitespace) {
        if (line->last_child != doc_nil_node) line->last_child->flags |= DocNodeFlag_SpaceAfter;
        continue;
      }
      if (kind == DocTokenKind_Word || kind == DocTokenKind_Number) {
        // A word or number before "." is a list marker.
        if (k + 1 < p->count && doc_is_mark(p, k + 1, '.')) break;
      } else if (kind == DocTokenKind_Punct) {
        // ")" may close a link description.
        if (p->source.data[p->tokens[k].start] == ')') break;
      } else {
        break;
      }
      doc_emit_text_fast(p, line, k, in_section);
    }
    if (k > j) {
      p->i = k;
      return;
    }
  }
  //- line end
  if (t->kind & DocTokenKind_Newline) {
    doc_inline_line_end(p, c);
    return;
  }
  //- blanks: the text before keeps its space
  if (t->kind & DocTokenKind_Whitespace) {
    if (!doc_node_is_nil(line->last_child)) line->last_child->flags |= DocNodeFlag_SpaceAfter;
    p->i += 1;
    return;
  }
  //- a backslash is dropped; it escapes the next token
  if (t->kind & DocTokenKind_Backslash) {
    p->i += 1;
    return;
  }
  if (!esc) {
    //- "~{" raw HTML "}~"
    if (t->kind & DocTokenKind_TildeBrace) {
      u64 k = j + 1;
      while (k < p->count && !((p->tokens[k].kind & DocTokenKind_BraceTilde) && !doc_is_escaped(p, k))) k += 1;
      u64 end = k < p->count ? p->tokens[k].start : p->source.length;
      StrView html = str_substr(p->source, t->end, end);
      DocNode *raw = doc_node_create(p->arena, DocNodeKind_RawHtml, doc_flags_from_token(t->kind), html, html, t->start);
      doc_node_append(line, raw);
      p->i = k < p->count ? k + 1 : p->count;
      return;
    }
    //- "`" inline code "`"
    if (t->kind & DocTokenKind_Backtick) {
      DocNode *code = doc_emit_node(p, DocNodeKind_InlineCode, j);
      code->text = code->raw = StrView{};
      doc_node_append(line, code);
      u64 k = j + 1;
      while (k < p->count && !(p->tokens[k].kind & DocTokenKind_Backtick)) {
        doc_node_append(code, doc_emit_node(p, DocNodeKind_Text, k));
        k += 1;
      }
      p->i = k < p->count ? k + 1 : p->count;
      return;
    }
    //- "[" checkbox or bracket
    if (t->kind & DocTokenKind_OpenBracket) {
      u64 k = j + 1;
      while (doc_is(p, k, DocTokenKind_Whitespace)) k += 1;
      bool checked = false;
      if (k < p->count && (doc_is_text_equal(p, k, "x") || doc_is_text_equal(p, k, "X"))) {
        u64 m = k + 1;
        while (doc_is(p, m, DocTokenKind_Whitespace)) m += 1;
        if (doc_is_unescaped(p, m, DocTokenKind_CloseBracket)) {
          checked = true;
          k = m;
        }
      }
      if (doc_is_unescaped(p, k, DocTokenKind_CloseBracket)) {
        DocNode *box = doc_emit_node(p, DocNodeKind_Checkbox, j);
        box->text = box->raw = StrView{};
        if (checked) box->flags |= DocNodeFlag_Checked;
        doc_node_append(line, box);
        p->i = k + 1;
        return;
      }
      DocNode *attach = doc_node_is_nil(line->last_child) ? line : line->last_child;
      doc_push(p, DocParseState_Bracket, attach, 0);
      return;
    }
    //- "``" opens a section inside the line, or closes the one this content is in
    if (t->kind & DocTokenKind_DoubleBacktick) {
      if (below == DocParseState_InlineCollapsible) {
        doc_clear_trailing_space(line);
        doc_pop(p);
        doc_pop(p);
        p->i += 1;
        return;
      }
      DocNode *sec = doc_emit_node(p, DocNodeKind_Collapsible, j);
      sec->text = sec->raw = StrView{};
      sec->flags |= DocNodeFlag_Collapsible | DocNodeFlag_InlineCollapsible;
      doc_node_append(line, sec);
      doc_push(p, DocParseState_InlineCollapsible, sec, 0);
      p->i += 1;
      return;
    }
    //- ")" ends a link description
    if (doc_is_mark(p, j, ')') && line->kind == DocNodeKind_LinkDescription) {
      doc_clear_trailing_space(line);
      doc_pop(p);
      p->i += 1;
      return;
    }
    //- "|" ends a table cell; passed over in quotations and inline sections
    if (t->kind & DocTokenKind_Pipe) {
      if (below == DocParseState_TableRow) {
        doc_clear_trailing_space(line);
        doc_pop(p);
        return;
      }
      if (below == DocParseState_InlineCollapsible || doc_node_in_quote(line)) {
        p->i += 1;
        return;
      }
    }
    //- marker: a list inside the line
    if (doc_inline_list_marker(p, j) && !doc_in_list_item(p)) {
      doc_push(p, DocParseState_List, line, DocNodeFlag_ListInline);
      return;
    }
    //- "_" "__" emphasis, or "_" before a quoted text: an image
    if ((t->kind & DocTokenKind_Symbol) && (doc_is_text_equal(p, j, "_") || doc_is_text_equal(p, j, "__"))) {
      bool single = doc_is_text_equal(p, j, "_");
      if (single && doc_is_unescaped(p, j + 1, DocTokenKind_Quoted)) {
        DocNode *img = doc_node_create(p->arena, DocNodeKind_Text, DocNodeFlag_String, StrView{}, StrView{},
                                       doc_tok(p, j + 1)->start);
        if (doc_is_collapsible(line)) img->flags |= DocNodeFlag_InCollapsible;
        doc_node_append(line, img);
        doc_parse_link(p, line, img, j + 1, true);
        return;
      }
      bool before_word = j > 0 && (p->tokens[j - 1].kind & DocTokenKind_Word);
      bool after_word = doc_is(p, j + 1, DocTokenKind_Word);
      DocNode *mark = doc_inline_append_text(p, line, j);
      if (!before_word && after_word) mark->flags |= single ? DocNodeFlag_StrongOpen : DocNodeFlag_EmOpen;
      if (before_word && !after_word) {
        mark->flags |= single ? DocNodeFlag_StrongClose : DocNodeFlag_EmClose;
        if (doc_is(p, j + 1, DocTokenKind_Whitespace) && !doc_node_is_nil(mark->prev)) {
          mark->prev->flags |= DocNodeFlag_SpaceAfter;
        }
      }
      p->i += 1;
      return;
    }
  }

  //- tokens that cannot stand in a line
  u32 unusable = DocTokenKind_CloseBracket | DocTokenKind_Pipe | DocTokenKind_TripleBacktick | DocTokenKind_TripleDash |
                 DocTokenKind_BraceTilde | DocTokenKind_Invalid;
  if ((t->kind & unusable) && !(esc && !(t->kind & DocTokenKind_Invalid))) {
    if (t->kind & DocTokenKind_Invalid) doc_emit_error_each_byte(p, j);
    else doc_emit_error(p, j);
    p->i += 1;
    return;
  }

  //- text, and quoted texts as link targets
  DocNode *text = doc_inline_append_text(p, line, j);
  if (!esc && (t->kind & DocTokenKind_Symbol) && doc_is_char(p, j, '-') && line->kind == DocNodeKind_TableHeader) {
    text->flags |= DocNodeFlag_TableDash;
  }
  if (!esc && (t->kind & DocTokenKind_Quoted)) {
    doc_parse_link(p, line, text, j, false);
    return;
  }
  p->i += 1;
}

// First token of a section opened inside a line: a metadata entry, or content.
void
doc_parse_inline_collapsible(DocParser *p, DocParseContext *c) {
  if (doc_is(p, p->i, DocTokenKind_Whitespace)) {
    p->i += 1;
    return;
  }
  if (doc_try_meta_entry(p, c->node, p->i)) return;
  doc_push(p, DocParseState_Inline, c->node, 0);
}

//~ Brackets

void
doc_parse_bracket(DocParser *p, DocParseContext *c) {
  u64 j = p->i;
  u64 number_index = 0;
  u8 form = doc_bracket_form(p, j, &number_index);
  DocNode *attach = c->node;
  u64 offset = doc_tok(p, j)->start;
  if (!form) {
    //- none of the forms: the "[" stays as text
    doc_pop(p);
    DocNode *line = p->top->node;
    if (p->top->state == DocParseState_Inline) {
      doc_node_append(line, doc_emit_node(p, DocNodeKind_Text, j));
    }
    p->i = j + 1;
    return;
  }
  u8 n = doc_read_decimal(p, number_index);
  u64 k = number_index + 1;
  while (k < p->count && !(p->tokens[k].kind & (DocTokenKind_CloseBracket | DocTokenKind_Word | DocTokenKind_Newline))) {
    k += 1;
  }
  if (doc_is(p, k, DocTokenKind_CloseBracket)) k += 1;
  p->i = k;

  if (form == '*') {
    if (attach->kind == DocNodeKind_Text) {
      DocNode *ref = doc_emit_empty(p, DocNodeKind_FootnoteRef, 0, offset);
      ref->number = n;
      doc_node_append(attach, ref);
      doc_pop(p);
      return;
    }
    //- a footnote: the rest of the line is its text
    DocNode *note = doc_emit_empty(p, DocNodeKind_Footnote, 0, offset);
    note->number = n;
    doc_node_append(p->result->footnotes, note);
    doc_push(p, DocParseState_Inline, note, 0);
    return;
  }
  doc_pop(p);
  if (doc_is_mark(p, p->i, '_')) {
    DocNode *anchor = doc_emit_empty(p, DocNodeKind_InlineAnchor, 0, offset);
    anchor->number = n;
    anchor->first_child = attach;
    attach->flags |= DocNodeFlag_HasAnchor;
    DocAnchorNode *an = push_struct(p->arena, DocAnchorNode);
    an->node = anchor;
    DocAnchorList *list = &p->result->anchors;
    if (list->last) list->last->next = an;
    else list->first = an;
    list->last = an;
    list->count += 1;
    p->i += 1;
    return;
  }
  DocNode *ref = doc_emit_empty(p, DocNodeKind_InlineRef, 0, offset);
  ref->number = n;
  doc_node_append(attach, ref);
  if (doc_is_mark(p, p->i, '(')) {
    DocNode *desc = doc_emit_node(p, DocNodeKind_LinkDescription, p->i);
    desc->text = desc->raw = StrView{};
    doc_node_append(ref, desc);
    p->i += 1;
    doc_push(p, DocParseState_Inline, desc, 0);
  }
}
