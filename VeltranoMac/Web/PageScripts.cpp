#include "Web/PageScripts.hpp"

namespace veltrano::page_script {

std::string signInCallbackArguments(const SignInCallback& callback) {
  nlohmann::json args{{"emailLink", callback.emailLink}};
  if (callback.email) args["email"] = *callback.email;
  return args.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string eventDetailArguments(const nlohmann::json& detail) {
  return detail.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string focusEventArguments(bool focused) {
  return nlohmann::json{{"focused", focused}}.dump();
}

}  // namespace veltrano::page_script
