// The link checker's memory between runs, in SQLite. Write-ahead logging and a busy
// timeout let runs share the file; every write is one transaction, so a run that dies
// leaves the file as the last one that ended had it.
#include "net/net_linkstore.h"

#include <sqlite3.h>

#include "base/base_format.h"

// Marks the file as this tool's (SQLite's application id): any other database at the path
// is left alone. The layout's version goes in the user version.
#define LINK_STORE_APPLICATION_ID 0x51494C4B  // "QILK"
#define LINK_STORE_VERSION 1
#define LINK_STORE_TEXT_(x) #x
#define LINK_STORE_TEXT(x) LINK_STORE_TEXT_(x)
// How long a run waits for another that is writing.
#define LINK_STORE_BUSY_MS 5000
// Rows are kept this long at least, so that a run asking for an older answer still finds it.
#define LINK_STORE_KEEP_S (30ull * 24 * 3600)

static void
linkstore_say(StrView path, const char *why) {
  console_eprintf("qilsite: the link cache '%.*s' cannot be used (%s): web links are checked without it\n",
                  str_expand(path), why);
}

// The single number a statement answers, or false.
static bool
linkstore_number(sqlite3 *db, const char *sql, s64 *out) {
  sqlite3_stmt *st = 0;
  bool ok = sqlite3_prepare_v2(db, sql, -1, &st, 0) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW;
  if (ok) *out = sqlite3_column_int64(st, 0);
  sqlite3_finalize(st);
  return ok;
}

// Makes the table in a new file, or finds that the file holds this tool's table. Null
// when it may be used, else why not.
static const char *
linkstore_prepare_file(sqlite3 *db) {
  s64 id = 0, tables = 0, version = 0;
  // A read first: it is what tells a file that is no database, before anything is written.
  if (!linkstore_number(db, "PRAGMA application_id", &id)) return sqlite3_errmsg(db);
  if (sqlite3_exec(db, "BEGIN IMMEDIATE", 0, 0, 0) != SQLITE_OK) return sqlite3_errmsg(db);
  const char *why = 0;
  if (!linkstore_number(db, "SELECT count(*) FROM sqlite_schema", &tables) || !linkstore_number(db, "PRAGMA application_id", &id) ||
      !linkstore_number(db, "PRAGMA user_version", &version)) {
    why = sqlite3_errmsg(db);
  } else if (tables == 0 && id == 0 && version == 0) {
    //- a new file (or an empty database): nothing in it to lose
    const char *make =
        "PRAGMA application_id=" LINK_STORE_TEXT(LINK_STORE_APPLICATION_ID) ";"
        "PRAGMA user_version=" LINK_STORE_TEXT(LINK_STORE_VERSION) ";"
        "CREATE TABLE links(address TEXT PRIMARY KEY NOT NULL, verdict INTEGER NOT NULL, status INTEGER NOT NULL,"
        " permanent INTEGER NOT NULL, final_url TEXT NOT NULL, checked_s INTEGER NOT NULL, trust TEXT NOT NULL)"
        " WITHOUT ROWID;";
    if (sqlite3_exec(db, make, 0, 0, 0) != SQLITE_OK) why = sqlite3_errmsg(db);
  } else if (id != LINK_STORE_APPLICATION_ID) {
    why = "it is not a link cache of qilsite; it is left as it is";
  } else if (version != LINK_STORE_VERSION) {
    why = "another version of qilsite made it; remove it to start a new one";
  }
  if (why) {
    sqlite3_exec(db, "ROLLBACK", 0, 0, 0);
    return why;
  }
  if (sqlite3_exec(db, "COMMIT", 0, 0, 0) != SQLITE_OK) return sqlite3_errmsg(db);
  // Readers do not wait for a writer, and a crash cannot tear a transaction.
  if (sqlite3_exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL", 0, 0, 0) != SQLITE_OK) {
    return sqlite3_errmsg(db);
  }
  return 0;
}

static StrView
linkstore_column_text(Arena *arena, sqlite3_stmt *st, int column) {
  const unsigned char *text = sqlite3_column_text(st, column);
  u64 n = (u64)sqlite3_column_bytes(st, column);
  return text ? str_push_copy(arena, str_make((u8 *)text, n)) : StrView{};
}

// The rows checked less than `max_age_s` ago, hashed by address; false when they cannot be read.
static bool
linkstore_read(Arena *arena, LinkStore *store, u64 max_age_s, u64 now_s) {
  sqlite3_stmt *st = 0;
  // Younger than the age asked: an age of zero takes nothing. A time ahead of the clock is
  // no age at all.
  const char *sql = "SELECT address, verdict, status, permanent, final_url, checked_s, trust FROM links"
                    " WHERE checked_s > ?1 AND checked_s <= ?2";
  if (sqlite3_prepare_v2(store->db, sql, -1, &st, 0) != SQLITE_OK) return false;
  sqlite3_bind_int64(st, 1, (s64)now_s - (s64)max_age_s);
  sqlite3_bind_int64(st, 2, (s64)now_s);
  LinkStoreRow *first = 0;
  int rc = SQLITE_ROW;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
    LinkStoreRow *row = push_struct(arena, LinkStoreRow);
    row->address = linkstore_column_text(arena, st, 0);
    row->verdict = (u32)sqlite3_column_int64(st, 1);
    row->status = (u32)sqlite3_column_int64(st, 2);
    row->permanent = sqlite3_column_int64(st, 3) != 0;
    row->final_url = linkstore_column_text(arena, st, 4);
    row->checked_s = (u64)sqlite3_column_int64(st, 5);
    row->trust = linkstore_column_text(arena, st, 6);
    row->next = first;
    first = row;
    store->row_count += 1;
  }
  sqlite3_finalize(st);
  if (rc != SQLITE_DONE) return false;
  store->slot_count = Max(store->row_count, 64);
  store->slots = push_array(arena, LinkStoreRow *, store->slot_count);
  for (LinkStoreRow *row = first, *next = 0; row; row = next) {
    next = row->next;
    LinkStoreRow **slot = &store->slots[str_hash_djb2(row->address) % store->slot_count];
    row->next = *slot;
    *slot = row;
  }
  return true;
}

