// init: a small working site written into an empty or new folder, for a new user to
// build, serve and change. Every file goes through the writer, which never replaces a
// file: a folder that holds anything is refused before a byte is written.
#include "base/base_format.h"
#include "driver/driver_build.h"
#include "emit/emit.h"
#include "os/os_core.h"

//~ The starter site

struct DriverInitFile {
  const char *path;  // below the new site's folder
  const char *text;
};

static const DriverInitFile driver_init_files[] = {
    {"shared/html/default_head.html",
     "<!DOCTYPE html>\n"
     "<!-- Every page takes this head. Addresses starting with ~ are the site root's;\n"
     "     each page gets them relative to itself. -->\n"
     "<html lang=\"en\">\n"
     "<head>\n"
     "<meta charset=\"utf-8\">\n"
     "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
     "<link rel=\"stylesheet\" href=\"~/shared/css/site.css\">\n"
     "</head>\n"
     "<body>\n"
     "</body>\n"
     "</html>\n"},
    {"shared/css/site.css",
     "/* The site's own look, on top of the sheets qilsite writes beside it (shared/css/qil/).\n"
     "   Pages reset every element first, so each rule says everything it needs. */\n"
     "body {\n"
     "  display: block;\n"
     "  margin: 0;\n"
     "  color: #2b2a28;\n"
     "  line-height: 1.5;\n"
     "}\n"
     "h1 {\n"
     "  display: block;\n"
     "  font-size: 2rem;\n"
     "  font-weight: 600;\n"
     "  margin: 1.5rem 0 0.5rem;\n"
     "}\n"
     "#index {\n"
     "  display: block;\n"
     "  max-width: 40rem;\n"
     "  margin: 0 auto;\n"
     "  padding: 1rem;\n"
     "}\n"
     "#index p {\n"
     "  display: block;\n"
     "  margin: 0.5rem 0;\n"
     "}\n"
     "a {\n"
     "  color: #2d5f8b;\n"
     "  text-decoration: underline;\n"
     "  cursor: pointer;\n"
     "}\n"},
    {"website/index.html",
     "<!DOCTYPE html>\n"
     "<html lang=\"en\">\n"
     "<head>\n"
     "<meta charset=\"utf-8\">\n"
     "<title>My site</title>\n"
     "</head>\n"
     "<body>\n"
     "<div id=\"index\">\n"
     "<h1>My site</h1>\n"
     "<p>This page is yours: qilsite keeps what you write here, gives it the shared head and\n"
     "refills the list below on every build.</p>\n"
     "<p>A list with the id <code>zo-l-NAME</code> lists the published pages of the folders named\n"
     "NAME; this one lists the pages written to <code>website/posts/</code>.</p>\n"
     "<ul id=\"zo-l-posts\">\n"
     "<li>filled by qilsite</li>\n"
     "</ul>\n"
     "</div>\n"
     "</body>\n"
     "</html>\n"},
    {"src/posts/first-post.qil",
     "``\n"
     "  title: My first post\n"
     "  author: Me\n"
     "  creation_date: 2026-01-01\n"
     "  summary: What a qil document is made of.\n"
     "  output_path: \"~/website/posts/first-post.html\"\n"
     "  status: published\n"
     "``\n"
     "// The block above is the metadata; this line is a comment and shows nowhere on the page.\n"
     "// The raw view (raw_first-post.html) shows this whole file, comments included.\n"
     "\n"
     "Hello\n"
     "  A line at the start is a heading; the lines indented by two spaces below it are its text.\n"
     "  Words can be _strong_ or __emphasised__, and `inline code` keeps its marks.\n"
     "  Change this line and save: the served page shows the change by itself.\n"
     "\n"
     "A list and a link\n"
     "  . a bullet item\n"
     "  . another one\n"
     "  Links are quoted: \"https://example.com\"(a web page) or \"~/website/index.html\"(the index).\n"
     "\n"
     "Code\n"
     "  ```\n"
     "  qilsite serve .\n"
     "  ```\n"},
    {"src/posts/draft.qil",
     "``\n"
     "  title: Not ready yet\n"
     "  output_path: \"~/website/posts/draft.html\"\n"
     "  status: draft\n"
     "``\n"
     "\n"
     "A draft\n"
     "  A document whose status is draft gets no page and is not listed.\n"
     "  Write published instead of draft to publish it.\n"},
    {"kn_searchs.txt",
     "source_finders: {\n"
     "  urls: [\"www.example.com\"]\n"
     "  data_markers: {\n"
     "    types: [\"Title\"]\n"
     "    searchers: {\n"
     "      start: [\"<title>\"]\n"
     "      end: [\"</title>\"]\n"
     "    }\n"
     "  }\n"
     "}\n"
     "\n"
     "# Everything from the first # on is a note: the file's rules end there.\n"
     "#\n"
     "# With check_urls, every web link of the site is fetched once. A link whose address a\n"
     "# finder above names (a whole address, or a host name for all its pages) gets preview\n"
     "# texts cut out of the fetched page and written after it: for each data marker, the\n"
     "# text between a start marker and an end marker, the first searcher that finds one.\n"
     "# Add a finder per site you link to often; delete this file if you want no previews.\n"},
};

