#include "PendingUploads/FileURL.hpp"

namespace veltrano {

namespace {

// ASCII only, never the locale's classes: GTK programs run under the
// user's locale, and in a single-byte one (Latin-1) bytes >= 0x80 count as
// letters and would go out unencoded, turning into a URL the next launch
// cannot read back.
bool isAsciiAlnum(unsigned char c) noexcept {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

unsigned char asciiLower(unsigned char c) noexcept {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

bool isUnreserved(unsigned char c) noexcept {
  return isAsciiAlnum(c) || c == '-' || c == '.' || c == '_' || c == '~';
}

bool isSubDelim(unsigned char c) noexcept {
  switch (c) {
    case '!':
    case '$':
    case '&':
    case '\'':
    case '(':
    case ')':
    case '*':
    case '+':
    case ',':
    case ';':
    case '=': return true;
    default: return false;
  }
}

// Characters that may stand unencoded in a URL path.
bool isPathCharacter(unsigned char c) noexcept {
  return isUnreserved(c) || isSubDelim(c) || c == ':' || c == '@' || c == '/';
}

int hexValue(unsigned char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool startsWithIgnoringCase(std::string_view text, std::string_view prefix) noexcept {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i)
    if (asciiLower(static_cast<unsigned char>(text[i])) != static_cast<unsigned char>(prefix[i])) return false;
  return true;
}

bool equalsIgnoringCase(std::string_view text, std::string_view lowerCase) noexcept {
  return text.size() == lowerCase.size() && startsWithIgnoringCase(text, lowerCase);
}

}  // namespace

std::string percentEncodePath(std::string_view text) {
  static constexpr char digits[] = "0123456789ABCDEF";
  std::string encoded;
  encoded.reserve(text.size());
  for (unsigned char c : text) {
    if (isPathCharacter(c)) {
      encoded.push_back(static_cast<char>(c));
    } else {
      encoded.push_back('%');
      encoded.push_back(digits[c >> 4]);
      encoded.push_back(digits[c & 0x0F]);
    }
  }
  return encoded;
}

std::string fileURLString(const std::filesystem::path& path) {
  const std::filesystem::path absolute = path.is_absolute() ? path : std::filesystem::absolute(path);
  return "file://" + percentEncodePath(absolute.native());
}

std::optional<std::filesystem::path> parseFileURL(std::string_view url) {
  if (!startsWithIgnoringCase(url, "file:")) return std::nullopt;
  std::string_view rest = url.substr(5);
  if (rest.starts_with("//")) {
    rest.remove_prefix(2);
    const std::size_t slash = rest.find('/');
    if (slash == std::string_view::npos) return std::nullopt;
    const std::string_view authority = rest.substr(0, slash);
    if (!authority.empty() && !equalsIgnoringCase(authority, "localhost")) return std::nullopt;
    rest.remove_prefix(slash);
  }
  if (const std::size_t end = rest.find_first_of("?#"); end != std::string_view::npos) {
    // What follows must still be made of URL characters.
    for (unsigned char c : rest.substr(end + 1))
      if (!(isPathCharacter(c) || c == '?' || c == '#' || c == '%')) return std::nullopt;
    rest = rest.substr(0, end);
  }
  if (rest.empty() || rest.front() != '/') return std::nullopt;

  std::string decoded;
  decoded.reserve(rest.size());
  for (std::size_t i = 0; i < rest.size(); ++i) {
    const auto c = static_cast<unsigned char>(rest[i]);
    if (c == '%') {
      const int high = i + 1 < rest.size() ? hexValue(static_cast<unsigned char>(rest[i + 1])) : -1;
      const int low = i + 2 < rest.size() ? hexValue(static_cast<unsigned char>(rest[i + 2])) : -1;
      if (high < 0 || low < 0) return std::nullopt;
      decoded.push_back(static_cast<char>(high << 4 | low));
      i += 2;
    } else if (isPathCharacter(c)) {
      decoded.push_back(static_cast<char>(c));
    } else {
      return std::nullopt;
    }
  }
  return std::filesystem::path(std::move(decoded));
}

}  // namespace veltrano
