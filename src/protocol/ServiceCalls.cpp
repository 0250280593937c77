// Registering the device's push service, asking whether it is registered,
// reporting once a day that the application is alive, and removing the
// registration.
#include <string>

#include "orvo/ReceiverProtocol.h"
#include "protocol/Operations.h"

namespace orvo {
namespace {

using protocol::Ending;
using protocol::Op;

constexpr std::string_view kPolicyUser = "user";
constexpr std::string_view kPolicyDevice = "device";

constexpr std::string_view kIsRegisteredKey = "ISREGISTERED";
constexpr std::string_view kNotRegistered = "N";
constexpr std::string_view kRegistered = "Y";
constexpr std::string_view kClientChanged = "C";

constexpr std::string_view kNotRegisteredLine = "Register Service";
constexpr std::string_view kClientChangedLine =
    "ClientID is changed in the XELT Server, so you need to register a user with %@";

Date startOfToday(const std::shared_ptr<const Host>& host) {
  if (host && host->clock) return host->clock->startOfToday();
  return SystemClock().startOfToday();
}

const std::string* registeredAnswer(const std::optional<Dictionary>& body) {
  return body ? body->getString(kIsRegisteredKey) : nullptr;
}

}  // namespace

void ReceiverProtocol::registerService(ReceiverHandler completion) {
  run(Op::registerService, {.end = std::move(completion)});
}

void ReceiverProtocol::getRegisteredService(ReceiverHandler completion) {
  const Date today = startOfToday(host_);
  ReceiverHandler end = completion;
  run(Op::getRegisteredService,
      {.end = std::move(end),
       // Under the user policy, once a day.
       .check = [today](const PushManagerInfo& record) -> std::optional<Ending> {
         if (record.policy() != kPolicyUser || record.pushServiceLastDate() < today) {
           return std::nullopt;
         }
         return Ending{.success = true};
       },
       .answer =
           [today, completion = std::move(completion)](
               ReceiverProtocol& self, const std::shared_ptr<PushManagerInfo>& record,
               const std::optional<Dictionary>& body, const std::optional<ErrorInfo>& error) {
             if (error) {
               self.logLine(protocol::operation(Op::getRegisteredService).errorLine,
                            {error->description});
               if (completion) completion(false, error);
               return;
             }
             const std::string* answer = registeredAnswer(body);
             if (answer && *answer == kNotRegistered) {
               if (record->policy() == kPolicyDevice) {
                 record->setClientUID(std::string(receiver_keys::kGuest));
                 record->setClientName(std::string(receiver_keys::kGuest));
               }
               self.logLine(kNotRegisteredLine);
               if (completion) completion(false, std::nullopt);
               return;
             }
             if (answer && *answer == kClientChanged) {
               self.logLine(kClientChangedLine, {record->clientUID()});
             }
             record->setPushServiceLastDate(today);
             if (completion) completion(true, std::nullopt);
           }});
}

void ReceiverProtocol::getRegisteredServiceFromApp(ReceiverHandler completion) {
  ReceiverHandler end = completion;
  run(Op::getRegisteredServiceFromApp,
      {.end = std::move(end),
       .answer = [completion = std::move(completion)](
                     ReceiverProtocol& self, const std::shared_ptr<PushManagerInfo>&,
                     const std::optional<Dictionary>& body, const std::optional<ErrorInfo>& error) {
         if (error) {
           self.logLine(protocol::operation(Op::getRegisteredServiceFromApp).errorLine,
                        {error->description});
           if (completion) completion(false, error);
           return;
         }
         const std::string* answer = registeredAnswer(body);
         if (completion) completion(answer && *answer == kRegistered, std::nullopt);
       }});
}

void ReceiverProtocol::callAppAlive(ReceiverHandler completion) {
  const Date today = startOfToday(host_);
  ReceiverHandler end = completion;
  run(Op::callAppAlive,
      {.end = std::move(end),
       // Once a day; every process start counts as a new day.
       .check = [today](const PushManagerInfo& record) -> std::optional<Ending> {
         auto last = record.appAliveLastDate();
         if (!last || *last < today) return std::nullopt;
         return Ending{.success = true};
       },
       .answer =
           [today, completion = std::move(completion)](
               ReceiverProtocol&, const std::shared_ptr<PushManagerInfo>& record,
               const std::optional<Dictionary>&, const std::optional<ErrorInfo>& error) {
             if (!error) record->setAppAliveLastDate(today);
             if (completion) completion(!error, error);
           }});
}

void ReceiverProtocol::unregisterService(ReceiverHandler completion) {
  run(Op::unregisterService, {.end = std::move(completion)});
}

}  // namespace orvo
