// veltrano-upload-service: the reference signed-URL endpoint, with its own
// object store or in front of S3-compatible storage, for development, the
// run command, end-to-end tests and small deployments.

#include "IdTokenVerifier.hpp"
#include "SigningCertificates.hpp"
#include "UploadService.hpp"

#include <curl/curl.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>

namespace {

using veltrano::uploadservice::UploadServiceOptions;

constexpr const char* kUsage =
    "usage: veltrano-upload-service (--storage DIR | --s3-endpoint URL --s3-bucket NAME)\n"
    "                               (--auth-project ID [--auth-emulator | --auth-certs-url URL] | --token TOKEN)\n"
    "                               [options]\n"
    "\n"
    "Who may ask (at least one of the two):\n"
    "  --auth-project ID     check the identity service's ID tokens for this project: RS256,\n"
    "                        signed with its published certificates; aud, iss, exp, iat,\n"
    "                        auth_time and sub checked; the token's sub must be the userId\n"
    "  --auth-certs-url URL  where the signing certificates are published (default the\n"
    "                        identity service's own)\n"
    "  --auth-emulator       accept the identity emulator's unsigned tokens instead, and only\n"
    "                        them; needs a project id starting with \"demo-\"\n"
    "  --token TOKEN         a shared static bearer token (repeatable), naming no user: for\n"
    "                        the native side's own tests\n"
    "\n"
    "Where clips go (one of the two):\n"
    "  --storage DIR         the embedded store: objects under DIR, uploaded with PUT URLs this\n"
    "                        service signs (HMAC-SHA256) and checks itself\n"
    "  --s3-endpoint URL     S3-compatible storage, e.g. https://s3.eu-central-1.amazonaws.com;\n"
    "                        upload URLs are SigV4-presigned, keys from AWS_ACCESS_KEY_ID,\n"
    "                        AWS_SECRET_ACCESS_KEY and AWS_SESSION_TOKEN (when set)\n"
    "  --s3-bucket NAME      the bucket\n"
    "  --s3-region REGION    its region (default us-east-1)\n"
    "  --s3-path-style       https://endpoint/bucket/key rather than https://bucket.endpoint/key\n"
    "\n"
    "Options:\n"
    "  --listen HOST:PORT    address to serve on (default 127.0.0.1:0; port 0 picks a free one,\n"
    "                        IPv6 as [::1]:PORT)\n"
    "  --public-url URL      scheme, host and port of the embedded store's upload URLs when\n"
    "                        clients reach the service through another address (default: the\n"
    "                        listen address)\n"
    "  --secret SECRET       the embedded store's URL signing secret (default: random per run)\n"
    "  --ttl SECONDS         lifetime of an upload URL, 1 to 604800 (default 900)\n"
    "  --sessions FILE       the sessions the web app offers (default: a built-in sample)\n"
    "  --allow-origin ORIGIN the one page origin allowed to call the sessions API\n"
    "                        (default app://local, the app's own page)\n"
    "  --test-controls       serve the /control/* fault endpoints to loopback clients (tests)\n"
    "\n"
    "The first line on stdout is the signed-URL endpoint, the value for the key\n"
    "VeltranoAnswerVideoSignedURLRequestURL in Info.json. One line per request goes to\n"
    "stderr. SIGINT or SIGTERM stops it once the requests in flight are answered.\n";

[[noreturn]] void usageError(const std::string& message) {
  std::cerr << "veltrano-upload-service: " << message << "\n\n" << kUsage;
  std::exit(2);
}

void parseListen(const std::string& value, UploadServiceOptions& options) {
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

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

}  // namespace

int main(int argc, char** argv) {
  UploadServiceOptions options;
  std::string authProject, certificatesURL, sessionsFile;
  bool emulator = false;
  veltrano::uploadservice::S3Options s3;
  bool s3Region = false, pathStyle = false, publicURL = false, secret = false;
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
      publicURL = true;
    } else if (arg == "--storage") {
      options.storage = value();
    } else if (arg == "--token") {
      options.tokens.push_back(value());
      if (options.tokens.back().empty()) usageError("--token must not be empty");
    } else if (arg == "--secret") {
      options.secret = value();
      secret = true;
    } else if (arg == "--ttl") {
      const std::string text = value();
      try {
        std::size_t used = 0;
        options.ttl = std::chrono::seconds(std::stol(text, &used));
        if (used != text.size()) throw std::invalid_argument(text);
      } catch (const std::exception&) {
        usageError("bad --ttl " + text);
      }
      if (options.ttl.count() < 1 || options.ttl.count() > 604800) usageError("--ttl is 1 to 604800 seconds");
    } else if (arg == "--auth-project") {
      authProject = value();
    } else if (arg == "--auth-emulator") {
      emulator = true;
    } else if (arg == "--auth-certs-url") {
      certificatesURL = value();
    } else if (arg == "--sessions") {
      sessionsFile = value();
    } else if (arg == "--allow-origin") {
      options.allowOrigin = value();
    } else if (arg == "--test-controls") {
      options.testControls = true;
    } else if (arg == "--s3-endpoint") {
      s3.endpoint = value();
    } else if (arg == "--s3-bucket") {
      s3.bucket = value();
    } else if (arg == "--s3-region") {
      s3.region = value();
      s3Region = true;
    } else if (arg == "--s3-path-style") {
      pathStyle = true;
    } else {
      usageError("unknown argument " + arg);
    }
  }

  const bool useS3 = !s3.endpoint.empty() || !s3.bucket.empty() || s3Region || pathStyle;
  if (useS3) {
    if (s3.endpoint.empty() || s3.bucket.empty()) usageError("S3 storage needs --s3-endpoint and --s3-bucket");
    if (!options.storage.empty()) usageError("--storage and --s3-* exclude each other");
    if (publicURL || secret) usageError("--public-url and --secret belong to the embedded store (--storage)");
    s3.pathStyle = pathStyle;
    s3.credentials = {
        environment("AWS_ACCESS_KEY_ID"), environment("AWS_SECRET_ACCESS_KEY"), environment("AWS_SESSION_TOKEN")};
    if (s3.credentials.accessKeyId.empty() || s3.credentials.secretAccessKey.empty())
      usageError("S3 storage needs AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY in the environment");
    options.s3 = s3;
  } else if (options.storage.empty()) {
    usageError("--storage DIR or --s3-endpoint URL --s3-bucket NAME is required");
  }
  if ((emulator || !certificatesURL.empty()) && authProject.empty())
    usageError("--auth-emulator and --auth-certs-url need --auth-project");
  if (emulator && !certificatesURL.empty()) usageError("--auth-emulator and --auth-certs-url exclude each other");
  if (authProject.empty() && options.tokens.empty()) usageError("--auth-project or at least one --token is required");

  // Signals are taken by sigwait below, not by whichever thread they hit.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
  curl_global_init(CURL_GLOBAL_DEFAULT);

  try {
    if (!sessionsFile.empty()) {
      std::ifstream in(sessionsFile);
      if (!in) throw std::runtime_error("cannot read " + sessionsFile);
      std::stringstream text;
      text << in.rdbuf();
      options.sessions = veltrano::uploadservice::SessionCatalog::fromJson(text.str());
    }
    using veltrano::uploadservice::IdTokenVerifier;
    using veltrano::uploadservice::SigningCertificates;
    if (emulator) {
      options.idTokens = std::make_shared<const IdTokenVerifier>(IdTokenVerifier::forEmulator(authProject));
    } else if (!authProject.empty()) {
      options.idTokens = std::make_shared<const IdTokenVerifier>(
          authProject, std::make_shared<SigningCertificates>(certificatesURL.empty()
                                                                 ? veltrano::uploadservice::kDefaultCertificatesURL
                                                                 : certificatesURL));
    }
    veltrano::uploadservice::UploadService service(options);
    service.start();
    std::cout << service.signedURLEndpoint() << std::endl;
    std::cerr << "veltrano-upload-service: "
              << (useS3 ? "clips go to bucket " + s3.bucket + " at " + s3.endpoint
                        : "storing objects in " + service.storage().string())
              << (authProject.empty() ? std::string()
                                      : "; ID tokens of project " + authProject + (emulator ? " (emulator)" : ""))
              << std::endl;
    int received = 0;
    sigwait(&signals, &received);
    service.stop();
  } catch (const std::exception& e) {
    std::cerr << "veltrano-upload-service: " << e.what() << std::endl;
    curl_global_cleanup();
    return 1;
  }
  curl_global_cleanup();
  return 0;
}
