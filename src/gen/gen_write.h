// Writing pages to their files.
#pragma once

#include "html/html_core.h"

// Serializes the tree and writes it to `path` safely: a temporary file in the same
// folder is renamed over the old one, so a failure leaves the old page whole.
// A failure is reported on standard error with the path and the system's reason.
bool write_html_file(Arena *arena, HtmlNode *root, StrView path);
// The same for text already serialized; unchanged files are not touched.
bool gen_write_file_safely(StrView path, StrView bytes);
