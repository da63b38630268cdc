#include "S3Storage.hpp"

#include "HttpFetch.hpp"

#include <ctime>
#include <optional>
#include <stdexcept>

namespace veltrano::uploadservice {

namespace {

using namespace std::chrono_literals;

// Listing URLs are used at once; pages are bounded so a store that keeps
// answering "truncated" cannot hold a request for ever.
constexpr auto kListingExpiry = 60s;
constexpr int kMaxListingPages = 100;

std::string decodeEntities(std::string_view text) {
  std::string out;
  for (std::size_t at = 0; at < text.size(); ++at) {
    if (text[at] != '&') {
      out.push_back(text[at]);
      continue;
    }
    const auto end = text.find(';', at);
    if (end == std::string_view::npos) throw std::runtime_error("bad XML entity");
    const std::string_view name = text.substr(at + 1, end - at - 1);
    if (name == "amp")
      out.push_back('&');
    else if (name == "lt")
      out.push_back('<');
    else if (name == "gt")
      out.push_back('>');
    else if (name == "quot")
      out.push_back('"');
    else if (name == "apos")
      out.push_back('\'');
    else if (name.size() > 1 && name[0] == '#') {
      const bool hex = name[1] == 'x' || name[1] == 'X';
      const std::string digits(name.substr(hex ? 2 : 1));
      std::size_t used = 0;
      const unsigned long code = std::stoul(digits, &used, hex ? 16 : 10);
      if (used != digits.size() || code == 0 || code > 0x10ffff) throw std::runtime_error("bad XML character");
      // As UTF-8.
      if (code < 0x80) {
        out.push_back(static_cast<char>(code));
      } else if (code < 0x800) {
        out.push_back(static_cast<char>(0xc0 | (code >> 6)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3f)));
      } else if (code < 0x10000) {
        out.push_back(static_cast<char>(0xe0 | (code >> 12)));
        out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3f)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3f)));
      } else {
        out.push_back(static_cast<char>(0xf0 | (code >> 18)));
        out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3f)));
        out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3f)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3f)));
      }
    } else {
      throw std::runtime_error("unknown XML entity");
    }
    at = end;
  }
  return out;
}

// The text of the first <tag>…</tag> in `xml`, entities decoded; nothing
// when there is none. The listing's elements hold text only.
std::optional<std::string> element(std::string_view xml, std::string_view tag) {
  const std::string open = "<" + std::string(tag) + ">";
  const std::string close = "</" + std::string(tag) + ">";
  const auto start = xml.find(open);
  if (start == std::string_view::npos) return std::nullopt;
  const auto end = xml.find(close, start + open.size());
  if (end == std::string_view::npos) throw std::runtime_error("unterminated <" + std::string(tag) + ">");
  return decodeEntities(xml.substr(start + open.size(), end - start - open.size()));
}

// "2026-12-06T10:00:03.000Z" to whole seconds.
std::string wholeSeconds(const std::string& time) {
  std::tm parts{};
  const char* end = strptime(time.c_str(), "%Y-%m-%dT%H:%M:%S", &parts);
  if (!end) throw std::runtime_error("bad LastModified " + time);
  return utcTimestamp(std::chrono::system_clock::from_time_t(timegm(&parts)));
}

}  // namespace

S3Storage::S3Storage(S3Options options) : options_(std::move(options)) {
  const auto schemeEnd = options_.endpoint.find("://");
  scheme_ = schemeEnd == std::string::npos ? std::string() : options_.endpoint.substr(0, schemeEnd);
  if (scheme_ != "http" && scheme_ != "https")
    throw std::invalid_argument("the S3 endpoint must start with http:// or https://");
  host_ = options_.endpoint.substr(schemeEnd + 3);
  while (!host_.empty() && host_.back() == '/') host_.pop_back();
  if (host_.empty() || host_.find_first_of("/?#@ ") != std::string::npos)
    throw std::invalid_argument("the S3 endpoint is scheme://host[:port] and nothing more");
  if (options_.bucket.empty() || options_.bucket.find('/') != std::string::npos)
    throw std::invalid_argument("an S3 bucket name is needed");
  if (options_.region.empty()) throw std::invalid_argument("an S3 region is needed");
  if (options_.credentials.accessKeyId.empty() || options_.credentials.secretAccessKey.empty())
    throw std::invalid_argument("S3 needs an access key id and a secret access key");
  // The scheme's default port is left out, as clients leave it out of Host.
  const std::string defaultPort = scheme_ == "http" ? ":80" : ":443";
  if (host_.size() > defaultPort.size() && host_.ends_with(defaultPort))
    host_.resize(host_.size() - defaultPort.size());
}

