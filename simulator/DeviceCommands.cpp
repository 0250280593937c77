// The commands a running device answers on its control socket, one small
// function each, found by name.
#include <httplib.h>

#include "Input.h"
#include "Payload.h"
#include "Simulator.h"
#include "orvo/PushManagerInfo.h"

namespace orvo::sim {

const std::map<std::string, Simulator::Command>& Simulator::commands() {
  static const std::map<std::string, Command> table = {
      {"ping", &Simulator::ping},         {"status", &Simulator::status},
      {"events", &Simulator::events},     {"send", &Simulator::send},
      {"read", &Simulator::read},         {"badge", &Simulator::badge},
      {"state", &Simulator::state},       {"session", &Simulator::session},
      {"purchase", &Simulator::purchase}, {"unregister", &Simulator::unregister},
      {"push", &Simulator::push},         {"stop", &Simulator::stop},
      {"consent", &Simulator::consent},   {"doctor", &Simulator::doctor},
  };
  return table;
}

void Simulator::command(const Json& request, Reply reply) {
  const std::string name = request.is_object() ? request.value("command", "") : "";
  const auto found = commands().find(name);
  if (found == commands().end())
    return reply({{"ok", false}, {"error", "unknown command " + name}});
  // A request whose values are of the wrong type is refused, and the device
  // goes on.
  try {
    (this->*(found->second))(request, reply);
  } catch (const Json::exception& error) {
    reply({{"ok", false}, {"error", "bad request for " + name + ": " + error.what()}});
  }
}

std::function<void(bool)> Simulator::answer(const Reply& reply, std::string failure) {
  const long long mark = logMark();
  return [this, reply, mark, failure = std::move(failure)](bool ok) {
    reply(ok ? Json{{"ok", true}}
             : Json{{"ok", false}, {"error", failure + ": " + lastError(mark)}});
  };
}

void Simulator::ping(const Json&, const Reply& reply) { reply({{"ok", true}}); }

void Simulator::status(const Json&, const Reply& reply) {
  auto info = manager_->info();
  reply({{"ok", true},
         {"name", options_.name},
         {"psid", info ? info->pushServiceID() : ""},
         {"cuid", info ? info->clientUID() : ""},
         {"token", token_},
         {"state", state_},
         {"badge", phone_->applicationIconBadgeNumber()},
         {"registered", registered_},
         {"notifications", received_.size()},
         {"held", held_.size()}});
}

void Simulator::events(const Json&, const Reply& reply) {
  reply({{"ok", true}, {"events", received_}});
}

void Simulator::send(const Json& request, const Reply& reply) {
  const std::string to = request.value("to", "");
  const std::string text = request.value("text", "");
  std::optional<std::string> ext;
  if (request.contains("ext")) ext = request.value("ext", "");
  auto done = answer(reply, "send failed");
  if (!request.contains("reserve")) {
    manager_->send(Value(), to, text, std::nullopt, ext, done);
    return;
  }
  manager_->sendWithReserveDate(Value(), to, text, std::nullopt, request.value("reserve", ""), ext,
                                [done](bool ok, const std::optional<Dictionary>&) { done(ok); });
}

// The given message, else the newest one not read yet.
void Simulator::read(const Json& request, const Reply& reply) {
  const std::string seqno = request.value("seqno", "");
  for (auto it = received_.rbegin(); it != received_.rend(); ++it) {
    const auto& event = *it;
    if (seqno.empty() ? event["read"].get<bool>() : event["seqno"] != seqno) continue;
    auto payload = toDictionary(event["payload"]);
    const auto index = static_cast<std::size_t>(std::distance(it, received_.rend()) - 1);
    auto done = answer(reply, "read failed");
    manager_->read(Value(), *payload, [this, index, done](bool ok) {
      if (ok) received_[index]["read"] = true;
      done(ok);
    });
    return;
  }
  reply({{"ok", false},
         {"error", seqno.empty() ? "no unread message" : "no message with seqno " + seqno}});
}

void Simulator::badge(const Json& request, const Reply& reply) {
  const auto badge = request.value("badge", 0LL);
  phone_->setApplicationIconBadgeNumber(badge);
  manager_->update(Value(), Value(badge), answer(reply, "badge update failed"));
}

void Simulator::state(const Json& request, const Reply& reply) {
  const std::string state = request.value("state", "");
  if (state != "foreground" && state != "background" && state != "terminated")
    return reply({{"ok", false}, {"error", "state must be foreground, background or terminated"}});
  state_ = state;
  phone_->setApplicationState(state == "foreground" ? ApplicationState::Active
                                                    : ApplicationState::Background);
  print({{"event", "state"}, {"state", state}}, "application " + state);
  reportState();
  if (state != "terminated") {
    auto held = std::move(held_);
    held_.clear();
    for (const auto& payload : held) arrive(payload, "held");
  }
  reply({{"ok", true}});
}

void Simulator::session(const Json&, const Reply& reply) {
  auto info = manager_->info();
  auto done = answer(reply, "session report failed");
  manager_->updateSession(Value(), info ? info->clientUID() : "",
                          [done](bool ok, const std::optional<Value>&) { done(ok); });
}

void Simulator::purchase(const Json& request, const Reply& reply) {
  auto info = manager_->info();
  const long long mark = logMark();
  manager_->updatePurchase(Value(), request.value("id", ""), info ? info->clientUID() : "",
                           [this, reply, mark](bool ok, const std::optional<Value>& result) {
                             if (ok) return reply({{"ok", true}});
                             std::string why = "purchase report failed";
                             if (result && result->isDictionary())
                               why +=
                                   " (" + result->asDictionary()->get("message").stringOr("") + ")";
                             reply({{"ok", false}, {"error", why + ": " + lastError(mark)}});
                           });
}

void Simulator::unregister(const Json&, const Reply& reply) {
  auto done = answer(reply, "unregister failed");
  manager_->unregisterService(Value(), [this, done](bool ok) {
    if (ok) registered_ = false;
    done(ok);
  });
}

void Simulator::push(const Json& request, const Reply& reply) {
  std::string error;
  auto payload = checkPayload(request.value("payload", Json()).dump(), error);
  if (!payload) return reply({{"ok", false}, {"error", error}});
  arrive(*payload, "push");
  reply({{"ok", true}});
}

void Simulator::stop(const Json&, const Reply& reply) {
  reply({{"ok", true}});
  stopping_ = true;
  loop_->stop();
}

// Given: the device registers as at start; withdrawn: the answer waits for
// what the library cleared.
void Simulator::consent(const Json& request, const Reply& reply) {
  const bool given = request.at("given").get<bool>();
  if (!given) {
    withdrawalReply_ = reply;
    manager_->setConsentGiven(false);
    return;
  }
  manager_->setConsentGiven(true);
  if (!registered_) registerDevice();
  reply({{"ok", true}});
}

// The report also goes to the emulator, whose console shows it.
void Simulator::doctor(const Json&, const Reply& reply) { sendDoctorReport(Json(), reply); }

// The emulator's console asks through the gateway stream; the report says
// which request it answers.
void Simulator::fromGatewayControl(const std::string& type, const std::string& data) {
  JsonProblem problem;
  const auto event = parseInputJson(data, problem);
  const Json* request =
      event && event->is_object() && event->contains("request") ? &(*event)["request"] : nullptr;
  if (type != "doctor" || !request || !request->is_number_integer()) {
    print({{"event", "ignored"}, {"type", type}, {"data", data.substr(0, 80)}},
          "ignored gateway event " + type + ": " + data.substr(0, 80));
    return;
  }
  sendDoctorReport(*request, [this, request = *request](const Json& answer) {
    const bool sent = answer.value("sent_to_emulator", false);
    print({{"event", "doctor"}, {"request", request}, {"sent", sent}},
          "doctor report for request " + request.dump() +
              (sent ? " sent" : " not taken by the emulator"));
  });
}

void Simulator::sendDoctorReport(const Json& request, const Reply& reply) {
  manager_->diagnose([this, request, reply](const Dictionary& report, const std::string& text) {
    Json answer = {{"ok", true}, {"report", toJson(Value(report))}, {"text", text}};
    const std::string& psid = token_;
    if (!psid.empty()) {
      Json body = {{"psid", psid}, {"report", answer["report"]}, {"text", text}};
      if (!request.is_null()) body["request"] = request;
      httplib::Client client(options_.emulatorUrl);
      client.set_connection_timeout(1);
      client.set_read_timeout(2);
      auto sent = client.Post("/__admin/devices/doctor",
                              body.dump(-1, ' ', false, Json::error_handler_t::replace),
                              "application/json");
      answer["sent_to_emulator"] = sent && sent->status == 200;
    }
    reply(answer);
  });
}

}  // namespace orvo::sim
