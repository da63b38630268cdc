// veltrano-upload-service: the reference signed-URL endpoint and object
// store, for development, the run command and end-to-end tests.

#include "UploadService.hpp"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

namespace {

constexpr const char* kUsage =
    "usage: veltrano-upload-service --storage DIR --token TOKEN [--token TOKEN ...]\n"
    "                               [--listen HOST:PORT] [--public-url URL] [--secret SECRET]\n"
    "                               [--ttl SECONDS]\n"
    "\n"
    "  --listen HOST:PORT  address to serve on (default 127.0.0.1:0; port 0 picks a free one,\n"
    "                      IPv6 as [::1]:PORT)\n"
    "  --public-url URL    scheme, host and port of the upload URLs handed out, when clients\n"
    "                      reach the service through another address (default: the listen\n"
    "                      address)\n"
    "  --storage DIR       folder the uploaded objects are stored in\n"
    "  --token TOKEN       accepted bearer token of the signed-URL request (repeatable)\n"
    "  --secret SECRET     URL signing secret (default: random for this run)\n"
    "  --ttl SECONDS       lifetime of an upload URL (default 900)\n"
    "\n"
    "The first line on stdout is the signed-URL endpoint, the value for the key\n"
    "VeltranoAnswerVideoSignedURLRequestURL in Info.json. Stop with SIGINT or SIGTERM.\n";

[[noreturn]] void usageError(const std::string& message) {
  std::cerr << "veltrano-upload-service: " << message << "\n\n" << kUsage;
  std::exit(2);
}

void parseListen(const std::string& value, veltrano::uploadservice::UploadServiceOptions& options) {
  std::string host;
  std::string port;
  if (!value.empty() && value.front() == '[') {
    const auto close = value.find("]:");
    if (close == std::string::npos) usageError("--listen wants HOST:PORT");
    host = value.substr(1, close - 1);
    port = value.substr(close + 2);
  } else {
    const auto colon = value.rfind(':');
    if (colon == std::string::npos) usageError("--listen wants HOST:PORT");
    host = value.substr(0, colon);
    port = value.substr(colon + 1);
  }
  try {
    std::size_t used = 0;
    const int number = std::stoi(port, &used);
    if (used != port.size() || number < 0 || number > 65535) throw std::out_of_range("port");
    options.port = number;
  } catch (const std::exception&) {
    usageError("bad port in --listen: " + port);
  }
  if (host.empty()) usageError("--listen wants a host");
  options.host = host;
}

}  // namespace

int main(int argc, char** argv) {
  veltrano::uploadservice::UploadServiceOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) usageError(arg + " needs a value");
      return argv[++i];
    };
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      return 0;
    } else if (arg == "--listen") {
      parseListen(value(), options);
    } else if (arg == "--public-url") {
      options.publicBaseURL = value();
    } else if (arg == "--storage") {
      options.storage = value();
    } else if (arg == "--token") {
      options.tokens.push_back(value());
    } else if (arg == "--secret") {
      options.secret = value();
    } else if (arg == "--ttl") {
      try {
        options.ttl = std::chrono::seconds(std::stol(value()));
      } catch (const std::exception&) {
        usageError("bad --ttl");
      }
    } else {
      usageError("unknown argument " + arg);
    }
  }
  if (options.storage.empty()) usageError("--storage is required");
  if (options.tokens.empty()) usageError("at least one --token is required");

  // Signals are taken by sigwait below, not by whichever thread they hit.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  try {
    veltrano::uploadservice::UploadService service(options);
    service.start();
    std::cout << service.signedURLEndpoint() << std::endl;
    std::cerr << "veltrano-upload-service: storing objects in " << service.storage().string() << std::endl;
    int received = 0;
    sigwait(&signals, &received);
    service.stop();
  } catch (const std::exception& e) {
    std::cerr << "veltrano-upload-service: " << e.what() << std::endl;
    return 1;
  }
  return 0;
}
