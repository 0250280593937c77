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

// A self-signed certificate made here, never fetched: its own CA.
struct TestCertificate {
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key{EVP_EC_gen("P-256"), EVP_PKEY_free};
  std::unique_ptr<X509, decltype(&X509_free)> certificate{X509_new(), X509_free};
  std::string pem;
};

void addExtension(X509* certificate, int nid, const char* value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
  const bool added = extension && X509_add_ext(certificate, extension, -1);
  X509_EXTENSION_free(extension);
  if (!added) throw std::runtime_error("cannot add a certificate extension");
}

TestCertificate makeCertificate(const char* subjectAltName) {
  TestCertificate made;
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
  const long length = BIO_get_mem_data(bio, &data);
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
  EXPECT_TRUE(answers.waitFor(loop, 1)) << url;
  return answers.results.empty() ? HttpResult{} : answers.results[0];
}

void expectAnswer(const HttpResult& result, const std::string& body = "secure") {
  ASSERT_FALSE(result.error) << result.error->description;
  ASSERT_TRUE(result.response);
  EXPECT_EQ(result.response->statusCode, 200);
  EXPECT_EQ(result.response->body, body);
}

void expectError(const HttpResult& result, CURLcode code) {
  ASSERT_TRUE(result.error);
  EXPECT_EQ(result.error->domain, kHttpTransportErrorDomain);
  EXPECT_EQ(result.error->code, static_cast<std::int64_t>(code)) << result.error->description;
  EXPECT_FALSE(result.response);
}

TEST(CurlHttpClientTls, TrustsTheExtraCaAndStillChecksTheHostName) {
  TempDir dir;
  const TestCertificate loopback = makeCertificate("IP:127.0.0.1,DNS:localhost");
  const TestCertificate elsewhere = makeCertificate("DNS:other.example");
  auto secure = startTlsServer(loopback);
  auto misnamed = startTlsServer(elsewhere);
  LoopbackServer plain;
  plain.server().Post("/", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("plain", "text/plain");
  });
  plain.start();
  auto loop = std::make_shared<RunLoop>();
  const std::string secureUrl = secure->url("/", "https");
  auto trusting = [&](const std::string& caFile) {
    CurlHttpClientOptions options;
    options.caFile = caFile;
    return std::make_unique<CurlHttpClient>(loop, options);
  };

  // The system's CAs alone do not know the test certificate.
  expectError(sendOnce(*trusting(""), *loop, secureUrl), CURLE_PEER_FAILED_VERIFICATION);
  auto client = trusting(dir.write("loopback.pem", loopback.pem));
  expectAnswer(sendOnce(*client, *loop, secureUrl));

  // A trusted certificate for another name is still refused.
  expectError(sendOnce(*trusting(dir.write("elsewhere.pem", elsewhere.pem)), *loop,
                       misnamed->url("/", "https")),
              CURLE_PEER_FAILED_VERIFICATION);

  // An unreadable CA file fails TLS instead of quietly trusting less; plain
  // HTTP is not affected.
  client = trusting(dir.path() + "/missing.pem");
  expectError(sendOnce(*client, *loop, secureUrl), CURLE_SSL_CACERT_BADFILE);
  expectAnswer(sendOnce(*client, *loop, plain.url("/")), "plain");

  // The desktop host hands its CA file to its client.
  DesktopHostOptions options;
  options.bundleDirectory = dir.path();
  options.dataDirectory = dir.path() + "/data";
  options.keychainDirectory = dir.path() + "/keychain";
  options.caFile = dir.path() + "/loopback.pem";
  options.mainQueue = loop;
  auto host = makeDesktopHost(options);
  ASSERT_NE(host->http, nullptr);
  expectAnswer(sendOnce(*host->http, *loop, secureUrl));
}

}  // namespace
}  // namespace orvo::test
