// Redirect targets: the Location of an answer, resolved against the URL
// asked for or refused, and as a failure line shows it.
#include "exchange/location.h"

#include <gtest/gtest.h>

#include "services/shown.h"

#include <string>

// RFC 3986 section 5.4's examples against http://a/b/c/d;p?q, absolute
// Locations, and every refusal: the URL reached or the words of the refusal.
TEST(Location, ResolvedOrRefused) {
  const WebAddress plain = {false, "a", 80, "/b/c/d;p?q"};
  const WebAddress secure = {true, "a", 443, "/b/c/d;p?q"};
  const struct {
    const WebAddress& base;
    std::string reference;
    std::string reached;  // empty: refused
    std::string why;
  } rows[] = {
      {plain, "g", "http://a/b/c/g", ""},            {plain, "./g", "http://a/b/c/g", ""},
      {plain, "g/", "http://a/b/c/g/", ""},          {plain, "/g", "http://a/g", ""},
      {plain, "//g", "http://g/", ""},               {plain, "?y", "http://a/b/c/d;p?y", ""},
      {plain, "g?y", "http://a/b/c/g?y", ""},        {plain, "#s", "http://a/b/c/d;p?q", ""},
      {plain, "g#s", "http://a/b/c/g", ""},          {plain, "g?y#s", "http://a/b/c/g?y", ""},
      {plain, ";x", "http://a/b/c/;x", ""},          {plain, "g;x", "http://a/b/c/g;x", ""},
      {plain, "g;x?y#s", "http://a/b/c/g;x?y", ""},  {plain, ".", "http://a/b/c/", ""},
      {plain, "./", "http://a/b/c/", ""},            {plain, "..", "http://a/b/", ""},
      {plain, "../", "http://a/b/", ""},             {plain, "../g", "http://a/b/g", ""},
      {plain, "../..", "http://a/", ""},             {plain, "../../", "http://a/", ""},
      {plain, "../../g", "http://a/g", ""},          {plain, "../../../g", "http://a/g", ""},
      {plain, "../../../../g", "http://a/g", ""},    {plain, "/./g", "http://a/g", ""},
      {plain, "/../g", "http://a/g", ""},            {plain, "g.", "http://a/b/c/g.", ""},
      {plain, ".g", "http://a/b/c/.g", ""},          {plain, "g..", "http://a/b/c/g..", ""},
      {plain, "..g", "http://a/b/c/..g", ""},        {plain, "./../g", "http://a/b/g", ""},
      {plain, "./g/.", "http://a/b/c/g/", ""},       {plain, "g/./h", "http://a/b/c/g/h", ""},
      {plain, "g/../h", "http://a/b/c/h", ""},       {plain, "g;x=1/./y", "http://a/b/c/g;x=1/y", ""},
      {plain, "g;x=1/../y", "http://a/b/c/y", ""},   {plain, "g?y/./x", "http://a/b/c/g?y/./x", ""},
      {plain, "g?y/../x", "http://a/b/c/g?y/../x", ""}, {plain, "g#s/./x", "http://a/b/c/g", ""},
      {plain, "g#s/../x", "http://a/b/c/g", ""},
      {plain, "HTTPS://Files.Example:8443/x/../y?z#f", "https://files.example:8443/y?z", ""},
      {plain, "http://[::1]:8080", "http://[::1]:8080/", ""},
      {plain, "http://h:80/a b\xe9", "http://h/a%20b%E9", ""},
      {secure, "/x", "https://a/x", ""},             {secure, "//h:444/", "https://h:444/", ""},
      {plain, "g:h", "", "is not http:// or https://"},
      {plain, "ftp://h/x", "", "is not http:// or https://"},
      {plain, "1h:x", "", "is no URL"},
      {plain, "http:g", "", "names no host"},
      {plain, "http:///x", "", "names no host"},
      {plain, "http://user:pw@h/", "", "holds a user name or password"},
      {plain, "//@h/", "", "holds a user name or password"},
      {plain, "http://h:0/", "", "has a port that is not a number from 1 to 65535"},
      {plain, "http://h:65536/", "", "has a port that is not a number from 1 to 65535"},
      {plain, "http://h:8x/", "", "has a port that is not a number from 1 to 65535"},
      {plain, "http://[::1/", "", "has an IPv6 address without its closing bracket"},
      {plain, "http://[v1.x]/", "", "names a host that is no IPv6 address"},
      {plain, "http://[::1]x/", "", "has more than a port after its host"},
      {plain, "http://h%41/", "", "names a host of bytes no host name holds"},
      {plain, "/a\tb", "", "holds a control byte"},
      {secure, "http://a/x", "", "leads from HTTPS down to plain HTTP"},
      {secure, "http:/x", "", "names no host"},
  };
  for (const auto& row : rows) {
    ErrorNumber error_code = 0;
    std::string why;
    const WebAddress reached = resolve_location(error_code, why, row.base, row.reference);
    EXPECT_EQ(error_code, row.reached.empty() ? kErrRedirectRefused : 0) << row.reference;
    EXPECT_EQ(why, row.why) << row.reference;
    EXPECT_EQ(row.reached.empty() ? std::string() : web_address_text(reached), row.reached) << row.reference;
  }

  const struct {
    std::string header;
    std::string location;  // empty: refused with why
    std::string why;
  } headers[] = {
      {"HTTP/1.1 302 Found\r\nlocation:  /x \r\nServer: s", "/x", ""},
      {"HTTP/1.1 302 Found\nLOCATION:\t/y", "/y", ""},
      {"HTTP/1.1 302 Found\r\nContent-Location: /x", "", "the answer has no Location"},
      {"HTTP/1.1 302 Found\r\nLocation: /a\r\nLocation: /a", "", "the answer has 2 Location fields"},
      {"HTTP/1.1 302 Found\r\nLocation:  \r\n", "", "the Location is empty"},
      {"HTTP/1.1 302 Found\r\nLocation: /a\r\n b", "", "the Location is folded over several lines"},
  };
  for (const auto& row : headers) {
    ErrorNumber error_code = 0;
    std::string why;
    EXPECT_EQ(answer_location(error_code, why, row.header), row.location) << row.header;
    EXPECT_EQ(error_code, row.location.empty() ? kErrRedirectRefused : 0) << row.header;
    EXPECT_EQ(why, row.why) << row.header;
  }

  // As a failure line shows a Location, a Site or a status line.
  EXPECT_EQ(shown_url("http://user:pw@h/p@q"), "http://...@h/p@q");
  EXPECT_EQ(shown_url("http:user:pw@h"), "...@h");
  EXPECT_EQ(shown_url("u:S3CRET@127.0.0.1"), "...@127.0.0.1");
  EXPECT_EQ(shown_url("/a\x01" "b" + std::string(300, 'c')), "/a\\x01b" + std::string(196, 'c') + "...");
#ifdef _WIN32
  EXPECT_EQ(shown("503 \x9B" "2J\x7F"), "503 \x9B" "2J\\x7F");  // the console prints 128-159
#else
  EXPECT_EQ(shown("503 \x9B" "2J\x7F"), "503 \\x9B2J\\x7F");
#endif
}
