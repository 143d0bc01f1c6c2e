// Links split into port, host, scheme and path (views into the text).
#pragma once

#include "base/base_strings.h"

struct UrlParts {
  StrView port;
  StrView host;
  StrView scheme;
  StrView path;
};

UrlParts url_parse(StrView text);
// Compares two addresses; each host is first cut after its first "www." (wherever it
// stands, by design), and the parts are changed in place.
bool url_same(UrlParts *a, UrlParts *b);
bool url_is_web_address(UrlParts parts);
