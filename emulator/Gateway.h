// The platform's role: device tokens, and payloads queued per device and
// streamed to it. A message becomes one delivery per target device; the
// delivery's state goes queued -> sent (written to the device's stream) ->
// delivered (acknowledged) -> read.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "State.h"

namespace orvo::emulator {

struct OutgoingMessage {
  std::string appId;       // empty: every application (only for "all")
  std::string targetKind;  // "CUID", "PSID", "GROUP" or "ALL"
  std::string target;
  std::string message;
  std::string ext;
  std::string sender;  // "SENDERCODE" of the request, or "admin"
  std::string senderPsid;
  std::string senderCuid;  // the user of the sending device, when a device sent it
  std::string serviceCode;
  std::optional<std::int64_t> badge;  // explicit badge; otherwise the device's count + 1
  bool silent = false;
  std::optional<std::int64_t> reserveAt;  // ms on the emulator clock
};

struct SendOutcome {
  std::int64_t seqno = 0;
  std::string messageKey;
  int targets = 0;
  bool reserved = false;
};

// Payloads a full queue let go of, oldest first, for one device.
struct QueueDrop {
  std::string token, appId, deviceId;
  long long count = 0;
};

struct StreamEvent {
  std::int64_t id = 0;
  std::string payload;
  // Empty for a delivery; else an event of this type that is no delivery:
  // no id, not kept, not counted, gone with the stream it was meant for.
  std::string type = {};
};

class Faults;

class Gateway {
 public:
  explicit Gateway(State& state);
  // Where the duplicate effect comes from; none until set.
  void setFaults(Faults* faults) { faults_ = faults; }
  ~Gateway();
  Gateway(const Gateway&) = delete;
  Gateway& operator=(const Gateway&) = delete;

  // The token a device of this name holds; a new name gets a new random one.
  std::string issueToken(const std::string& name);

  // Stores the message and, unless it is reserved for later, queues one
  // delivery per target device. The caller holds state.mutex; wake() after
  // releasing it lets the streams see the new deliveries.
  //
  // The deliveries and the badges they raise are kept in memory until the
  // next statement that is not Deferred, or flush(): a fan-out to many
  // devices costs no rows at the time of the send.
  SendOutcome send(const OutgoingMessage& message);
  // Writes what sends kept in memory, in one transaction; the caller holds
  // state.mutex. False (all of it still kept) if the database refused it.
  bool flush();
  // Fans out the reserved messages whose time has come; returns how many.
  int releaseDue();
  // Tells the streams of the devices that sends reached since the last wake.
  void wake();
  // Every stream looks again, in the table (the state was replaced).
  void wakeAll();

  // Who is told which devices have something new: a list of tokens, or
  // `everyone` (on stop). Set before serving starts.
  using Waker = std::function<void(const std::vector<std::string>& tokens, bool everyone)>;
  void wakeWith(Waker waker) { waker_ = std::move(waker); }

  // A device has one stream at a time: a new one for the same token ends the
  // older, which may be a dead connection the server has not noticed yet and
  // would otherwise take the device's payloads.
  std::uint64_t claimStream(const std::string& token);
  // For a device's stream, without waiting: deliveries still queued or after
  // `after`, oldest first, marked sent. Sets `superseded` when another
  // stream took over the token.
  std::vector<StreamEvent> poll(const std::string& token, std::uint64_t stream, std::int64_t after,
                                bool& superseded);
  // The stream is gone; a newer one for the token may be there already.
  void endStream(const std::string& token, std::uint64_t stream);
  // Queues an event of `type` (not a delivery) for the device's open stream,
  // written before its next deliveries. False when it has no stream.
  bool signal(const std::string& token, std::string type, std::string data);
  // Payloads whose write failed go back to the queue.
  void requeue(const std::string& token, const std::vector<std::int64_t>& ids);
  // The devices with a copy held back by the duplicate effect that is now
  // due: their streams are woken to write it.
  std::vector<std::string> dueEchoes();
  bool knownToken(const std::string& token);

  // Past `cap` payloads waiting for a device that is not connected, the
  // oldest go when the sends are written out.
  void limitQueue(std::size_t cap) { queueCap_ = cap; }
  std::size_t queueCap() const { return queueCap_; }
  // The drops written out since the last call; the caller holds state.mutex.
  std::vector<QueueDrop> takeDrops();
  // Payloads sends keep in memory that no stream has taken yet; the caller
  // holds state.mutex.
  long long queuedInMemory() const;
  // Deletes the history (payloads no longer queued, and messages left
  // without any) from before `before` ms; returns the rows deleted. Takes
  // state.mutex.
  long long prune(std::int64_t before);

  void stop();
  bool stopping() const { return stopping_.load(); }
  std::atomic<long long> queueDropped{0};
  std::atomic<long long> pruned{0};
  std::atomic<long long> deliveriesQueued{0};
  std::atomic<long long> eventsStreamed{0};
  std::atomic<int> openStreams{0};

  // A payload reached its device's socket: counted, and timed when it belongs
  // to the latest fan-out.
  void written(std::int64_t id);
  // The latest fan-out: the devices it was queued for, how many of its
  // payloads were written so far, and the time from its send to the last of
  // them (0 before any).
  struct LastFanOut {
    long long targets = 0, written = 0;
    double seconds = 0;
  };
  LastFanOut lastFanOut() const;

 private:
  int fanOut(std::int64_t seqno, const std::string& messageKey, const OutgoingMessage& message,
             std::int64_t now, std::chrono::steady_clock::time_point accepted);
  std::vector<StreamEvent> take(const std::string& token, std::int64_t after);
  // The copies of `event` the duplicate effect asks for; under state.mutex.
  void echo(const std::string& token, std::vector<StreamEvent>& events,
            std::chrono::steady_clock::time_point now);
  // Drops what a device's full queue holds past the cap; under state.mutex,
  // inside flush()'s transaction.
  bool capQueue(const std::string& token);

  State& state_;
  Faults* faults_ = nullptr;
  // Second copies of payloads the duplicate effect holds back, by token:
  // when each is due (steady clock) and the event; guarded by state.mutex.
  std::unordered_map<std::string,
                     std::vector<std::pair<std::chrono::steady_clock::time_point, StreamEvent>>>
      echoes_;
  struct Unflushed;
  std::unique_ptr<Unflushed> unflushed_;  // guarded by state.mutex
  std::size_t queueCap_ = 100;
  std::vector<QueueDrop> drops_;  // guarded by state.mutex
  std::mutex waitMutex_;
  // The devices of the fan-outs since the last wake; guarded by waitMutex_.
  std::vector<std::shared_ptr<const std::vector<std::string>>> reached_;
  Waker waker_;
  std::uint64_t nextStream_ = 0;
  std::unordered_map<std::string, std::uint64_t> streamOwner_;
  // Signals for the streams above, by token; guarded by waitMutex_.
  std::map<std::string, std::vector<StreamEvent>> signals_;
  // The latest fan-out's deliveries, [first, end) by id, and when it was sent.
  std::atomic<std::int64_t> fanOutFirst_{0}, fanOutEnd_{0};
  std::atomic<long long> fanOutTargets_{0}, fanOutWritten_{0};
  std::atomic<std::chrono::steady_clock::rep> fanOutAt_{0}, fanOutLast_{0};
  std::atomic<bool> stopping_{false};
};

std::string randomHex(std::size_t bytes);

}  // namespace orvo::emulator
