// Serve: the site root over HTTP on the loopback interface while a listen run rebuilds
// it. Pages are served as their files hold them, with a few lines of script added to
// each HTML page on its way out (never to the file) that reload it when a rebuild
// changed it; the news travels as server-sent events. libmicrohttpd is called from this
// module only.
#pragma once

#include "base/base_strings.h"

struct ServeServer;

//~ Starting and stopping

// Serves `root` (a folder) on 127.0.0.1:`port` (0: a free port). Null, with one line on
// standard error saying why, when the server cannot start.
ServeServer *serve_start(StrView root, u16 port);
// The port the server listens on.
u16 serve_port(ServeServer *server);
// Stops answering and ends every connection; the server is gone afterwards.
void serve_stop(ServeServer *server);

//~ Live reload

// The file at `path` (a page, as the build names it) changed: every page served from it
// reloads. Any thread.
void serve_file_changed(ServeServer *server, StrView path);

//~ Pieces, for tests

// The file a request path names below the root (`root_real`, a real path), or empty when
// it names none or leads out of the root: a ".." or "." segment, or a link to a file
// outside. A folder gives its "index.html"; `*is_folder_without_slash` is set when the
// path names a folder but does not end in "/", which is answered by a redirect.
StrView serve_resolve(Arena *arena, StrView root_real, StrView url_path, bool *is_folder_without_slash);
// The content type of a file by its extension.
StrView serve_content_type(StrView path);
// An HTML page with the reload script added before its last "</body>" (or at its end).
StrView serve_with_reload_script(Arena *arena, StrView page);
