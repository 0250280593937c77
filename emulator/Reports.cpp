// The session-and-purchase server and the log server: what the library
// reports, stored as it came once it is checked.
#include "Input.h"
#include "Limits.h"
#include "ServiceImpl.h"

namespace orvo::emulator {
namespace {

// The message quotes what the client sent, which need not be UTF-8.
std::string refusal(const std::string& message) {
  return Json{{"code", "400"}, {"message", message}}.dump(-1, ' ', false,
                                                          Json::error_handler_t::replace);
}

}  // namespace
Answer Service::Impl::handleLog(const std::string& text) {
  if (text.size() > limits::kDocument)
    return refusedEnvelope("putAppLog.ctl: log is longer than " +
                           std::to_string(limits::kDocument) + " bytes");
  std::string error;
  const auto record = parseJson(text, error, "log");
  if (!record || !record->is_object())
    return refusedEnvelope("putAppLog.ctl: " + (record ? "log is not a JSON object" : error));
  {
    std::lock_guard lock(state.mutex);
    state.db.run("INSERT INTO logs(at, record) VALUES(?,?)", {state.nowMs(), record->dump()});
  }
  Answer answer = envelopeAnswer(result::kSuccess);
  for (const char* key :
       {"lib-version", "deviceid", "cuid", "psid", "time", "retry count", "error"})
    if (!record->contains(key))
      answer.notes.push_back(std::string("putAppLog.ctl: record without ") + key);
  return answer;
}

HttpResponse Service::Impl::report(const HttpRequest& request) {
  const std::string& path = request.path;
  std::string error;
  std::optional<Json> body;
  if (request.body.size() > limits::kDocument)
    error = "the report is larger than " + std::to_string(limits::kDocument) + " bytes";
  else
    body = parseJson(request.body, error);
  Form form;
  if (body && body->is_object())
    for (const auto& [key, value] : body->items()) {
      if (form.size() >= limits::kFormFields) break;
      form[key] = shortened(value.is_string() ? value.get<std::string>() : value.dump());
    }
  // Reports name the user in lower case; let fault selectors find it.
  if (form.count("cuid")) form["CUID"] = form["cuid"];
  return serve(request, path.substr(1), form, [=, this] {
    if (!body) {
      Answer answer;
      answer.status = 400;
      answer.body = refusal(error);
      answer.notes.push_back(path + ": " + error);
      return answer;
    }
    return handleReport(path, *body);
  });
}

Answer Service::Impl::handleReport(const std::string& path, const Json& report) {
  Answer answer;
  auto refuse = [&](const std::string& message) {
    answer.status = 400;
    answer.body = refusal(message);
    answer.notes.push_back(path + ": " + message);
    return answer;
  };
  if (!report.is_object()) return refuse("the body is not a JSON object");
  const bool session = path == "/mobile/last-session";
  const std::vector<std::string> required =
      session ? std::vector<std::string>{"appId", "cuid"} : std::vector<std::string>{"id", "cuid"};
  for (const auto& key : required) {
    if (!report.contains(key) || !report[key].is_string())
      return refuse("missing " + key + " (a string)");
    if (report[key].get_ref<const std::string&>().size() > limits::kName)
      return refuse(key + " is longer than " + std::to_string(limits::kName) + " bytes");
  }
  std::lock_guard lock(state.mutex);
  if (!session &&
      !state.db
           .query("SELECT 1 FROM reports WHERE kind='purchase' AND purchase_id=? AND cuid=?",
                  {report["id"], report["cuid"]})
           .empty())
    answer.notes.push_back(path + ": purchase " + report["id"].get<std::string>() +
                           " was already reported");
  state.db.run(
      "INSERT INTO reports(kind, app_id, cuid, purchase_id, body, at) VALUES(?,?,?,?,?,?)",
      {session ? "session" : "purchase", session ? report["appId"] : Json(nullptr), report["cuid"],
       session ? Json(nullptr) : report["id"], report.dump(), state.nowMs()});
  answer.body = Json{{"result", "ok"}, {"id", state.db.lastInsertId()}}.dump();
  return answer;
}

}  // namespace orvo::emulator
