// Deterministic generators of whole sites for the process-level benchmarks: qil documents
// (every construct, about 4 KB), the same documents as Markdown, and hand-written pages.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <algorithm>

#include <string>

namespace site_gen {

struct Lcg {
  uint64_t state;
  uint64_t next() {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return state >> 33;
  }
};

inline const char *const vocabulary[] = {
    "site",   "build",  "page",    "quick",  "parser", "arena",  "thread", "memory", "cache",  "link",
    "table",  "column", "heading", "simple", "static", "server", "engine", "token",  "stream", "layout",
    "render", "output", "source",  "folder", "index",  "check",  "update", "number", "string", "style",
};
inline const size_t vocabulary_count = sizeof vocabulary / sizeof vocabulary[0];

inline std::string
words(Lcg &r, int n) {
  std::string s;
  for (int i = 0; i < n; i += 1) {
    if (i) s += " ";
    s += vocabulary[r.next() % vocabulary_count];
  }
  return s;
}

// The title every document carries; the listen benchmark edits it.
inline std::string
doc_title(uint64_t n) {
  return "Doc " + std::to_string(n);
}

// A qil document whose page is website/qil/doc<n>.html under the site root.
inline std::string
qil_document(uint64_t n, size_t target) {
  Lcg r = {n + 1};
  std::string d = "``\n  title: " + doc_title(n) + " " + words(r, 3) + "\n  author: " + words(r, 2) +
                  "\n  creation_date: 2024-03-17\n  category: " + words(r, 1) + "\n  output_path: \"~/website/qil/doc" +
                  std::to_string(n) + ".html\"\n``\n";
  for (int section = 0; d.size() < target; section += 1) {
    d += words(r, 3) + "\n";
    d += "  " + words(r, 6) + " _" + words(r, 1) + "_ and __" + words(r, 1) + "__ with `" + words(r, 2) +
         "` and a link \"https://example.com/" + words(r, 1) + "\"(" + words(r, 2) + ") and an image _\"~/img/" +
         words(r, 1) + ".png\"(left, 50) [x] " + words(r, 5) + "[*1], " + words(r, 8) + "\n";
    d += "  . " + words(r, 5) + "\n  . " + words(r, 4) + "\n    1. " + words(r, 3) + "\n    2. " + words(r, 3) + "\n";
    d += "  > " + words(r, 9) + "\n";
    {
      // Each bar stands under the bar of its column, as an author writes a table.
      std::string c[4] = {words(r, 1), words(r, 1), words(r, 2), words(r, 2)};
      size_t w0 = std::max(c[0].size(), c[2].size()) + 2, w1 = std::max(c[1].size(), c[3].size()) + 2;
      auto cell = [](const std::string &t, size_t w) { return " " + t + std::string(w - 1 - t.size(), ' '); };
      d += "  |" + std::string(w0, '-') + "|" + std::string(w1, '-') + "\n";
      d += "  |" + cell(c[0], w0) + "|" + cell(c[1], w1) + "\n  |" + cell(c[2], w0) + "|" + cell(c[3], w1) + "\n";
    }
    d += "  ```c\n  int main(void) { return " + std::to_string(section) + "; }\n  ```\n";
    d += "  ~{<span>" + words(r, 2) + "</span>}~\n";
    d += "    " + words(r, 2) + "\n      " + words(r, 12) + " \"./local/" + words(r, 1) + ".html\"\n";
  }
  d += "[*1] " + words(r, 6) + "\n";
  return d;
}

// The same document in Markdown (same seed, same shape and size).
inline std::string
markdown_document(uint64_t n, size_t target) {
  Lcg r = {n + 1};
  std::string d = "---\ntitle: \"" + doc_title(n) + " " + words(r, 3) + "\"\nauthor: \"" + words(r, 2) +
                  "\"\ndate: 2024-03-17\ncategory: " + words(r, 1) + "\n---\n\n";
  for (int section = 0; d.size() < target; section += 1) {
    d += "# " + words(r, 3) + "\n\n";
    d += words(r, 6) + " **" + words(r, 1) + "** and *" + words(r, 1) + "* with `" + words(r, 2) +
         "` and a link [" + words(r, 2) + "](https://example.com/" + words(r, 1) + ") and an image ![left](/img/" +
         words(r, 1) + ".png) [x] " + words(r, 5) + "[^1], " + words(r, 8) + "\n\n";
    d += "- " + words(r, 5) + "\n- " + words(r, 4) + "\n  1. " + words(r, 3) + "\n  2. " + words(r, 3) + "\n\n";
    d += "> " + words(r, 9) + "\n\n";
    d += "| " + words(r, 1) + " | " + words(r, 1) + " |\n|---|---|\n| " + words(r, 2) + " | " + words(r, 2) +
         " |\n\n";
    d += "```c\nint main(void) { return " + std::to_string(section) + "; }\n```\n\n";
    d += "<span>" + words(r, 2) + "</span>\n\n";
    d += "## " + words(r, 2) + "\n\n" + words(r, 12) + " [local](./local/" + words(r, 1) + ".html)\n\n";
  }
  d += "[^1]: " + words(r, 6) + "\n";
  return d;
}

//~ Hand-written pages

// Head of a page: metadata, a style sheet and a script.
inline std::string
html_head(Lcg &r, uint64_t n) {
  std::string d = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
                  "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
                  "<title>Page " +
                  std::to_string(n) + " &amp; " + words(r, 2) +
                  "</title>\n"
                  "<link rel=\"stylesheet\" href=\"../shared/css/site.css\">\n"
                  "<style>\nbody { margin: 0 auto; max-width: 60em; font-family: sans-serif; }\n"
                  "table.data td, table.data th { border: 1px solid #ccc; padding: 0.2em 0.5em; }\n"
                  ".note > p { color: #555; }\n</style>\n"
                  "<script>\nfunction toggle(id) { var e = document.getElementById(id); if (e && e.hidden !== "
                  "undefined) { e.hidden = !e.hidden; } }\n</script>\n</head>\n";
  return d;
}

// An aside of text that brings the page to about target bytes (the footer follows).
inline void
pad_aside(Lcg &r, std::string &d, size_t target, bool close_p) {
  d += "<aside class=\"note\">\n  <p>";
  while (d.size() + 330 < target) d += words(r, 1) + (r.next() % 9 ? " " : " &amp; ");
  d += close_p ? "</p>\n</aside>\n" : "\n</aside>\n";
}

// A clean page: every element closed, no comments; qilsite parses it without error.
inline std::string
html_clean_page(uint64_t n, size_t target) {
  Lcg r = {n * 7919 + 3};
  std::string d = html_head(r, n);
  d += "<body>\n<header class=\"top\">\n  <nav>\n    <ul>\n";
  for (int i = 0; i < 4; i += 1) {
    d += "      <li><a href=\"page" + std::to_string((n + i) % 1000) + ".html\">" + words(r, 1) + "</a></li>\n";
  }
  d += "    </ul>\n  </nav>\n</header>\n<main>\n";
  for (int s = 0; d.size() + 1700 < target; s += 1) {
    std::string id = "s" + std::to_string(s);
    d += "<section id=\"" + id + "\">\n  <h2>" + words(r, 3) + "</h2>\n";
    d += "  <div class=\"row\">\n    <div class=\"col\">\n      <p>" + words(r, 8) + " <em>" + words(r, 1) +
         "</em> &lt;" + words(r, 1) + "&gt; &copy; 2024 &mdash; <strong>" + words(r, 2) + "</strong> &#8212; " +
         words(r, 5) + "&nbsp;<a href=\"https://example.com/" + words(r, 1) + "\">" + words(r, 2) + "</a>.</p>\n";
    d += "      <ol>\n        <li>" + words(r, 3) + "</li>\n        <li>" + words(r, 4) +
         "\n          <ul>\n            <li>" + words(r, 2) + "</li>\n            <li>" + words(r, 2) +
         "</li>\n          </ul>\n        </li>\n      </ol>\n    </div>\n";
    d += "    <div class=\"col note\">\n      <p>" + words(r, 10) + "</p>\n      <button type=\"button\" class=\"toggle\" value=\"" + id +
         "\">" + words(r, 1) + "</button>\n    </div>\n  </div>\n";
    switch (s % 3) {
      case 0:
        d += "  <table class=\"data\">\n    <thead>\n      <tr><th>" + words(r, 1) + "</th><th>" + words(r, 1) +
             "</th><th>" + words(r, 1) + "</th></tr>\n    </thead>\n    <tbody>\n";
        for (int row = 0; row < 3; row += 1) {
          d += "      <tr><td>" + words(r, 1) + "</td><td>" + std::to_string(r.next() % 1000) + "</td><td>" +
               words(r, 2) + " &amp; " + words(r, 1) + "</td></tr>\n";
        }
        d += "    </tbody>\n  </table>\n";
        break;
      case 1:
        d += "  <form action=\"/send\">\n    <fieldset>\n      <legend>" + words(r, 2) +
             "</legend>\n      <label for=\"n" + id + "\">" + words(r, 1) + "</label>\n      <input id=\"n" + id +
             "\" name=\"name\" type=\"text\" required placeholder=\"" + words(r, 2) +
             "\">\n      <input type=\"checkbox\" name=\"ok\" checked>\n      <select name=\"topic\"><option "
             "value=\"a\">" +
             words(r, 1) + "</option><option value=\"b\">" + words(r, 1) +
             "</option></select>\n      <textarea name=\"msg\" rows=\"4\">" + words(r, 6) +
             "</textarea>\n      <button type=\"submit\">" + words(r, 1) + "</button>\n    </fieldset>\n  </form>\n";
        break;
      default:
        d += "  <figure>\n    <img src=\"../shared/img/" + words(r, 1) + ".png\" alt=\"" + words(r, 2) +
             "\" width=\"320\" height=\"200\">\n    <figcaption>" + words(r, 4) +
             "</figcaption>\n  </figure>\n  <pre><code>int main(void) { return " + std::to_string(s) +
             " &lt; 3; }</code></pre>\n";
        break;
    }
    d += "</section>\n";
  }
  pad_aside(r, d, target, true);
  d += "</main>\n<footer>\n  <p>&copy; 2024 " + words(r, 2) + " &middot; <a href=\"#s0\">top</a></p>\n</footer>\n";
  d += "<script>\ndocument.querySelectorAll('button.toggle').forEach(function (b) { b.addEventListener('click', "
       "function () { toggle(b.value); }); });\n</script>\n";
  d += "</body>\n</html>\n";
  return d;
}

// A page as people write them by hand: comments and omitted end tags (p, li, td, tr).
inline std::string
html_loose_page(uint64_t n, size_t target) {
  Lcg r = {n * 7919 + 5};
  std::string d = html_head(r, n);
  d += "<body>\n<!-- navigation, kept short -->\n<header class=\"top\">\n  <nav>\n    <ul>\n";
  for (int i = 0; i < 4; i += 1) {
    d += "      <li><a href=\"page" + std::to_string((n + i) % 1000) + ".html\">" + words(r, 1) + "</a>\n";
  }
  d += "    </ul>\n  </nav>\n</header>\n<main>\n";
  for (int s = 0; d.size() + 1700 < target; s += 1) {
    std::string id = "s" + std::to_string(s);
    d += "<!-- section " + std::to_string(s) + ": " + words(r, 3) + " -->\n";
    d += "<section id=\"" + id + "\">\n  <h2>" + words(r, 3) + "</h2>\n";
    d += "  <div class=\"row\">\n    <div class=\"col\">\n      <p>" + words(r, 8) + " <em>" + words(r, 1) +
         "</em> &lt;" + words(r, 1) + "&gt; &copy; 2024 &mdash; <strong>" + words(r, 2) + "</strong> &#8212; " +
         words(r, 5) + "&nbsp;<a href=\"https://example.com/" + words(r, 1) + "\">" + words(r, 2) + "</a>.\n";
    d += "      <p>" + words(r, 6) + "\n";
    d += "      <ol>\n        <li>" + words(r, 3) + "\n        <li>" + words(r, 4) +
         "\n          <ul>\n            <li>" + words(r, 2) + "\n            <li>" + words(r, 2) +
         "\n          </ul>\n      </ol>\n    </div>\n";
    d += "    <div class=\"col note\">\n      <p>" + words(r, 10) + "\n      <button type=\"button\" class=\"toggle\" value=\"" + id +
         "\">" + words(r, 1) + "</button>\n    </div>\n  </div>\n";
    switch (s % 3) {
      case 0:
        d += "  <table class=\"data\">\n    <thead>\n      <tr><th>" + words(r, 1) + "<th>" + words(r, 1) + "<th>" +
             words(r, 1) + "\n    <tbody>\n";
        for (int row = 0; row < 3; row += 1) {
          d += "      <tr><td>" + words(r, 1) + "<td>" + std::to_string(r.next() % 1000) + "<td>" + words(r, 2) +
               " &amp; " + words(r, 1) + "\n";
        }
        d += "  </table>\n";
        break;
      case 1:
        d += "  <form action=\"/send\">\n    <fieldset>\n      <legend>" + words(r, 2) +
             "</legend>\n      <label for=\"n" + id + "\">" + words(r, 1) + "</label>\n      <input id=\"n" + id +
             "\" name=\"name\" type=\"text\" required placeholder=\"" + words(r, 2) +
             "\">\n      <input type=\"checkbox\" name=\"ok\" checked>\n      <select name=\"topic\"><option "
             "value=\"a\">" +
             words(r, 1) + "<option value=\"b\">" + words(r, 1) +
             "</select>\n      <textarea name=\"msg\" rows=\"4\">" + words(r, 6) +
             "</textarea>\n      <button type=\"submit\">" + words(r, 1) + "</button>\n    </fieldset>\n  </form>\n";
        break;
      default:
        d += "  <figure>\n    <img src=\"../shared/img/" + words(r, 1) + ".png\" alt=\"" + words(r, 2) +
             "\" width=\"320\" height=\"200\">\n    <figcaption>" + words(r, 4) +
             "</figcaption>\n  </figure>\n  <pre><code>int main(void) { return " + std::to_string(s) +
             " &lt; 3; }</code></pre>\n";
        break;
    }
    d += "</section>\n";
  }
  pad_aside(r, d, target, false);
  d += "</main>\n<!-- footer -->\n<footer>\n  <p>&copy; 2024 " + words(r, 2) +
       " &middot; <a href=\"#s0\">top</a>\n</footer>\n";
  d += "<script>\ndocument.querySelectorAll('button.toggle').forEach(function (b) { b.addEventListener('click', "
       "function () { toggle(b.value); }); });\n</script>\n";
  d += "</body>\n</html>\n";
  return d;
}

}  // namespace site_gen
