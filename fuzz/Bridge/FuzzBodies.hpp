// What the bridge fuzzers share: bodies from fuzzer bytes, a log sink
// that keeps quiet, and the way a fuzzer reports a broken rule.
#pragma once

#include "Bridge/BridgeEnvelope.hpp"
#include "Runtime/Logger.hpp"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace veltrano::fuzzing {

// Keeps the parser's one log line out of the fuzzer's output.
class DiscardingLogSink final : public LogSink {
 public:
  void write(const LogRecord&) override {}
};

// Message bodies from fuzzer bytes. Most inputs are JSON text as the web view
// would hand it over. A leading 0x01, 0x02 or 0x03 instead builds the body directly
// from raw bytes, which reaches strings no JSON parser lets through (invalid
// UTF-8 in a method name or a payload field).
inline nlohmann::json bodyFromBytes(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  if (input.empty() || input[0] < '\x01' || input[0] > '\x03') return parseMessageBody(input);

  std::vector<std::string> fields{""};
  for (std::size_t i = 1; i < input.size(); ++i) {
    if (input[i] == '\0' && fields.size() < 5)
      fields.emplace_back();
    else
      fields.back() += input[i];
  }
  fields.resize(5);
  // A camera method: the id as raw bytes, a width from the third field.
  if (input[0] == '\x03')
    return nlohmann::json{{"method", fields[0].empty() ? "selectCamera" : fields[0]},
                          {"payload", {{"id", fields[1]}, {"maxWidth", static_cast<int>(fields[2].size()) * 40 - 8}}}};
  if (input[0] == '\x01') return nlohmann::json{{"method", fields[0]}, {"payload", {{"idToken", fields[1]}}}};
  nlohmann::json payload{{"userId", fields[1]}, {"sessionId", fields[2]}, {"idToken", fields[4]}};
  if (!fields[3].empty() || input.size() % 2 == 1) payload["answerId"] = fields[3];  // "" reachable too
  return nlohmann::json{{"method", fields[0].empty() ? "enterAnswer" : fields[0]}, {"payload", payload}};
}

[[noreturn]] inline void fail(const char* what) {
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

}  // namespace veltrano::fuzzing