LinkStore *
linkstore_open(Arena *arena, StrView path, u64 max_age_s, u64 now_s) {
  char *c = push_array_no_zero(arena, char, path.length + 1);
  MemoryCopy(c, path.data, path.length);
  c[path.length] = 0;
  sqlite3 *db = 0;
  const char *why = 0;
  if (sqlite3_open_v2(c, &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, 0) != SQLITE_OK) {
    why = db ? sqlite3_errmsg(db) : "out of memory";
  } else {
    sqlite3_busy_timeout(db, LINK_STORE_BUSY_MS);
    why = linkstore_prepare_file(db);
  }
  LinkStore *store = 0;
  if (!why) {
    store = push_struct(arena, LinkStore);
    store->db = db;
    store->path = str_push_copy(arena, path);
    store->keep_s = Max(max_age_s, LINK_STORE_KEEP_S);
    if (!linkstore_read(arena, store, max_age_s, now_s)) {
      why = sqlite3_errmsg(db);
      store = 0;
    }
  }
  if (why) {
    linkstore_say(path, why);
    sqlite3_close(db);
  }
  return store;
}

LinkStoreRow *
linkstore_find(LinkStore *store, StrView address) {
  if (!store || !store->slot_count) return 0;
  for (LinkStoreRow *row = store->slots[str_hash_djb2(address) % store->slot_count]; row; row = row->next) {
    if (str_equal(row->address, address)) return row;
  }
  return 0;
}

static bool
linkstore_write_rows(sqlite3 *db, LinkStoreRow *first, u64 oldest_s) {
  sqlite3_stmt *put = 0, *forget = 0, *drop = 0;
  bool ok = sqlite3_prepare_v2(db,
                               "INSERT OR REPLACE INTO links(address, verdict, status, permanent, final_url,"
                               " checked_s, trust) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7)",
                               -1, &put, 0) == SQLITE_OK &&
            sqlite3_prepare_v2(db, "DELETE FROM links WHERE address = ?1", -1, &forget, 0) == SQLITE_OK &&
            sqlite3_prepare_v2(db, "DELETE FROM links WHERE checked_s < ?1", -1, &drop, 0) == SQLITE_OK;
  for (LinkStoreRow *row = first; ok && row; row = row->next) {
    if (row->verdict != 0) {
      // Deleting a row that is not there writes nothing: failures asked again run after
      // run leave the file alone.
      sqlite3_bind_text(forget, 1, (const char *)row->address.data, (int)row->address.length, SQLITE_STATIC);
      ok = sqlite3_step(forget) == SQLITE_DONE;
      sqlite3_reset(forget);
      continue;
    }
    sqlite3_bind_text(put, 1, (const char *)row->address.data, (int)row->address.length, SQLITE_STATIC);
    sqlite3_bind_int64(put, 2, row->verdict);
    sqlite3_bind_int64(put, 3, row->status);
    sqlite3_bind_int64(put, 4, row->permanent);
    sqlite3_bind_text(put, 5, (const char *)row->final_url.data, (int)row->final_url.length, SQLITE_STATIC);
    sqlite3_bind_int64(put, 6, (s64)row->checked_s);
    sqlite3_bind_text(put, 7, (const char *)row->trust.data, (int)row->trust.length, SQLITE_STATIC);
    ok = sqlite3_step(put) == SQLITE_DONE;
    sqlite3_reset(put);
  }
  if (ok) {
    sqlite3_bind_int64(drop, 1, (s64)oldest_s);
    ok = sqlite3_step(drop) == SQLITE_DONE;
  }
  sqlite3_finalize(put);
  sqlite3_finalize(forget);
  sqlite3_finalize(drop);
  return ok;
}

bool
linkstore_write(LinkStore *store, LinkStoreRow *first, u64 now_s) {
  if (!store || store->failed) return false;
  if (!first) return true;
  sqlite3 *db = store->db;
  bool ok = sqlite3_exec(db, "BEGIN IMMEDIATE", 0, 0, 0) == SQLITE_OK;
  ok = ok && linkstore_write_rows(db, first, now_s > store->keep_s ? now_s - store->keep_s : 0);
  ok = ok && sqlite3_exec(db, "COMMIT", 0, 0, 0) == SQLITE_OK;
  if (!ok) {
    // Said before the rollback clears the reason.
    console_eprintf("qilsite: the link cache '%.*s' could not be written (%s): it keeps what it had\n",
                    str_expand(store->path), sqlite3_errmsg(db));
    sqlite3_exec(db, "ROLLBACK", 0, 0, 0);
    store->failed = true;
  }
  return ok;
}

void
linkstore_close(LinkStore *store) {
  if (!store || !store->db) return;
  sqlite3_close(store->db);
  store->db = 0;
}