//~ The command

// Whether the folder holds anything; false with `*error` set when it cannot be read.
static bool
driver_init_folder_empty(Arena *arena, StrView folder, bool *error) {
  DirIterator it = os_dir_begin(arena, folder);
  if (!it.dir) {
    *error = true;
    return false;
  }
  DirEntry entry = {};
  bool empty = !os_dir_next(arena, &it, &entry);
  os_dir_end(&it);
  return empty;
}

int
driver_init(StrView folder) {
  ArenaTemp scratch = scratch_begin(0, 0);
  Arena *a = scratch.arena;
  int status = 0;
  FileProperties props = os_path_properties(folder);
  bool exists = os_path_exists(folder);
  bool error = false;
  if (!folder.length) {
    console_eprintf("qilsite: init needs a folder: qilsite init DIR\n");
    status = 2;
  } else if (exists && !(props.flags & FilePropertyFlag_Folder)) {
    console_eprintf("qilsite: init: '%.*s' is not a folder; nothing was written\n", str_expand(folder));
    status = 1;
  } else if (exists && !driver_init_folder_empty(a, folder, &error)) {
    if (error) {
      console_eprintf("qilsite: init: cannot read '%.*s': %s; nothing was written\n", str_expand(folder),
                      os_last_error());
    } else {
      console_eprintf("qilsite: init: '%.*s' is not empty; nothing was written (init writes only into an "
                      "empty or new folder)\n",
                      str_expand(folder));
    }
    status = 1;
  }
  if (status) {
    scratch_end(scratch);
    return status;
  }
  //- the files, each made only where no file is
  StrView base = folder;
  while (base.length > 1 && base.data[base.length - 1] == '/') base.length -= 1;
  u64 written = 0;
  for (const DriverInitFile &f : driver_init_files) {
    StrView path = str_pushf(a, "%S/%s", &base, f.path);
    if (emit_create_file(path, str_from_cstr(f.text)) == WriteStatus_Written) written += 1;
    else status = 1;
  }
  if (status) {
    console_eprintf("qilsite: init: %llu of %llu files written to '%.*s'\n", (unsigned long long)written,
                    (unsigned long long)ArrayCount(driver_init_files), str_expand(base));
    scratch_end(scratch);
    return status;
  }
  console_printf("qilsite: a new site in '%.*s':\n"
                 "  src/posts/first-post.qil   a document (src/posts/draft.qil is a draft)\n"
                 "  website/index.html         the index page, yours to write; it lists the pages\n"
                 "  shared/                    the head and style sheet every page takes\n"
                 "\n"
                 "Build it once:\n"
                 "  qilsite target_path=%.*s/src root_path=%.*s local_path=%.*s\n"
                 "Serve it on http://127.0.0.1:8000/website/index.html, rebuilding and reloading on every edit:\n"
                 "  qilsite serve %.*s\n"
                 "The language: docs/qil.md in qilsite's sources.\n",
                 str_expand(base), str_expand(base), str_expand(base), str_expand(base), str_expand(base));
  scratch_end(scratch);
  return 0;
}
