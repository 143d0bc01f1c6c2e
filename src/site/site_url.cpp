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
  if (u.scheme.length) {
    // Credentials and bracketed IPv6 hosts only mean something after a scheme; there the
    // host also ends where a query or a fragment starts, as browsers read it.
    u64 end = slash;
    for (u64 i = host_start; i < end; i += 1) {
      if (text.data[i] == '?' || text.data[i] == '#') end = i;
    }
    u64 at = host_start;
    for (u64 i = host_start; i < end; i += 1) {
      if (text.data[i] == '@') at = i + 1;
    }
    bool bracket = at < end && text.data[at] == '[';
    if (at != host_start || bracket || end != slash) {
      u64 host_end = end;
      if (bracket) {
        u64 close = str_find(text, at, str_lit("]"), 0);
        host_end = close < end ? close + 1 : end;
      } else {
        host_end = Min(str_find(text, at, str_lit(":"), 0), end);
      }
      u.host = str_substr(text, at, host_end);
      if (host_end < end && text.data[host_end] == ':') u.port = str_substr(text, host_end + 1, end);
      u.path = str_substr(text, end, text.length);
      return u;
    }
  }
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
  if (!parts.scheme.length || !parts.host.length) return false;
  // An IPv6 literal has no dot, and is an address all the same.
  if (parts.host.data[0] == '[') return parts.host.length > 2 && parts.host.data[parts.host.length - 1] == ']';
  return str_find(parts.host, 0, str_lit("."), 0) < parts.host.length;
}
