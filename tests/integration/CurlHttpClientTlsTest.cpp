#include <curl/curl.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "integration/LoopbackServer.h"
#include "orvo/platform/CurlHttpClient.h"
#include "orvo/platform/Host.h"
#include "support/TestHost.h"

namespace orvo::test {
namespace {

struct KeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct CertificateFree {
  void operator()(X509* certificate) const { X509_free(certificate); }
};

// A self-signed certificate made here, never fetched: its own CA.
struct TestCertificate {
  std::unique_ptr<EVP_PKEY, KeyFree> key;
  std::unique_ptr<X509, CertificateFree> certificate;
  std::string pem;
};

void addExtension(X509* certificate, int nid, const char* value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
  if (!extension || !X509_add_ext(certificate, extension, -1)) {
    X509_EXTENSION_free(extension);
    throw std::runtime_error("cannot add a certificate extension");
  }
  X509_EXTENSION_free(extension);
}

TestCertificate makeCertificate(const char* subjectAltName) {
  TestCertificate made;
  made.key.reset(EVP_EC_gen("P-256"));
  made.certificate.reset(X509_new());
  X509* certificate = made.certificate.get();
  if (!made.key || !certificate) throw std::runtime_error("cannot make a key");
  X509_set_version(certificate, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(certificate), 1);
  X509_gmtime_adj(X509_getm_notBefore(certificate), -3600);
  X509_gmtime_adj(X509_getm_notAfter(certificate), 24 * 3600);
  X509_set_pubkey(certificate, made.key.get());
  X509_NAME* name = X509_get_subject_name(certificate);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("orvo loopback test"), -1, -1,
                             0);
  X509_set_issuer_name(certificate, name);
  addExtension(certificate, NID_basic_constraints, "critical,CA:TRUE");
  addExtension(certificate, NID_subject_alt_name, subjectAltName);
  if (!X509_sign(certificate, made.key.get(), EVP_sha256())) {
    throw std::runtime_error("cannot sign the certificate");
  }
  BIO* bio = BIO_new(BIO_s_mem());
  PEM_write_bio_X509(bio, certificate);
  char* data = nullptr;
  long length = BIO_get_mem_data(bio, &data);
  made.pem.assign(data, static_cast<std::size_t>(length));
  BIO_free(bio);
  return made;
}

std::unique_ptr<LoopbackServer> startTlsServer(const TestCertificate& certificate) {
  auto server = std::make_unique<LoopbackServer>(
      std::make_unique<httplib::SSLServer>(certificate.certificate.get(), certificate.key.get()));
  server->server().Post("/", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("secure", "text/plain");
  });
  server->start();
  return server;
}

HttpResult sendOnce(HttpClient& client, RunLoop& loop, const std::string& url) {
  HttpRequest request;
  request.url = url;
  request.body = "x";
  Answers answers;
  client.send(request, answers.collector());
  if (answers.waitFor(loop, 1)) return answers.results[0];
  ErrorInfo timedOut;
  timedOut.description = "no answer";
  return HttpResult{std::nullopt, timedOut};
}

CurlHttpClientOptions withCaFile(std::string path) {
  CurlHttpClientOptions options;
  options.caFile = std::move(path);
  return options;
}

void expectSecureAnswer(const HttpResult& result) {
  ASSERT_FALSE(result.error.has_value()) << result.error->description;
  ASSERT_TRUE(result.response.has_value());
  EXPECT_EQ(result.response->statusCode, 200);
  EXPECT_EQ(result.response->body, "secure");
}

void expectError(const HttpResult& result, CURLcode code) {
  ASSERT_TRUE(result.error.has_value());
  EXPECT_EQ(result.error->domain, kHttpTransportErrorDomain);
  EXPECT_EQ(result.error->code, static_cast<std::int64_t>(code)) << result.error->description;
  EXPECT_FALSE(result.response.has_value());
}

TEST(CurlHttpClientTls, TrustsTheExtraCaAndStillChecksTheHostName) {
  TempDir dir;
  const TestCertificate loopback = makeCertificate("IP:127.0.0.1,DNS:localhost");
  const TestCertificate elsewhere = makeCertificate("DNS:other.example");
  const std::string loopbackCa = dir.write("loopback.pem", loopback.pem);
  const std::string elsewhereCa = dir.write("elsewhere.pem", elsewhere.pem);
  auto secure = startTlsServer(loopback);
  auto misnamed = startTlsServer(elsewhere);
  LoopbackServer plain;
  plain.server().Post("/", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("plain", "text/plain");
  });
  plain.start();
  auto loop = std::make_shared<RunLoop>();

  // The system's CAs alone do not know the test certificate.
  CurlHttpClient byDefault(loop);
  expectError(sendOnce(byDefault, *loop, secure->url("/", "https")),
              CURLE_PEER_FAILED_VERIFICATION);

  CurlHttpClient trusting(loop, withCaFile(loopbackCa));
  expectSecureAnswer(sendOnce(trusting, *loop, secure->url("/", "https")));
  expectSecureAnswer(
      sendOnce(trusting, *loop, "https://localhost:" + std::to_string(secure->port()) + "/"));

  // A trusted certificate for another name is still refused.
  CurlHttpClient trustingOther(loop, withCaFile(elsewhereCa));
  expectError(sendOnce(trustingOther, *loop, misnamed->url("/", "https")),
              CURLE_PEER_FAILED_VERIFICATION);

  // An unreadable CA file fails TLS instead of quietly trusting less; plain
  // HTTP is not affected.
  CurlHttpClient missingCa(loop, withCaFile(dir.path() + "/missing.pem"));
  const HttpResult refused = sendOnce(missingCa, *loop, secure->url("/", "https"));
  ASSERT_TRUE(refused.error.has_value());
  EXPECT_EQ(refused.error->code, static_cast<std::int64_t>(CURLE_SSL_CACERT_BADFILE))
      << refused.error->description;
  const HttpResult plainAnswer = sendOnce(missingCa, *loop, plain.url("/"));
  ASSERT_TRUE(plainAnswer.response.has_value());
  EXPECT_EQ(plainAnswer.response->body, "plain");
}

TEST(CurlHttpClientTls, TheDesktopHostSendsWithItsCaFile) {
  TempDir dir;
  const TestCertificate loopback = makeCertificate("IP:127.0.0.1,DNS:localhost");
  auto secure = startTlsServer(loopback);
  auto loop = std::make_shared<RunLoop>();

  DesktopHostOptions options;
  options.bundleDirectory = dir.path();
  options.dataDirectory = dir.path() + "/data";
  options.keychainDirectory = dir.path() + "/keychain";
  options.caFile = dir.write("ca.pem", loopback.pem);
  options.mainQueue = loop;
  auto host = makeDesktopHost(options);
  ASSERT_NE(host->http, nullptr);
  expectSecureAnswer(sendOnce(*host->http, *loop, secure->url("/", "https")));
}

}  // namespace
}  // namespace orvo::test
