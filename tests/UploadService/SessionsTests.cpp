// The sessions file: what is refused at start-up, and who sees which session.

#include "Sessions.hpp"

#include <gtest/gtest.h>

using namespace veltrano::uploadservice;
using Json = nlohmann::json;

namespace {

std::vector<std::string> visibleIds(const SessionCatalog& catalog, const Identity& identity) {
  std::vector<std::string> ids;
  const Json visible = catalog.visibleTo(identity);
  for (const auto& session : visible["sessions"]) ids.push_back(session["id"]);
  return ids;
}

}  // namespace

TEST(Sessions, EachUserSeesOpenSessionsAndThoseNamingTheirUidOrVerifiedEmail) {
  const auto catalog = SessionCatalog::fromJson(R"({"sessions": [
    {"id": "open", "title": "Open", "prompts": [{"answerId": "a1", "text": "Say hello"}]},
    {"id": "by-uid", "title": "T", "prompts": [], "users": ["uid-alice"]},
    {"id": "by-email", "title": "T", "prompts": [], "users": ["Alice@Example.org", "carol@example.org"]},
    {"id": "nobody", "title": "T", "prompts": [], "users": []}]})");
  EXPECT_EQ(visibleIds(catalog, {"uid-alice", "alice@example.org"}),
            (std::vector<std::string>{"open", "by-uid", "by-email"}));
  EXPECT_EQ(visibleIds(catalog, {"uid-bob", std::nullopt}), std::vector<std::string>{"open"});
  EXPECT_EQ(visibleIds(catalog, {"uid-carol", "CAROL@example.org"}), (std::vector<std::string>{"open", "by-email"}));
  EXPECT_EQ(catalog.visibleTo({"uid-alice", std::nullopt})["sessions"][0],
            (Json{{"id", "open"}, {"title", "Open"}, {"prompts", {{{"answerId", "a1"}, {"text", "Say hello"}}}}}))
      << "no users list goes out";
  EXPECT_FALSE(SessionCatalog::sample().sessions().empty());
}

TEST(Sessions, AFileWithMissingMistypedUnsafeOrRepeatedIdsIsRefused) {
  for (
      const char* bad : {
          R"({"sessions": {}})",
          R"({"sessions": [{"title": "T", "prompts": []}]})",
          R"({"sessions": [{"id": "s", "title": 1, "prompts": []}]})",
          R"({"sessions": [{"id": "../s", "title": "T", "prompts": []}]})",
          R"({"sessions": [{"id": "s", "title": "T", "prompts": [{"answerId": "..", "text": "x"}]}]})",
          R"({"sessions": [{"id": "s", "title": "T", "prompts": [{"answerId": "a", "text": "x"}, {"answerId": "a", "text": "y"}]}]})",
          R"({"sessions": [{"id": "s", "title": "T", "prompts": []}, {"id": "s", "title": "U", "prompts": []}]})",
          R"({"sessions": [{"id": "s", "title": "T", "prompts": [], "users": [""]}]})",
          "not json",
      })
    EXPECT_THROW(SessionCatalog::fromJson(bad), std::invalid_argument) << bad;
}
