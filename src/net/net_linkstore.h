// The link checker's memory between runs: the last answer to each address, kept in an
// SQLite file below the site root, so that a later run need not ask again for an address
// that answered well lately. A file that cannot be used is said once and left alone:
// the run checks its links without it.
#pragma once

#include "base/base_strings.h"

// One address's last answer.
struct LinkStoreRow {
  LinkStoreRow *next;
  StrView address;    // as fetched (linkcheck_fetch_address)
  u32 verdict;        // LinkVerdict under the settings of the run that checked it; only good
                      // answers (zero) are kept: another drops what the file held for the address
  u32 status;         // 0 when none came
  u32 permanent;      // a permanent redirect was followed on the way
  StrView final_url;  // where the answer came from
  u64 checked_s;      // when, in seconds since 1970
  StrView trust;      // the certificates file it was checked with (ca_file); empty: the system's
};

struct LinkStore {
  struct sqlite3 *db;
  StrView path;
  LinkStoreRow **slots;  // the rows read at opening, by address
  u64 slot_count;
  u64 row_count;
  u64 keep_s;  // rows older than this are dropped when rows are written
  bool failed;  // a write failed and was said: the file is no longer written
};

// Opens the file (made when missing) and reads the rows checked less than `max_age_s`
// before `now_s`. Null, said once on standard error, when the file cannot be used; a
// file that is no link cache of this tool is never written.
LinkStore *linkstore_open(Arena *arena, StrView path, u64 max_age_s, u64 now_s);
// The row read at opening for the address, or null.
LinkStoreRow *linkstore_find(LinkStore *store, StrView address);
// Writes the rows in one transaction, replacing those of the same addresses (a row that
// is no good answer removes its address's), and drops rows too old to be of use. False when it could not (said once; the file stays as it was).
bool linkstore_write(LinkStore *store, LinkStoreRow *first, u64 now_s);
void linkstore_close(LinkStore *store);
