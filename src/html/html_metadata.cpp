// Link previews: the metadata a source finder's data markers pick out of a fetched page.
// A page is searched in place (it can be a few MiB); only the joined texts are copied.
// Each marker search is one pass of the C library's substring search, linear in the
// page, so a finder costs its number of markers times the page size at most.
#include "html/html_searchers.h"

//~ Searching

// Position of the first `needle` at or after `from`, or the body's length.
static u64
metadata_find(StrView body, u64 from, StrView needle) {
  if (from >= body.length) return body.length;
  if (needle.length == 0) return from;
  if (needle.length > body.length - from) return body.length;
  const void *hit = memmem(body.data + from, body.length - from, needle.data, needle.length);
  return hit ? (u64)((const u8 *)hit - body.data) : body.length;
}

// The value one searcher finds: after the last start marker (each searched from where
// the one before it was found), up to where the last end marker is found (each searched
// from where the one before it was found, the end of the body when one is missing).
// `found` is false when no value begins: a start marker is missing, the last one ends
// the body, or there are none.
static StrView
metadata_search(StrView body, const Searcher *s, bool *found) {
  *found = false;
  if (!s->start.first) return StrView{};
  u64 pos = 0;
  u64 begin = 0;
  for (StrNode *m = s->start.first; m; m = m->next) {
    pos = metadata_find(body, pos, m->string);
    begin = pos + m->string.length;
    // An empty marker "found" at the end of a body it did not fit in is no find.
    if (pos == body.length && m->string.length) return StrView{};
  }
  if (begin >= body.length) return StrView{};
  u64 end = begin;
  for (StrNode *m = s->end.first; m; m = m->next) end = metadata_find(body, end, m->string);
  *found = true;
  return str_substr(body, begin, end);
}

//~ Extraction

void
metadata_extract(Arena *arena, const SourceFinder *finder, StrView body, LinkMetadataItemList *out) {
  if (!finder) return;
  for (DataMarker *dm = finder->data_markers.first; dm; dm = dm->next) {
    //- the prefix and the marker's types
    u32 flags = dm->types;
    StrView value = {};
    //- the first searcher with a non-empty value gives it; an empty one marks the item
    for (Searcher *s = dm->searchers.first; s; s = s->next) {
      bool found = false;
      StrView v = metadata_search(body, s, &found);
      if (!found) continue;
      if (v.length) {
        value = v;
        break;
      }
      flags |= LinkMetadataFlag_Missing;
    }
    //- one NUL-terminated text on the arena
    u64 length = dm->prefix.length + value.length;
    u8 *text = push_array_no_zero(arena, u8, length + 1);
    if (dm->prefix.length) MemoryCopy(text, dm->prefix.data, dm->prefix.length);
    if (value.length) MemoryCopy(text + dm->prefix.length, value.data, value.length);
    text[length] = 0;
    LinkMetadataItem *item = push_struct(arena, LinkMetadataItem);
    item->flags = flags;
    item->text = str_make(text, length);
    SLLQueuePush(out->first, out->last, item);
    out->count += 1;
    out->total_bytes += length;
  }
}
