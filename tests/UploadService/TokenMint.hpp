#pragma once

// ID tokens the tests mint themselves: RSA keys with self-signed X.509
// certificates (OpenSSL), tokens signed with libjwt, unsigned tokens as
// the identity emulator writes them, and a loopback HTTP server that
// publishes certificates the way the identity service does.

#include <httplib.h>
#include <jwt.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

namespace veltrano::testing {

inline std::string base64Url(const std::string& bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int length =
      EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                      reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
  out.resize(static_cast<std::size_t>(length));
  while (!out.empty() && out.back() == '=') out.pop_back();
  for (char& c : out) c = c == '+' ? '-' : c == '/' ? '_' : c;
  return out;
}

inline std::string bioText(BIO* bio) {
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio, &data);
  return {data, static_cast<std::size_t>(size)};
}

// An RSA key pair and a self-signed certificate for its public half.
struct SigningKey {
  std::string privatePem;
  std::string publicPem;
  std::string certificatePem;

  static SigningKey generate() {
    const std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_RSA_gen(2048), &EVP_PKEY_free);
    const std::unique_ptr<X509, decltype(&X509_free)> certificate(X509_new(), &X509_free);
    if (!key || !certificate) throw std::runtime_error("cannot make a key");
    ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), 1);
    X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 86400);
    X509_set_pubkey(certificate.get(), key.get());
    X509_NAME* name = X509_get_subject_name(certificate.get());
    X509_NAME_add_entry_by_txt(
        name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("test signer"), -1, -1, 0);
    X509_set_issuer_name(certificate.get(), name);
    if (X509_sign(certificate.get(), key.get(), EVP_sha256()) == 0) throw std::runtime_error("cannot sign");
    SigningKey out;
    const std::unique_ptr<BIO, decltype(&BIO_free)> a(BIO_new(BIO_s_mem()), &BIO_free),
        b(BIO_new(BIO_s_mem()), &BIO_free), c(BIO_new(BIO_s_mem()), &BIO_free);
    PEM_write_bio_PrivateKey(a.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr);
    PEM_write_bio_PUBKEY(b.get(), key.get());
    PEM_write_bio_X509(c.get(), certificate.get());
    out.privatePem = bioText(a.get());
    out.publicPem = bioText(b.get());
    out.certificatePem = bioText(c.get());
    return out;
  }
};

inline std::int64_t unixSeconds(std::chrono::seconds offset = {}) {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch() + offset)
      .count();
}

// The claims of a good token for `project` and `user`, issued just now,
// nested as the identity service nests them (its "firebase" claim holds
// arrays inside objects).
inline nlohmann::json goodClaims(const std::string& project, const std::string& user) {
  const auto now = unixSeconds();
  return {{"iss", "https://securetoken.google.com/" + project},
          {"aud", project},
          {"sub", user},
          {"user_id", user},
          {"iat", now},
          {"auth_time", now - 10},
          {"exp", now + 3600},
          {"firebase", {{"identities", {{"email", {user + "@example.org"}}}}, {"sign_in_provider", "password"}}}};
}

// A token signed by libjwt with `alg` and `key` (a PEM private key for
// RS256, any bytes as the HMAC secret for HS256); `kid` empty: none.
inline std::string signedToken(jwt_alg_t alg, const std::string& key, const std::string& kid,
                               const nlohmann::json& claims) {
  jwt_t* raw = nullptr;
  if (jwt_new(&raw) != 0) throw std::runtime_error("jwt_new");
  const std::unique_ptr<jwt_t, decltype(&jwt_free)> jwt(raw, &jwt_free);
  if (!kid.empty()) jwt_add_header(jwt.get(), "kid", kid.c_str());
  jwt_add_grants_json(jwt.get(), claims.dump().c_str());
  if (jwt_set_alg(jwt.get(), alg, reinterpret_cast<const unsigned char*>(key.data()), static_cast<int>(key.size())) !=
      0)
    throw std::runtime_error("jwt_set_alg");
  char* text = jwt_encode_str(jwt.get());
  if (!text) throw std::runtime_error("jwt_encode_str");
  std::string out = text;
  std::free(text);
  return out;
}

// As the identity emulator writes them: header {"alg":"none"}, no signature.
inline std::string unsignedToken(const nlohmann::json& claims,
                                 const nlohmann::json& header = {{"alg", "none"}, {"typ", "JWT"}}) {
  return base64Url(header.dump()) + "." + base64Url(claims.dump()) + ".";
}

// Publishes {kid: certificate PEM} with a Cache-Control max-age, and counts
// the fetches.
class CertificateServer {
 public:
  CertificateServer() {
    server_.Get("/certs", [this](const httplib::Request&, httplib::Response& response) {
      ++fetches_;
      std::lock_guard lock(mutex_);
      response.set_header("Cache-Control", "public, max-age=3600, must-revalidate, no-transform");
      response.set_content(nlohmann::json(certificates_).dump(), "application/json; charset=UTF-8");
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~CertificateServer() {
    server_.stop();
    thread_.join();
  }
  CertificateServer(const CertificateServer&) = delete;

  void publish(const std::string& kid, const std::string& certificatePem) {
    std::lock_guard lock(mutex_);
    certificates_[kid] = certificatePem;
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/certs"; }
  int fetches() const { return fetches_; }

 private:
  httplib::Server server_;
  std::thread thread_;
  int port_ = 0;
  std::atomic<int> fetches_{0};
  std::mutex mutex_;
  std::map<std::string, std::string> certificates_;
};

}  // namespace veltrano::testing
