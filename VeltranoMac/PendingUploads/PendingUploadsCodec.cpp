#include "PendingUploads/PendingUploadsCodec.hpp"

#include "PendingUploads/FileURL.hpp"
#include "Support/Text.hpp"

#include <nlohmann/json.hpp>

#include <charconv>
#include <optional>
#include <utility>

namespace veltrano {

namespace {

using Json = nlohmann::json;

const std::string* stringMember(const Json& object, const char* key) {
  const auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return nullptr;
  return &it->get_ref<const std::string&>();
}

std::optional<PendingUploadRecord> decodeRecord(const Json& element) {
  if (!element.is_object()) return std::nullopt;
  const std::string* id = stringMember(element, "id");
  const std::string* fileURL = stringMember(element, "fileURL");
  const std::string* userId = stringMember(element, "userId");
  const std::string* sessionId = stringMember(element, "sessionId");
  const std::string* answerId = stringMember(element, "answerId");
  const std::string* objectPath = stringMember(element, "objectPath");
  const std::string* idToken = stringMember(element, "idToken");
  const auto enqueuedAt = element.find("enqueuedAt");
  if (!id || !fileURL || !userId || !sessionId || !answerId || !objectPath || !idToken || enqueuedAt == element.end() ||
      !enqueuedAt->is_number())
    return std::nullopt;

  auto uuid = Uuid::parse(*id);
  auto path = parseFileURL(*fileURL);
  auto date = ReferenceDate::fromSecondsSinceReferenceDate(enqueuedAt->get<double>());
  if (!uuid || !path || !date) return std::nullopt;
  return PendingUploadRecord{*uuid, std::move(*path), *userId, *sessionId, *answerId, *objectPath, *idToken, *date};
}

// Builds every complete element of a top-level array from a parse that may
// stop part-way, so a truncated or partly garbled file still yields the
// records written before the damage.
class SalvagingHandler final : public nlohmann::json_sax<Json> {
 public:
  std::vector<Json> takeCompleteElements() {
    elements_.resize(complete_);
    return std::move(elements_);
  }

  bool null() override { return value(Json(nullptr)); }
  bool boolean(bool v) override { return value(Json(v)); }
  bool number_integer(number_integer_t v) override { return value(Json(v)); }
  bool number_unsigned(number_unsigned_t v) override { return value(Json(v)); }
  bool number_float(number_float_t v, const string_t&) override { return value(Json(v)); }
  bool string(string_t& v) override { return value(Json(std::move(v))); }
  bool binary(binary_t&) override { return false; }  // JSON text has no binary values
  bool start_object(std::size_t) override { return start(Json::value_t::object); }
  bool key(string_t& k) override {
    key_ = std::move(k);
    return true;
  }
  bool end_object() override { return end(); }
  bool start_array(std::size_t) override { return start(Json::value_t::array); }
  bool end_array() override { return end(); }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override { return false; }

 private:
  // Places a new value under the innermost open container; returns it.
  Json* place(Json v) {
    if (open_.empty()) {
      elements_.push_back(std::move(v));
      return &elements_.back();
    }
    Json& parent = *open_.back();
    if (parent.is_object()) {
      Json& slot = parent[key_];
      slot = std::move(v);
      return &slot;
    }
    parent.push_back(std::move(v));
    return &parent.back();
  }

  bool value(Json v) {
    if (!insideTopArray_) return false;  // a scalar at the top: nothing to salvage
    place(std::move(v));
    if (open_.empty()) ++complete_;
    return true;
  }

  bool start(Json::value_t type) {
    if (!insideTopArray_) {
      insideTopArray_ = type == Json::value_t::array;
      return insideTopArray_;
    }
    open_.push_back(place(Json(type)));
    return true;
  }

  bool end() {
    if (open_.empty()) return true;  // the top-level array itself
    open_.pop_back();
    if (open_.empty()) ++complete_;
    return true;
  }

