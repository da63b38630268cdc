#pragma once

// The sessions the web app offers, each with the prompts to answer and the
// users who may see it, read from a JSON file or the built-in sample:
//
//   {"sessions": [{"id": "...", "title": "...",
//                  "prompts": [{"answerId": "...", "text": "..."}],
//                  "users": ["<uid or email>", ...]}]}
//
// A session without "users" is open to every signed-in user.

#include "Identity.hpp"

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <vector>

namespace veltrano::uploadservice {

struct SessionPrompt {
  std::string answerId;
  std::string text;
};

struct Session {
  std::string id;
  std::string title;
  std::vector<SessionPrompt> prompts;
  std::optional<std::vector<std::string>> users;  // nothing: everyone signed in

  // A user named by uid, or by an email the token marks verified
  // (compared without regard to ASCII case).
  bool visibleTo(const Identity& identity) const;
};

class SessionCatalog {
 public:
  // Throws std::invalid_argument naming what is wrong: not JSON, a missing
  // or mistyped member, an id that is not a safe path segment, or an id
  // given twice.
  static SessionCatalog fromJson(const std::string& text);
  static SessionCatalog sample();

  // {"sessions": [...]} of what `identity` may see, without the "users"
  // lists, which would tell one user who else is invited.
  nlohmann::json visibleTo(const Identity& identity) const;

  const std::vector<Session>& sessions() const noexcept { return sessions_; }

 private:
  std::vector<Session> sessions_;
};

}  // namespace veltrano::uploadservice
