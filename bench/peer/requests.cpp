#include "requests.h"

#include <cstdio>

namespace rg::peer {
namespace {

// A browser's header block: twelve headers, as a current desktop browser
// sends them on a page navigation.
std::string BrowserHeaders(std::string_view host) {
  std::string h(host);
  return "Host: " + h + "\r\n" +
         "User-Agent: Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, "
         "like Gecko) Chrome/120.0.0.0 Safari/537.36\r\n"
         "Accept: text/html,application/xhtml+xml,application/xml;q=0.9,image/avif,"
         "image/webp,*/*;q=0.8\r\n"
         "Accept-Language: en-GB,en;q=0.9\r\n"
         "Accept-Encoding: gzip, deflate, br\r\n"
         "Referer: http://" + h + "/catalog/index.html\r\n" +
         "Cookie: ASPSESSIONID=5XQ1NY2K0M3LQ4V5W6Z7A8B9; theme=light\r\n"
         "Connection: keep-alive\r\n"
         "Upgrade-Insecure-Requests: 1\r\n"
         "Sec-Fetch-Dest: document\r\n"
         "Sec-Fetch-Mode: navigate\r\n"
         "Cache-Control: max-age=0\r\n";
}

// Headers of a request that is not a page load (the hostile ones): enough
// for the Core Rule Set to see an ordinary client.
std::string ShortHeaders(std::string_view host) {
  return "Host: " + std::string(host) + "\r\n" +
         "User-Agent: Mozilla/5.0 (Windows NT 10.0; Win64; x64) Gecko/20100101 Firefox/121.0\r\n"
         "Accept: */*\r\n";
}

// 60 bytes, the query of a catalogue listing.
constexpr std::string_view kQuery = "category=books&sort=price&order=asc&page=2&view=grid&lang=en";
static_assert(kQuery.size() == 60);

constexpr size_t kFormBodyBytes = 4096;

// A url-encoded form of ordinary words, exactly kFormBodyBytes long and
// never ending inside a pair's separator.
std::string FormBody() {
  static constexpr const char* kWords[] = {"order", "delivery", "street", "garden", "blue",
                                           "monday", "parcel", "window", "quiet", "river"};
  std::string body;
  int field = 0;
  while (body.size() < kFormBodyBytes) {
    char name[32];
    std::snprintf(name, sizeof name, "%sfield%02d=", body.empty() ? "" : "&", field % 100);
    body += name;
    for (int w = 0; w < 6; ++w) {
      if (w > 0) body += '+';
      body += kWords[(field * 7 + w * 3) % 10];
    }
    ++field;
  }
  body.resize(kFormBodyBytes);
  if (body.back() == '&' || body.back() == '=' || body.back() == '+') body.back() = 'x';
  return body;
}

RequestMix Mix(std::string name, std::string raw, bool hostile) {
  RequestMix mix{std::move(name), std::move(raw), hostile, {}};
  return mix;
}

void ParseAll(std::vector<RequestMix>* mixes) {
  for (RequestMix& mix : *mixes)
    if (!ParseRawRequest(mix.raw, &mix.parsed)) {
      std::fprintf(stderr, "peer: request mix '%s' does not parse\n", mix.name.c_str());
      mix.parsed = {};
    }
}

}  // namespace

std::vector<RequestMix> BuildMixes(std::string_view host, std::string_view deniedHeader) {
  std::vector<RequestMix> mixes;
  mixes.push_back(Mix("typical GET",
                      "GET /catalog/list.aspx?" + std::string(kQuery) + " HTTP/1.1\r\n" +
                          BrowserHeaders(host) + "\r\n",
                      false));

  std::string body = FormBody();
  mixes.push_back(Mix("POST 4 KiB form",
                      "POST /account/profile.aspx HTTP/1.1\r\n" + BrowserHeaders(host) +
                          "Origin: http://" + std::string(host) +
                          "\r\n"
                          "Content-Type: application/x-www-form-urlencoded\r\n"
                          "Content-Length: " +
                          std::to_string(body.size()) + "\r\n\r\n" + body,
                      false));

  mixes.push_back(Mix("traversal",
                      "GET /scripts/../../winnt/system32/cmd.exe HTTP/1.1\r\n" +
                          ShortHeaders(host) + "\r\n",
                      true));
  mixes.push_back(Mix("double encoding",
                      "GET /scripts/..%255c../winnt/system32/cmd.exe HTTP/1.1\r\n" +
                          ShortHeaders(host) + "\r\n",
                      true));
  mixes.push_back(Mix("overlong UTF-8",
                      "GET /scripts/..%c0%af../winnt/system32/cmd.exe HTTP/1.1\r\n" +
                          ShortHeaders(host) + "\r\n",
                      true));
  mixes.push_back(Mix("denied header",
                      "GET /catalog/list.aspx HTTP/1.1\r\n" + ShortHeaders(host) +
                          std::string(deniedHeader) +
                          ": (<opaquelocktoken:e71d4fae-5dec-22d6-fea5-00a0c91e6be4>)\r\n\r\n",
                      true));
  ParseAll(&mixes);
  return mixes;
}

std::vector<RequestMix> BuildPeerSanityRequests(std::string_view host) {
  std::vector<RequestMix> requests;
  requests.push_back(Mix("SQL injection",
                         "GET /catalog/list.aspx?id=1%27%20UNION%20SELECT%20password%20FROM%"
                         "20users--%20 HTTP/1.1\r\n" +
                             ShortHeaders(host) + "\r\n",
                         true));
  requests.push_back(Mix("traversal in query",
                         "GET /download.aspx?file=../../../../etc/passwd HTTP/1.1\r\n" +
                             ShortHeaders(host) + "\r\n",
                         true));
  ParseAll(&requests);
  return requests;
}

bool ParseRawRequest(std::string_view raw, ParsedRequest* out) {
  *out = {};
  size_t lineEnd = raw.find("\r\n");
  size_t headersEnd = raw.find("\r\n\r\n");
  if (lineEnd == std::string_view::npos || headersEnd == std::string_view::npos) return false;
  std::string_view line = raw.substr(0, lineEnd);
  size_t sp1 = line.find(' ');
  size_t sp2 = line.rfind(' ');
  if (sp1 == std::string_view::npos || sp2 == sp1) return false;
  out->method = line.substr(0, sp1);
  out->uri = line.substr(sp1 + 1, sp2 - sp1 - 1);
  std::string_view version = line.substr(sp2 + 1);
  if (version.substr(0, 5) != "HTTP/") return false;
  out->version = version.substr(5);

  size_t pos = lineEnd + 2;
  while (pos < headersEnd + 2) {
    size_t end = raw.find("\r\n", pos);
    std::string_view field = raw.substr(pos, end - pos);
    size_t colon = field.find(':');
    if (colon == std::string_view::npos) return false;
    std::string_view value = field.substr(colon + 1);
    while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
    out->headers.push_back({field.substr(0, colon), value});
    pos = end + 2;
  }
  out->body = raw.substr(headersEnd + 4);
  return true;
}

}  // namespace rg::peer
