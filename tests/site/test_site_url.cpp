#include "test_support.h"

#include "site/site_url.h"

static std::string
flat(StrView text) {
  UrlParts u = url_parse(text);
  return "scheme=" + ss(u.scheme) + " host=" + ss(u.host) + " port=" + ss(u.port) + " path=" + ss(u.path);
}

TEST(Url, ParseTable) {
  struct Row {
    const char *text;
    const char *expect;
  } rows[] = {
      {"https://example.com/a/b?q=1#f", "scheme=https:// host=example.com port= path=/a/b?q=1#f"},
      {"https://example.com/", "scheme=https:// host=example.com port= path="},
      {"https://example.com", "scheme=https:// host=example.com port= path="},
      {"http://example.com:8080/x", "scheme=http:// host=example.com port=8080 path=/x"},
      {"http://example.com:8080", "scheme=http:// host=example.com:8080 port=8080 path="},
      {"example.com/page", "scheme= host=example.com port= path=/page"},
      {"page.html", "scheme= host=page.html port= path="},
      {"C:/site/x.html", "scheme= host=C port= path=/site/x.html"},
      {"https://a.com/x:y", "scheme=https:// host=a.com port= path=/x:y"},
      {"dir\\", "scheme= host=dir port= path="},
      {"https://user:pw@a.com:81/x", "scheme=https:// host=a.com port=81 path=/x"},
      {"https://[::1]:8443/x", "scheme=https:// host=[::1] port=8443 path=/x"},
      {"https://[::1]", "scheme=https:// host=[::1] port= path="},
      {"https://a.com?q=a/b", "scheme=https:// host=a.com port= path=?q=a/b"},
      {"", "scheme= host= port= path="},
  };
  for (const Row &r : rows) EXPECT_EQ(flat(str_from_cstr(r.text)), r.expect) << r.text;
}

TEST(Url, SameAndWebAddress) {
  struct Row {
    const char *a, *b;
    bool same;
  } rows[] = {
      {"https://www.example.com/a", "https://example.com/a", true},
      {"https://example.com/a/", "https://example.com/a", true},
      {"https://Example.com/a", "https://example.com/a", false},
      {"http://example.com/a", "https://example.com/a", false},
      {"https://example.com/a", "https://example.com/b", false},
      {"https://example.com:81/a", "https://example.com/a", false},
  };
  for (const Row &r : rows) {
    UrlParts a = url_parse(str_from_cstr(r.a)), b = url_parse(str_from_cstr(r.b));
    EXPECT_EQ(url_same(&a, &b), r.same) << r.a << " vs " << r.b;
  }
  EXPECT_TRUE(url_is_web_address(url_parse(str_lit("https://example.com"))));
  EXPECT_FALSE(url_is_web_address(url_parse(str_lit("http://localhost/x"))));
  EXPECT_FALSE(url_is_web_address(url_parse(str_lit("example.com/x"))));
  EXPECT_FALSE(url_is_web_address(url_parse(str_lit("https:///x"))));
  EXPECT_TRUE(url_is_web_address(url_parse(str_lit("https://[::1]:8443/x"))));
  EXPECT_TRUE(url_is_web_address(url_parse(str_lit("https://user:pw@example.com/x"))));
}
