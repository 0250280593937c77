// A shared manager on a host of doubles: a manifest in the bundle, a scripted
// HTTP client, the simulated phone, and a delegate that records what it hears.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "orvo/PushApplicationDelegate.h"
#include "orvo/PushManager.h"
#include "orvo/platform/HttpClient.h"
#include "orvo/testing/ReceiverEnvelope.h"
#include "orvo/testing/ScriptedHttpClient.h"
#include "support/Manifest.h"
#include "support/TestHost.h"

namespace orvo::test {

// A message the receiver sent: sequence number 7, key K7.
inline const Dictionary kMessage{{"aps", Dictionary{{"alert", "hi"}}},
                                 {"orv", Dictionary{{"seqno", "7"}, {"messageuniquekey", "K7"}}}};

// The connection refused, before any answer.
inline HttpResult refusedConnection() {
  return {{}, ErrorInfo{std::string(kHttpTransportErrorDomain), 7, "refused", {}}};
}

// The receiver's answer: a key to the auth-key request, `code` to the others.
inline HttpResult receiverAnswer(const HttpRequest& request, std::string_view code = "0000") {
  if (request.url.find("asking_authorization") != std::string::npos) {
    return ScriptedHttpClient::jsonAnswer(receiverEnvelope(Dictionary{{"AUTHKEY", "k"}}));
  }
  return ScriptedHttpClient::jsonAnswer(receiverEnvelope({}, code));
}

// The file names the requests went to, in order.
inline std::vector<std::string> endpointsOf(const ScriptedHttpClient& http) {
  std::vector<std::string> names;
  for (const auto& request : http.requests()) {
    names.push_back(request.url.substr(request.url.rfind('/') + 1));
  }
  return names;
}

// What the delegate was told, in order.
struct DelegateLog {
  std::vector<std::string> events;
  std::vector<std::shared_ptr<PushManagerInfo>> loaded;
  std::vector<std::string> tokens;
  std::vector<Dictionary> payloads;
};

class ManagerTest : public ::testing::Test {
 protected:
  explicit ManagerTest(ManifestOptions options = {}) {
    host.bundleDir.write("res/Manifest.xml", manifestXml(options));
    host.host->http = http;
    host.notifications->setApplication(application);
    // The log server takes every record; receiver answers are scripted.
    http->setResponder([](const HttpRequest& request) {
      if (request.url.find("putAppLog.ctl") != std::string::npos) {
        return ScriptedHttpClient::jsonAnswer(receiverEnvelope());
      }
      return HttpResult{{}, ErrorInfo{"test", -1, "unscripted receiver call", {}}};
    });
  }

  std::shared_ptr<PushManager> started() {
    auto manager = PushManager::defaultManager();
    host.runLoop->runUntilIdle();
    return manager;
  }

  // A delegate with the newer notification operation (and the older one
  // when asked).
  std::shared_ptr<PushManagerDelegate> recordingDelegate(bool older = false, bool newer = true) {
    auto delegate = std::make_shared<PushManagerDelegate>();
    auto log = delegateLog;
    delegate->didLoadPushInfo = [log](PushManager&, const std::shared_ptr<PushManagerInfo>& info) {
      log->events.push_back("loaded");
      log->loaded.push_back(info);
    };
    delegate->managerDidRegisterForRemoteNotifications = [log](PushManager&, const Dictionary& u) {
      log->events.push_back("token");
      log->tokens.push_back(u.get("token").stringOr("?"));
    };
    delegate->didFailToRegisterForRemoteNotificationsWithError = [log](PushManager&,
                                                                       const ErrorInfo& e) {
      log->events.push_back("failed:" + std::to_string(e.code));
    };
    if (newer) {
      delegate->didReceiveUserNotification = [log](PushManager&, const Dictionary& payload,
                                                   const std::string& status,
                                                   const std::string& uid) {
        log->events.push_back("user:" + status + (uid.rfind("M_", 0) == 0 ? "" : ":bad-uid"));
        log->payloads.push_back(payload);
      };
    }
    if (older) {
      delegate->didReceiveRemoteNotification = [log](PushManager&, const Dictionary& payload,
                                                     const std::string& status) {
        log->events.push_back("remote:" + status);
        log->payloads.push_back(payload);
      };
    }
    return delegate;
  }

  void drain() {
    host.notifications->waitForPlatformIdle();
    host.runLoop->runUntilIdle();
    host.notifications->waitForPlatformIdle();
    host.runLoop->runUntilIdle();
  }

  TestHost host;
  std::shared_ptr<ScriptedHttpClient> http = std::make_shared<ScriptedHttpClient>(host.runLoop);
  std::shared_ptr<PushApplicationDelegate> application =
      std::make_shared<PushApplicationDelegate>();
  std::shared_ptr<DelegateLog> delegateLog = std::make_shared<DelegateLog>();
};

}  // namespace orvo::test
