// Attaching a user to the device's registration and detaching it, the user's
// groups, and service and user registered in one exchange.
#include <string>

#include "orvo/ReceiverProtocol.h"
#include "protocol/Operations.h"

namespace orvo {
namespace {

using protocol::Op;

constexpr std::int64_t kAuthKeyRefused = 40100;

// What a user reset leaves in the record.
constexpr std::string_view kNoPhoneNumber = "00000000000";

}  // namespace

void ReceiverProtocol::registerServiceAndUser(ReceiverBodyHandler completion) {
  registerServiceAndUserAttempt(std::move(completion), 1);
}

void ReceiverProtocol::registerServiceAndUserAttempt(ReceiverBodyHandler completion, int attempt) {
  ReceiverHandler end = protocol::withoutBody(completion);
  run(Op::registerServiceAndUser,
      {.end = std::move(end),
       .answer = [attempt, completion = std::move(completion)](
                     ReceiverProtocol& self, const std::shared_ptr<PushManagerInfo>& record,
                     const std::optional<Dictionary>& body, const std::optional<ErrorInfo>& error) {
         if (!error) {
           if (completion) completion(true, std::nullopt, body.value_or(Dictionary{}));
           return;
         }
         if (error->code == kAuthKeyRefused) {
           record->setAuthKey(std::nullopt);
           // Each attempt asks a fresh key; a server that keeps refusing it
           // ends the repetition with its last answer.
           if (attempt < kMaxRegisterServiceAndUserAttempts) {
             self.registerServiceAndUserAttempt(completion, attempt + 1);
             return;
           }
         }
         record->setPushServiceLastDate(std::nullopt);
         if (completion) completion(false, error, std::nullopt);
       }});
}

void ReceiverProtocol::registerUser(ReceiverHandler completion) {
  ReceiverHandler end = completion;
  run(Op::registerUser,
      {.end = std::move(end),
       .answer = [completion = std::move(completion)](
                     ReceiverProtocol& self, const std::shared_ptr<PushManagerInfo>& record,
                     const std::optional<Dictionary>&, const std::optional<ErrorInfo>& error) {
         if (!error) {
           if (completion) completion(true, std::nullopt);
           return;
         }
         if (error->code == kAuthKeyRefused) {
           // The registered-service query decides what the caller hears; the
           // user is not sent again.
           record->setAuthKey(std::nullopt);
           self.getRegisteredService(completion);
           return;
         }
         record->setPushServiceLastDate(std::nullopt);
         if (completion) completion(false, error);
       }});
}

void ReceiverProtocol::unregisterUser(ReceiverHandler completion) {
  run(Op::unregisterUser, {.end = std::move(completion),
                           // The reset stands whatever the server answers.
                           .prepare = [](PushManagerInfo& record) {
                             record.setClientUID(std::string(receiver_keys::kGuest));
                             record.setClientName(std::string(receiver_keys::kGuest));
                             record.setPhoneNumber(std::string(kNoPhoneNumber));
                             record.setGroupSequenceNumber(std::nullopt);
                           }});
}

void ReceiverProtocol::registerGroup(ReceiverHandler completion) {
  run(Op::registerGroup, {.end = std::move(completion)});
}

void ReceiverProtocol::unregisterGroup(ReceiverHandler completion) {
  run(Op::unregisterGroup, {.end = std::move(completion)});
}

}  // namespace orvo
