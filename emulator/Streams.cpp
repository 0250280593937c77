#include "Streams.h"

#include <sys/socket.h>

#include <algorithm>
#include <cstring>

#include "Gateway.h"
#include "Journal.h"

namespace orvo::emulator {
namespace {

using Clock = std::chrono::steady_clock;

// What a response's reader hands MHD at a time, from the connection's memory.
constexpr std::size_t kBlock = 4096;

// Whether the reader closed its end. A payload written to a connection the
// device already left would be lost, marked sent; this asks the socket first.
bool readerLeft(MHD_Connection* connection) {
  const auto* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
  if (!info) return true;
  char byte;
  return recv(info->connect_fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
}

}  // namespace

struct Streams::Stream {
  Streams* owner = nullptr;
  MHD_Connection* connection = nullptr;
  bool device = true;  // else the journal's
  std::string token;
  std::uint64_t claim = 0;
  std::int64_t cursor = 0;
  Journal::Cursor journal;
  // Written out as MHD asks for it; the deliveries it holds end where noted,
  // so those not handed over yet go back to the queue if the stream ends.
  std::string pending;
  std::size_t written = 0;
  std::vector<std::pair<std::int64_t, std::size_t>> events;
  // Under the owner's mutex.
  bool suspended = false, lookAgain = false, pingDue = false;
  Clock::time_point idleSince;  // when it last went quiet
};

Streams::Streams(Gateway& gateway, Journal& journal, std::chrono::milliseconds heartbeat)
    : gateway_(gateway), journal_(journal), heartbeat_(heartbeat), nextSweep_(Clock::now()) {}

Streams::~Streams() = default;

MHD_Response* Streams::gatewayStream(MHD_Connection* connection, const std::string& token,
                                     std::int64_t after) {
  auto* stream = new Stream;
  stream->connection = connection;
  stream->token = token;
  stream->cursor = after;
  stream->claim = gateway_.claimStream(token);
  // Lets the device know it is connected before anything is sent.
  stream->pending = ": connected\n\n";
  ++gateway_.openStreams;
  {
    std::lock_guard lock(mutex_);
    byToken_[token].push_back(stream);
  }
  return open(stream);
}

MHD_Response* Streams::journalStream(MHD_Connection* connection, long long after) {
  auto* stream = new Stream;
  stream->connection = connection;
  stream->device = false;
  // Headers go out with the first bytes; a browser counts the stream open only then.
  stream->pending = journal_.open(after, stream->journal);
  return open(stream);
}

MHD_Response* Streams::open(Stream* stream) {
  stream->owner = this;
  {
    std::lock_guard lock(mutex_);
    streams_.insert(stream);
    if (!stream->device) viewers_.insert(stream);
  }
  MHD_Response* response = MHD_create_response_from_callback(
      MHD_SIZE_UNKNOWN, kBlock, &Streams::read, stream, &Streams::release);
  if (!response) {
    release(stream);
    return nullptr;
  }
  MHD_add_response_header(response, "Content-Type", "text/event-stream");
  MHD_add_response_header(response, "Cache-Control", "no-cache");
  return response;
}

ssize_t Streams::read(void* cls, std::uint64_t, char* buffer, std::size_t max) {
  auto& stream = *static_cast<Stream*>(cls);
  auto& self = *stream.owner;
  for (;;) {
    if (stream.written < stream.pending.size()) {
      const std::size_t size = std::min(max, stream.pending.size() - stream.written);
      std::memcpy(buffer, stream.pending.data() + stream.written, size);
      stream.written += size;
      while (!stream.events.empty() && stream.events.front().second <= stream.written) {
        self.gateway_.written(stream.events.front().first);
        stream.events.erase(stream.events.begin());
      }
      if (stream.written == stream.pending.size()) {
        stream.pending.clear();
        stream.written = 0;
      }
      return static_cast<ssize_t>(size);
    }
    if (!self.refill(stream)) return MHD_CONTENT_READER_END_OF_STREAM;
    if (!stream.pending.empty()) continue;
    std::lock_guard lock(self.mutex_);
    if (self.stopping_) return MHD_CONTENT_READER_END_OF_STREAM;
    if (stream.pingDue) {
      // A write is how a reader that went away is noticed.
      stream.pingDue = false;
      stream.pending = ": ping\n\n";
    } else if (stream.lookAgain) {
      stream.lookAgain = false;
    } else {
      stream.suspended = true;
      stream.idleSince = Clock::now();
      MHD_suspend_connection(stream.connection);
      return 0;
    }
  }
}

bool Streams::refill(Stream& stream) {
  if (!stream.device) {
    auto text = journal_.poll(stream.journal);
    if (!text) return false;
    stream.pending = std::move(*text);
    return true;
  }
  if (readerLeft(stream.connection)) return false;
  bool superseded = false;
  const auto events = gateway_.poll(stream.token, stream.claim, stream.cursor, superseded);
  if (superseded || gateway_.stopping()) return false;
  for (const auto& event : events) {
    if (!event.type.empty()) {
      stream.pending += "event: " + event.type + "\ndata: " + event.payload + "\n\n";
      continue;
    }
    stream.pending += "id: " + std::to_string(event.id) +
                      "\nevent: notification\ndata: " + event.payload + "\n\n";
    stream.events.emplace_back(event.id, stream.pending.size());
    stream.cursor = event.id;
  }
  return true;
}

void Streams::release(void* cls) {
  auto* stream = static_cast<Stream*>(cls);
  auto& self = *stream->owner;
  {
    std::lock_guard lock(self.mutex_);
    self.streams_.erase(stream);
    self.viewers_.erase(stream);
    if (stream->device) {
      auto found = self.byToken_.find(stream->token);
      if (found != self.byToken_.end()) {
        auto& list = found->second;
        list.erase(std::remove(list.begin(), list.end(), stream), list.end());
        if (list.empty()) self.byToken_.erase(found);
      }
    }
  }
  if (stream->device) {
    std::vector<std::int64_t> unsent;
    for (const auto& [id, end] : stream->events) unsent.push_back(id);
    if (!unsent.empty()) self.gateway_.requeue(stream->token, unsent);
    self.gateway_.endStream(stream->token, stream->claim);
    --self.gateway_.openStreams;
  }
  delete stream;
}

void Streams::nudge(Stream& stream) {
  if (stream.suspended) {
    stream.suspended = false;
    MHD_resume_connection(stream.connection);
  } else {
    stream.lookAgain = true;
  }
}

void Streams::wake(const std::vector<std::string>& tokens, bool everyone) {
  std::lock_guard lock(mutex_);
  if (everyone) {
    for (auto* stream : streams_)
      if (stream->device) nudge(*stream);
    return;
  }
  for (const auto& token : tokens) {
    const auto found = byToken_.find(token);
    if (found == byToken_.end()) continue;
    for (auto* stream : found->second) nudge(*stream);
  }
}

void Streams::wakeJournal() {
  std::lock_guard lock(mutex_);
  for (auto* stream : viewers_) nudge(*stream);
}

bool Streams::hold(MHD_Connection* connection, std::int64_t ms) {
  std::lock_guard lock(mutex_);
  if (stopping_) return false;
  held_.push_back({Clock::now() + std::chrono::milliseconds(ms), connection});
  MHD_suspend_connection(connection);
  return true;
}

void Streams::tick() {
  // Before taking the streams' lock: the gateway's is never taken under it.
  if (const auto echoed = gateway_.dueEchoes(); !echoed.empty()) wake(echoed, false);
  const auto now = Clock::now();
  std::lock_guard lock(mutex_);
  const auto due = std::partition(held_.begin(), held_.end(),
                                  [now](const Held& held) { return held.until > now; });
  for (auto it = due; it != held_.end(); ++it) MHD_resume_connection(it->connection);
  held_.erase(due, held_.end());
  if (now < nextSweep_) return;
  // Looking at every stream each tick would cost more than the pings.
  nextSweep_ = now + std::clamp<std::chrono::milliseconds>(
                         heartbeat_ / 4, std::chrono::milliseconds(20), std::chrono::seconds(1));
  for (auto* stream : streams_)
    if (stream->suspended && now - stream->idleSince >= heartbeat_) {
      stream->pingDue = true;
      nudge(*stream);
    }
}

void Streams::stop() {
  std::lock_guard lock(mutex_);
  stopping_ = true;
  for (auto* stream : streams_) nudge(*stream);
  for (const auto& held : held_) MHD_resume_connection(held.connection);
  held_.clear();
}

}  // namespace orvo::emulator
