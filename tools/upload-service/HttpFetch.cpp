#include "HttpFetch.hpp"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <stdexcept>

namespace veltrano::uploadservice {

namespace {

struct Collected {
  HttpReply reply;
  std::size_t maxBytes = 0;
};

std::size_t onBody(char* data, std::size_t size, std::size_t count, void* user) {
  auto& collected = *static_cast<Collected*>(user);
  if (collected.reply.body.size() + size * count > collected.maxBytes) return 0;  // aborts the transfer
  collected.reply.body.append(data, size * count);
  return size * count;
}

std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* user) {
  auto& reply = static_cast<Collected*>(user)->reply;
  const std::string line(data, size * count);
  if (line.rfind("HTTP/", 0) == 0) reply.headers.clear();  // a new response (after a 100 Continue)
  const auto colon = line.find(':');
  if (colon != std::string::npos) {
    std::string name = line.substr(0, colon);
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
    std::string value = line.substr(colon + 1);
    const auto first = value.find_first_not_of(" \t");
    const auto last = value.find_last_not_of(" \t\r\n");
    value = first == std::string::npos ? std::string() : value.substr(first, last - first + 1);
    reply.headers.emplace_back(std::move(name), std::move(value));
  }
  return size * count;
}

}  // namespace

const std::string* HttpReply::header(const std::string& lowerCaseName) const {
  for (const auto& [name, value] : headers)
    if (name == lowerCaseName) return &value;
  return nullptr;
}

HttpReply httpGet(const std::string& url, std::chrono::seconds timeout, std::size_t maxBytes) {
  const std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> easy(curl_easy_init(), &curl_easy_cleanup);
  if (!easy) throw std::runtime_error("curl_easy_init failed");
  Collected collected;
  collected.maxBytes = maxBytes;
  curl_easy_setopt(easy.get(), CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy.get(), CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy.get(), CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy.get(), CURLOPT_CONNECTTIMEOUT, 5L);
  curl_easy_setopt(easy.get(), CURLOPT_TIMEOUT, static_cast<long>(timeout.count()));
  curl_easy_setopt(easy.get(), CURLOPT_WRITEFUNCTION, &onBody);
  curl_easy_setopt(easy.get(), CURLOPT_WRITEDATA, &collected);
  curl_easy_setopt(easy.get(), CURLOPT_HEADERFUNCTION, &onHeader);
  curl_easy_setopt(easy.get(), CURLOPT_HEADERDATA, &collected);
  const CURLcode result = curl_easy_perform(easy.get());
  if (result != CURLE_OK) throw std::runtime_error(std::string("GET failed: ") + curl_easy_strerror(result));
  curl_easy_getinfo(easy.get(), CURLINFO_RESPONSE_CODE, &collected.reply.status);
  return std::move(collected.reply);
}

}  // namespace veltrano::uploadservice