  std::vector<Json> elements_;
  std::size_t complete_ = 0;
  std::vector<Json*> open_;  // containers still open below the top array
  std::string key_;
  bool insideTopArray_ = false;
};

// A JSON string literal. Bytes that are not well-formed UTF-8 become U+FFFD
// rather than a write that fails and blocks every later change.
void appendJsonString(std::string& out, std::string_view text) {
  static constexpr char digits[] = "0123456789abcdef";
  out.push_back('"');
  while (!text.empty()) {
    const auto c = static_cast<unsigned char>(text.front());
    if (c >= 0x20 && c < 0x80 && c != '"' && c != '\\') {
      // Runs of plain ASCII are the common case.
      std::size_t run = 1;
      while (run < text.size()) {
        const auto next = static_cast<unsigned char>(text[run]);
        if (next < 0x20 || next >= 0x80 || next == '"' || next == '\\') break;
        ++run;
      }
      out.append(text.data(), run);
      text.remove_prefix(run);
      continue;
    }
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out.push_back(digits[c >> 4]);
          out.push_back(digits[c & 0x0F]);
        } else if (const std::size_t length = utf8SequenceLength(text)) {
          out.append(text.data(), length);
          text.remove_prefix(length);
          continue;
        } else {
          out += "\xEF\xBF\xBD";
        }
    }
    text.remove_prefix(1);
  }
  out.push_back('"');
}

// Shortest text that reads back as the same double.
void appendJsonNumber(std::string& out, double value) {
  char buffer[32];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, result.ptr);
}

}  // namespace

std::string encodePendingUploadRecord(const PendingUploadRecord& r) {
  // Written directly rather than through a JSON tree, which cost more than
  // the disk write on large tables.
  std::string out;
  out.reserve(200 + r.fileURL.native().size() * 3 + r.userId.size() + r.sessionId.size() + r.answerId.size() +
              r.objectPath.size() + r.idToken.size());
  out += "{\"id\":\"";
  out += r.id.string();
  out += "\",\"fileURL\":";
  appendJsonString(out, fileURLString(r.fileURL));
  out += ",\"userId\":";
  appendJsonString(out, r.userId);
  out += ",\"sessionId\":";
  appendJsonString(out, r.sessionId);
  out += ",\"answerId\":";
  appendJsonString(out, r.answerId);
  out += ",\"objectPath\":";
  appendJsonString(out, r.objectPath);
  out += ",\"idToken\":";
  appendJsonString(out, r.idToken);
  out += ",\"enqueuedAt\":";
  appendJsonNumber(out, r.enqueuedAt.secondsSinceReferenceDate());
  out.push_back('}');
  return out;
}

std::string joinEncodedRecords(const std::vector<const std::string*>& encoded) {
  std::size_t size = 2;
  for (const auto* element : encoded) size += element->size() + 1;
  std::string out;
  out.reserve(size);
  out.push_back('[');
  for (const auto* element : encoded) {
    if (out.size() > 1) out.push_back(',');
    out += *element;
  }
  out.push_back(']');
  return out;
}

std::string encodePendingUploads(const std::vector<PendingUploadRecord>& records) {
  std::vector<std::string> encoded;
  encoded.reserve(records.size());
  for (const auto& r : records) encoded.push_back(encodePendingUploadRecord(r));
  std::vector<const std::string*> pointers;
  pointers.reserve(encoded.size());
  for (const auto& e : encoded) pointers.push_back(&e);
  return joinEncodedRecords(pointers);
}

DecodedPendingUploads decodePendingUploads(std::string_view bytes) {
  DecodedPendingUploads result;
  std::vector<Json> elements;
  Json document = Json::parse(bytes.begin(), bytes.end(), nullptr, false);
  if (!document.is_discarded()) {
    if (!document.is_array()) {
      result.damaged = true;
      return result;
    }
    elements = std::move(document.get_ref<Json::array_t&>());
  } else {
    result.damaged = true;
    SalvagingHandler handler;
    Json::sax_parse(bytes.begin(), bytes.end(), &handler);
    elements = handler.takeCompleteElements();
  }
  result.records.reserve(elements.size());
  for (const auto& element : elements) {
    if (auto record = decodeRecord(element))
      result.records.push_back(std::move(*record));
    else
      result.damaged = true;
  }
  return result;
}

}  // namespace veltrano
