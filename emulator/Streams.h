// The long-lived answers: devices' gateway streams, the console's journal
// stream, and requests a fault holds. None of them holds a thread: a
// connection with nothing to write is suspended, and resumed when a send
// reaches its device, the journal grows, a heartbeat or a hold falls due.
#pragma once

#include <microhttpd.h>

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace orvo::emulator {

class Gateway;
class Journal;

class Streams {
 public:
  Streams(Gateway& gateway, Journal& journal, std::chrono::milliseconds heartbeat);
  ~Streams();
  Streams(const Streams&) = delete;
  Streams& operator=(const Streams&) = delete;

  // The answer that streams a device's deliveries after `after`; the caller
  // queues it on `connection`.
  MHD_Response* gatewayStream(MHD_Connection* connection, const std::string& token,
                              std::int64_t after);
  // The journal's entries after `after` (-1: from now).
  MHD_Response* journalStream(MHD_Connection* connection, long long after);
  // Suspends a request for `ms`; the access handler is called again then.
  // False once stopping: the caller answers at once.
  bool hold(MHD_Connection* connection, std::int64_t ms);

  // The streams of these devices (all of them with `everyone`) look again.
  void wake(const std::vector<std::string>& tokens, bool everyone);
  void wakeJournal();
  // Heartbeats and holds that fell due.
  void tick();
  // Ends every stream and hold; nothing is suspended after it.
  void stop();

  struct Stream;

 private:
  static ssize_t read(void* stream, std::uint64_t position, char* buffer, std::size_t max);
  static void release(void* stream);
  MHD_Response* open(Stream* stream);
  // Takes more to write; false when the stream is over.
  bool refill(Stream& stream);
  // Under mutex_: resumes a suspended stream, or marks it to look again.
  void nudge(Stream& stream);

  Gateway& gateway_;
  Journal& journal_;
  const std::chrono::milliseconds heartbeat_;
  std::mutex mutex_;
  bool stopping_ = false;
  std::unordered_set<Stream*> streams_;
  // The console's viewers apart: the journal grows with every delivery, and
  // looking for them among thousands of device streams each time adds up.
  std::unordered_set<Stream*> viewers_;
  std::unordered_map<std::string, std::vector<Stream*>> byToken_;
  struct Held {
    std::chrono::steady_clock::time_point until;
    MHD_Connection* connection;
  };
  std::vector<Held> held_;
  std::chrono::steady_clock::time_point nextSweep_;
};

}  // namespace orvo::emulator
