// The parts of Service that its two files share: Service.cpp serves the
// emulated servers, Admin.cpp the admin API.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Faults.h"
#include "Gateway.h"
#include "Journal.h"
#include "Receiver.h"
#include "Service.h"
#include "State.h"

namespace orvo::emulator {

HttpResponse jsonResponse(const Json& json, int status = 200);
HttpResponse errorResponse(int status, const std::string& message);
// The journal keeps every request, so it keeps only the head of a long value.
std::string shortened(const std::string& text);
// A receiver's refusal (40000) with the note that says why.
Answer refusedEnvelope(const std::string& note);

struct Service::Impl {
  explicit Impl(EmulatorOptions o);

  EmulatorOptions options;
  State state;
  Gateway gateway;
  Receiver receiver;
  Faults faults;
  Journal journal;
  // Application state as the simulated devices report it, by push service
  // ID; guarded by state.mutex.
  std::map<std::string, std::string> appStates;
  // The last push-doctor report each device sent, by push service ID;
  // guarded by state.mutex.
  struct DoctorReport {
    std::string text;
    Json report;          // null when the device sent only the text
    std::int64_t at = 0;  // ms on the emulator's clock
    Json request;         // the request number it answers; null when unasked
  };
  std::map<std::string, DoctorReport> doctorReports;
  // The numbers the console's requests for a fresh report carry.
  std::atomic<std::int64_t> doctorRequests{0};
  bool flushFailed = false;  // guarded by state.mutex
  std::chrono::steady_clock::time_point nextPrune;
  // "host:port" texts an admin request's Host may hold, lower case.
  std::vector<std::string> hostNames;

  // --- Service.cpp ---
  HttpResponse route(const HttpRequest& request);
  // Refuses what a page of another site could make; nullopt lets it in.
  std::optional<HttpResponse> door(const HttpRequest& request, bool console);
  // A call to one of the emulated servers: faults, the journal.
  // `handle` may run after the request is gone (a latency fault): it owns what it uses.
  HttpResponse serve(const HttpRequest& request, const std::string& endpoint, const Form& form,
                     std::function<Answer()> handle);
  Answer guarded(const std::function<Answer()>& handle);
  HttpResponse finish(Json entry, const Answer& answer, HttpResponse response, bool answered,
                      std::chrono::steady_clock::time_point started);
  HttpResponse receiverCall(const HttpRequest& request, const std::string& endpoint);
  HttpResponse report(const HttpRequest& request);
  Answer handleLog(const std::string& body);
  Answer handleReport(const std::string& path, const Json& report);
  HttpResponse image(const HttpRequest& request);
  HttpResponse gatewayDevices(const HttpRequest& request);
  HttpResponse gatewayStream(const HttpRequest& request);
  HttpResponse console(const HttpRequest& request);
  HttpResponse metrics();
  // A journal entry for each device whose full queue let payloads go.
  void recordDrops();

  // --- Admin.cpp ---
  HttpResponse admin(const HttpRequest& request);
  HttpResponse requests(const HttpRequest& request, const Json& body);
  HttpResponse devices();
  HttpResponse devicesState(const Json& body);
  HttpResponse devicesDoctor(const HttpRequest& request, const Json& body);
  HttpResponse askDoctor(const Json& body);
  HttpResponse groups();
  HttpResponse messages(const HttpRequest& request);
  HttpResponse apps(const HttpRequest& request, const Json& body);
  HttpResponse settings(const Json& body);
  HttpResponse send(const Json& body);
  HttpResponse faultRules(const HttpRequest& request, const Json& body);
  HttpResponse clock(const HttpRequest& request, const Json& body);
  HttpResponse reset(const Json& body);
  HttpResponse snapshot(const HttpRequest& request, Json body);
  Json deliveriesOf(long long seqno);
};

}  // namespace orvo::emulator
