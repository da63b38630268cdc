// Any signed-URL reply body either ends in the parser's or the client's
// own error, or gives an http(s) URL and a header set that cannot smuggle
// anything into the PUT.

#include "Upload/SignedUrlReply.hpp"
#include "Upload/UploadError.hpp"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace {

using namespace veltrano;
using namespace veltrano::upload;

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view body(reinterpret_cast<const char*>(data), size);
  UploadTarget target;
  try {
    target = chooseUploadTarget(body);
  } catch (const nlohmann::json::parse_error&) {
    return 0;
  } catch (const nlohmann::json::out_of_range&) {
    return 0;  // the parser's own error for a number it cannot hold
  } catch (const UploadError& e) {
    check(e.kind() == UploadError::Case::invalidResponse || e.kind() == UploadError::Case::missingUploadURL);
    return 0;
  }

  check(isHttpURL(target.url));
  std::size_t contentTypes = 0;
  for (std::size_t i = 0; i < target.headers.size(); ++i) {
    const auto& [name, value] = target.headers[i];
    check(isHeaderName(name));
    check(isSafeHeaderValue(value));
    check(!equalsIgnoringCase(name, "Content-Length") && !equalsIgnoringCase(name, "Transfer-Encoding"));
    for (std::size_t j = 0; j < i; ++j) check(!equalsIgnoringCase(target.headers[j].first, name));
    contentTypes += equalsIgnoringCase(name, "Content-Type");
  }
  check(contentTypes == 1);
  if (target.headersOutcome != UploadHeadersOutcome::applied) {
    check(target.headers.size() == 1 && target.headers[0].second == "video/mp4");
  }
  return 0;
}
