#include "Sessions.hpp"

#include "BoundedJson.hpp"
#include "Confinement.hpp"

#include <algorithm>
#include <set>
#include <stdexcept>

namespace veltrano::uploadservice {

namespace {

using Json = nlohmann::json;

constexpr const char* kSample = R"({"sessions": [
  {"id": "sample-introductions", "title": "Introductions",
   "prompts": [
     {"answerId": "introduce-yourself", "text": "Introduce yourself in a minute or two."},
     {"answerId": "recent-project", "text": "Tell us about a project you are proud of."},
     {"answerId": "questions-for-us", "text": "What would you like to ask us?"}]},
  {"id": "sample-product-feedback", "title": "Product feedback",
   "prompts": [
     {"answerId": "first-impression", "text": "What was your first impression?"},
     {"answerId": "one-change", "text": "If you could change one thing, what would it be?"}]}
]})";

std::string lowerAscii(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
  return text;
}

const Json& member(const Json& object, const char* name, Json::value_t type, const std::string& where) {
  const auto found = object.find(name);
  if (found == object.end() || found->type() != type)
    throw std::invalid_argument(where + ": \"" + name + "\" is missing or of the wrong type");
  return *found;
}

std::string id(const Json& object, const char* name, const std::string& where) {
  auto value = member(object, name, Json::value_t::string, where).get<std::string>();
  if (!isSafeId(value)) throw std::invalid_argument(where + ": \"" + name + "\" is not a safe path segment");
  return value;
}

}  // namespace

bool Session::visibleTo(const Identity& identity) const {
  if (!users) return true;
  const std::optional<std::string> email = identity.email ? std::optional(lowerAscii(*identity.email)) : std::nullopt;
  return std::any_of(users->begin(), users->end(), [&](const std::string& user) {
    return (!identity.userId.empty() && user == identity.userId) || (email && lowerAscii(user) == *email);
  });
}

SessionCatalog SessionCatalog::fromJson(const std::string& text) {
  const auto json = parseBoundedJson(text, 6);
  if (!json || !json->is_object()) throw std::invalid_argument("the sessions are not a JSON object");
  SessionCatalog catalog;
  std::set<std::string> seen;
  for (const auto& item : member(*json, "sessions", Json::value_t::array, "the file")) {
    const std::string where = "session " + std::to_string(catalog.sessions_.size());
    if (!item.is_object()) throw std::invalid_argument(where + " is not an object");
    Session session;
    session.id = id(item, "id", where);
    if (!seen.insert(session.id).second) throw std::invalid_argument(where + ": id " + session.id + " given twice");
    session.title = member(item, "title", Json::value_t::string, where).get<std::string>();
    std::set<std::string> answers;
    for (const auto& prompt : member(item, "prompts", Json::value_t::array, where)) {
      const std::string at = where + " prompt " + std::to_string(session.prompts.size());
      if (!prompt.is_object()) throw std::invalid_argument(at + " is not an object");
      SessionPrompt parsed{
          id(prompt, "answerId", at), member(prompt, "text", Json::value_t::string, at).get<std::string>()};
      if (!answers.insert(parsed.answerId).second)
        throw std::invalid_argument(at + ": answerId " + parsed.answerId + " given twice");
      session.prompts.push_back(std::move(parsed));
    }
    if (item.contains("users")) {
      session.users.emplace();
      for (const auto& user : member(item, "users", Json::value_t::array, where)) {
        if (!user.is_string() || user.get<std::string>().empty())
          throw std::invalid_argument(where + ": every user is a non-empty string");
        session.users->push_back(user.get<std::string>());
      }
    }
    catalog.sessions_.push_back(std::move(session));
  }
  return catalog;
}

SessionCatalog SessionCatalog::sample() {
  return fromJson(kSample);
}

nlohmann::json SessionCatalog::visibleTo(const Identity& identity) const {
  Json list = Json::array();
  for (const auto& session : sessions_) {
    if (!session.visibleTo(identity)) continue;
    Json prompts = Json::array();
    for (const auto& prompt : session.prompts)
      prompts.push_back({{"answerId", prompt.answerId}, {"text", prompt.text}});
    list.push_back({{"id", session.id}, {"title", session.title}, {"prompts", std::move(prompts)}});
  }
  return {{"sessions", std::move(list)}};
}

}  // namespace veltrano::uploadservice
