// serve: a listen run whose site root is also served over HTTP, each page reloading
// itself in the browser when a rebuild changed it. The server lives in src/serve/;
// this file starts it once the first build is done and tells it what each round wrote.
#include "base/base_format.h"
#include "driver/driver_build.h"
#include "os/os_core.h"
#include "serve/serve.h"

#define DRIVER_SERVE_PORT 8000

static void
driver_serve_output_changed(Site *site, StrView path) {
  serve_file_changed(site->server, path);
}

// The port of the "port" option; the default when it is missing, and when it is not a
// port number (said once).
u16
driver_serve_port(StrView text) {
  if (!text.length) return DRIVER_SERVE_PORT;
  bool digits = text.length <= 5;
  for (u64 i = 0; i < text.length; i += 1) digits = digits && text.data[i] >= '0' && text.data[i] <= '9';
  u64 port = digits ? str_to_u64(text, 10) : 65536;
  if (port > 65535) {
    console_eprintf("qilsite: port '%.*s' is not a port number: %d is used\n", str_expand(text), DRIVER_SERVE_PORT);
    return DRIVER_SERVE_PORT;
  }
  return (u16)port;
}

bool
driver_serve_begin(Site *site) {
  if (site->server) return true;
  ServeServer *server = serve_start(site->settings.root, site->settings.port);
  if (!server) return false;
  site->server = server;
  site->on_output = driver_serve_output_changed;
  //- where to look: the index page when the site has one, else the root
  ArenaTemp scratch = scratch_begin(&site->arena, 1);
  StrView page = str_lit("");
  if (os_path_exists(site->files.index_path)) page = str_lit("website/index.html");
  console_printf("serving '%.*s' at http://127.0.0.1:%u/%.*s (Ctrl-C stops)\n", str_expand(site->settings.root),
                 (unsigned)serve_port(server), str_expand(page));
  console_flush();
  scratch_end(scratch);
  return true;
}

void
driver_serve_end(Site *site) {
  if (!site->server) return;
  site->on_output = 0;
  serve_stop(site->server);
  site->server = 0;
}

StrList
driver_serve_shorthand(Arena *arena, StrList args) {
  if (args.node_count < 2 || !str_equal(args.first->string, str_lit("serve"))) return args;
  StrView folder = args.first->next->string;
  bool option = folder.length == 0 || folder.data[0] == '-' || str_find(folder, 0, str_lit("="), 0) < folder.length;
  if (option || !(os_path_properties(folder).flags & FilePropertyFlag_Folder)) return args;
  //- the folder's site: its sources in src/ (the folder itself when it has none)
  while (folder.length > 1 && folder.data[folder.length - 1] == '/') folder.length -= 1;
  StrView src = str_pushf(arena, "%S/src", &folder);
  if (!(os_path_properties(src).flags & FilePropertyFlag_Folder)) src = folder;
  // The words after the folder come first: the first occurrence of a key counts.
  StrList out = {};
  for (StrNode *n = args.first->next->next; n; n = n->next) str_list_push(arena, &out, n->string);
  str_list_pushf(arena, &out, "target_path=%S", &src);
  str_list_pushf(arena, &out, "root_path=%S", &folder);
  str_list_pushf(arena, &out, "local_path=%S", &folder);
  str_list_push(arena, &out, str_lit("serve"));
  return out;
}
