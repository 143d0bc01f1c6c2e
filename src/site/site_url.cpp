// The URL model: scheme, host, port and path split in one pass, and address comparison.
#include "site/site_url.h"

UrlParts
url_parse(StrView text) {
  UrlParts u = {};
  //- one trailing slash is dropped
  if (text.length && char_is_slash(text.data[text.length - 1])) text = str_chop(text, 1);

  //- scheme, up to and including "://"
  u64 host_start = 0;
  u64 sep = str_find(text, 0, str_lit("://"), 0);
  if (sep < text.length) {
    u.scheme = str_prefix(text, sep + 3);
    host_start = sep + 3;
  }

  //- host, port and path
  u64 colon = str_find(text, host_start, str_lit(":"), 0);
  u64 slash = str_find(text, host_start, str_lit("/"), 0);
  if (slash == text.length) {
    u.host = str_substr(text, host_start, text.length);
    if (colon < text.length) u.port = str_substr(text, colon + 1, text.length);
  } else {
    u.host = str_substr(text, host_start, Min(colon, slash));
    u.path = str_substr(text, slash, text.length);
    // The port ends where the path starts, so it holds only its digits.
    if (colon < slash) u.port = str_substr(text, colon + 1, slash);
  }
  return u;
}

// Cuts at the first "www." anywhere in the host, not only at its start: addresses are
// compared as the site's links have always been.
static StrView
url_strip_www(StrView host) {
  u64 at = str_find(host, 0, str_lit("www."), 0);
  return at < host.length ? str_skip(host, at + 4) : host;
}

bool
url_same(UrlParts *a, UrlParts *b) {
  a->host = url_strip_www(a->host);
  b->host = url_strip_www(b->host);
  return str_equal(a->port, b->port) && str_equal(a->host, b->host) && str_equal(a->scheme, b->scheme) &&
         str_equal(a->path, b->path);
}

bool
url_is_web_address(UrlParts parts) {
  return parts.scheme.length && parts.host.length && str_find(parts.host, 0, str_lit("."), 0) < parts.host.length;
}