SigV4Request S3Storage::request(std::string method, std::string key) const {
  SigV4Request request;
  request.method = std::move(method);
  request.scheme = scheme_;
  request.region = options_.region;
  if (options_.pathStyle) {
    request.host = host_;
    request.path = "/" + options_.bucket + "/" + key;
  } else {
    request.host = options_.bucket + "." + host_;
    request.path = "/" + key;
  }
  return request;
}

std::string S3Storage::presignPut(const std::string& objectKey,
                                  const std::vector<std::pair<std::string, std::string>>& headers,
                                  std::chrono::seconds expires, std::chrono::system_clock::time_point now) const {
  SigV4Request put = request("PUT", objectKey);
  put.headers = headers;
  put.time = now;
  put.expires = expires;
  return presignSigV4(put, options_.credentials);
}

S3Storage::ListingPage S3Storage::parseListing(std::string_view xml, const std::string& prefix) {
  if (xml.find("<ListBucketResult") == std::string_view::npos) throw std::runtime_error("not a ListObjectsV2 reply");
  ListingPage page;
  for (std::size_t at = xml.find("<Contents>"); at != std::string_view::npos; at = xml.find("<Contents>", at + 1)) {
    const auto end = xml.find("</Contents>", at);
    if (end == std::string_view::npos) throw std::runtime_error("unterminated <Contents>");
    const std::string_view contents = xml.substr(at, end - at);
    const auto key = element(contents, "Key");
    const auto size = element(contents, "Size");
    const auto modified = element(contents, "LastModified");
    if (!key || !size || !modified) throw std::runtime_error("a listed object lacks Key, Size or LastModified");
    // Clips only, directly below the answer's prefix.
    if (key->rfind(prefix, 0) != 0 || !isClipName(std::string_view(*key).substr(prefix.size()))) continue;
    page.clips.push_back({*key, std::stoull(*size), wholeSeconds(*modified)});
  }
  if (element(xml, "IsTruncated").value_or("false") == "true") {
    page.nextContinuationToken = element(xml, "NextContinuationToken").value_or("");
    if (page.nextContinuationToken.empty()) throw std::runtime_error("a truncated listing without a continuation");
  }
  return page;
}

std::vector<StoredClip> S3Storage::listClips(const std::string& prefix,
                                             std::chrono::system_clock::time_point now) const {
  std::vector<StoredClip> clips;
  std::string continuation;
  for (int page = 0; page < kMaxListingPages; ++page) {
    SigV4Request list = request("GET", "");
    // The bucket itself: "/bucket" path-style, "/" on its virtual host.
    if (options_.pathStyle) list.path.pop_back();
    list.query = {{"list-type", "2"}, {"prefix", prefix}};
    if (!continuation.empty()) list.query.emplace_back("continuation-token", continuation);
    list.time = now;
    list.expires = kListingExpiry;
    const HttpReply reply = httpGet(presignSigV4(list, options_.credentials));
    if (reply.status != 200) throw std::runtime_error("ListObjectsV2 answered HTTP " + std::to_string(reply.status));
    auto parsed = parseListing(reply.body, prefix);
    clips.insert(clips.end(), parsed.clips.begin(), parsed.clips.end());
    if (parsed.nextContinuationToken.empty()) return clips;
    continuation = std::move(parsed.nextContinuationToken);
  }
  throw std::runtime_error("the listing did not end within " + std::to_string(kMaxListingPages) + " pages");
}

}  // namespace veltrano::uploadservice
