// Output writing: serialize, then replace the file atomically.
#include "gen/gen_write.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/base_format.h"
#include "os/os_core.h"

bool
gen_write_file_safely(StrView path, StrView bytes) {
  ArenaTemp scratch = scratch_begin(0, 0);
  bool ok = true;
  //- only regular files are replaced: never a folder, a device or a pipe
  FileProperties props = os_path_properties(path);
  if (props.flags & (FilePropertyFlag_Folder | FilePropertyFlag_Special)) {
    console_eprintf("qilsite: cannot write '%.*s': not a regular file\n", str_expand(path));
    scratch_end(scratch);
    return false;
  }
  //- a file that already holds these bytes is left alone (no new time for the scanner)
  if (props.modified && props.size == bytes.length) {
    StrView old = os_read_file(scratch.arena, path);
    if (old.length == bytes.length && (bytes.length == 0 || memcmp(old.data, bytes.data, bytes.length) == 0)) {
      scratch_end(scratch);
      return true;
    }
  }
  //- a link is followed, so the file it names is replaced and the link stays
  StrView target = str_push_copy(scratch.arena, path);
  if (char *real = realpath((const char *)target.data, 0)) {
    target = str_push_copy(scratch.arena, str_from_cstr(real));
    free(real);
  }
  //- write a temporary file beside it, then rename it over the old one
  StrView tmp = str_pushf(scratch.arena, "%S.qilsite-tmp-%d", &target, (int)getpid());
  if (!os_write_file(tmp, bytes)) {
    console_eprintf("qilsite: cannot write '%.*s': %s\n", str_expand(path), os_last_error());
    unlink((const char *)tmp.data);
    ok = false;
  } else {
    // The new file keeps the old one's permissions.
    struct stat st;
    if (stat((const char *)target.data, &st) == 0) chmod((const char *)tmp.data, st.st_mode & 07777);
    if (rename((const char *)tmp.data, (const char *)target.data) != 0) {
      console_eprintf("qilsite: cannot replace '%.*s': %s\n", str_expand(path), strerror(errno));
      unlink((const char *)tmp.data);
      ok = false;
    }
  }
  scratch_end(scratch);
  return ok;
}

bool
write_html_file(Arena *arena, HtmlNode *root, StrView path) {
  ArenaTemp scratch = scratch_begin(&arena, 1);
  StrList pieces = {};
  html_write(scratch.arena, &pieces, root);
  StrView text = str_list_join(scratch.arena, &pieces, 0);
  bool ok = gen_write_file_safely(path, text);
  scratch_end(scratch);
  return ok;
}
