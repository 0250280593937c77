// The client record over a real settings database: a cold open and read, one
// durable field write beside the classic atomic file replacement of the same
// bytes, and the storage cipher on a device UUID.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>

#include "ScratchDir.h"
#include "manager/Outbox.h"
#include "orvo/PushEncryptor.h"
#include "orvo/PushManagerInfo.h"
#include "orvo/platform/Desktop.h"
#include "orvo/platform/Host.h"
#include "orvo/testing/CapturingLogSink.h"
#include "orvo/testing/FixedDevice.h"
#include "orvo/testing/MemoryKeychain.h"

namespace {

using namespace orvo;

constexpr const char* kBundleIdentifier = "com.example.bench";

using orvo::bench::ScratchDir;

// A host of desktop settings over `database` and doubles for the rest.
std::shared_ptr<Host> makeHost(const std::string& database, const std::string& bundleDir,
                               const std::shared_ptr<MemoryKeychain>& keychain) {
  auto log = std::make_shared<CapturingLogSink>();
  auto host = std::make_shared<Host>();
  host->settings = std::make_shared<SqliteSettingsStore>(database, log);
  host->keychain = keychain;
  host->bundle = std::make_shared<DirectoryBundle>(bundleDir, kBundleIdentifier,
                                                   Dictionary{{"CFBundleVersion", "1"}});
  host->device = std::make_shared<FixedDevice>();
  host->log = log;
  host->clock = std::make_shared<SystemClock>();
  return host;
}

void BM_OpenAndReadRecord(benchmark::State& state) {
  ScratchDir dir;
  const std::string database = dir.path() + "/settings.db";
  auto keychain = std::make_shared<MemoryKeychain>();
  {
    auto host = makeHost(database, dir.path(), keychain);
    Host::setCurrent(host);
    PushManagerInfo info(true);
    info.setClientUID("user-0001");
    info.setClientName("Benchmark User");
    info.setGroupSequenceNumber("12");
    info.setPushServiceID("a1b2c3d4e5f60718293a4b5c6d7e8f90a1b2c3d4e5f60718293a4b5c6d7e8f90");
    info.setPhoneNumber("01012345678");
    info.setPushServiceLastDate(Date{1'700'000'000.0});
    (void)info.deviceUUID();
  }
  for (auto _ : state) {
    auto host = makeHost(database, dir.path(), keychain);
    Host::setCurrent(host);
    PushManagerInfo info(true);
    benchmark::DoNotOptimize(info.clientUID());
    benchmark::DoNotOptimize(info.clientName());
    benchmark::DoNotOptimize(info.groupSequenceNumber());
    benchmark::DoNotOptimize(info.pushServiceID());
    benchmark::DoNotOptimize(info.phoneNumber());
    benchmark::DoNotOptimize(info.pushServiceLastDate());
    std::string uuid = info.deviceUUID();
    if (uuid != "00000000-0000-4000-8000-000000000001") state.SkipWithError("UUID not read back");
    benchmark::DoNotOptimize(uuid);
  }
  Host::setCurrent(nullptr);
}
BENCHMARK(BM_OpenAndReadRecord)->Unit(benchmark::kMicrosecond);

std::string valueFor(std::int64_t n) { return "user-" + std::to_string(1'000'000 + n); }

void BM_DurableFieldWrite(benchmark::State& state) {
  ScratchDir dir;
  auto host = makeHost(dir.path() + "/settings.db", dir.path(), std::make_shared<MemoryKeychain>());
  Host::setCurrent(host);
  PushManagerInfo info(true);
  std::int64_t n = 0;
  for (auto _ : state) info.setClientUID(valueFor(++n));
  if (info.clientUID() != valueFor(n)) state.SkipWithError("value not stored");
  Host::setCurrent(nullptr);
}
BENCHMARK(BM_DurableFieldWrite)->Unit(benchmark::kMicrosecond);

// An outbox over the SQLite settings store whose attempts wait until the
// benchmark answers them.
struct DurableOutbox {
  ScratchDir dir;
  std::shared_ptr<Host> host =
      makeHost(dir.path() + "/settings.db", dir.path(), std::make_shared<MemoryKeychain>());
  Outbox::Done answer;
  std::shared_ptr<Outbox> outbox = std::make_shared<Outbox>(
      host, OutboxSettings{.enabled = true},
      [this](const std::string& operation, const Dictionary&, std::int32_t, Outbox::Done done) {
        if (operation == "feedback") answer = std::move(done);
      },
      nullptr);
  const Dictionary payload{{"orv", Dictionary{{"seqno", "1"}, {"messageuniquekey", "MK-1"}}}};
  std::int64_t succeeded = 0;

  void add() {
    outbox->add("message", "feedback", Dictionary{{"payload", payload}},
                [this](OutboxFirst first, std::int64_t, const Value&) {
                  if (first == OutboxFirst::Succeeded) ++succeeded;
                });
  }
  // Entries that wait in a lane of their own, never answered.
  void backlog(std::int64_t count) {
    for (std::int64_t i = 0; i < count; ++i) {
      outbox->add("badge", "update", Dictionary{{"badge", i}}, nullptr);
    }
  }
  // The attempt succeeds: the entry is removed durably.
  void succeed() { std::exchange(answer, nullptr)(OutboxVerdict{}); }
  bool allThrough(benchmark::State& state) const {
    return succeeded == static_cast<std::int64_t>(state.iterations()) &&
           outbox->depth() == static_cast<std::size_t>(state.range(0));
  }
};

// One entry written durably before its attempt, alone: its removal is
// outside the timing. The argument: entries already waiting in the queue.
void BM_OutboxEntryWritten(benchmark::State& state) {
  DurableOutbox box;
  box.backlog(state.range(0));
  for (auto _ : state) {
    box.add();
    state.PauseTiming();
    box.succeed();
    state.ResumeTiming();
  }
  if (!box.allThrough(state)) state.SkipWithError("an entry did not go through");
}
BENCHMARK(BM_OutboxEntryWritten)->Arg(0)->Arg(100)->Unit(benchmark::kMicrosecond);

// One entry's whole stay: written, attempted at once, removed.
void BM_OutboxEntryWrittenAndRemoved(benchmark::State& state) {
  DurableOutbox box;
  box.backlog(state.range(0));
  for (auto _ : state) {
    box.add();
    box.succeed();
  }
  if (!box.allThrough(state)) state.SkipWithError("an entry did not go through");
}
BENCHMARK(BM_OutboxEntryWrittenAndRemoved)->Arg(0)->Arg(100)->Unit(benchmark::kMicrosecond);

// The same entry write and a field write of the record, taking turns in one
// database, so that both see the same moment of a shared disk: the ratio of
// their sums is the figure, steadier than two medians of separate runs.
void BM_OutboxEntryWrittenPerFieldWrite(benchmark::State& state) {
  using Clock = std::chrono::steady_clock;
  DurableOutbox box;
  box.backlog(state.range(0));
  Host::setCurrent(box.host);
  PushManagerInfo info(true);
  Clock::duration entry{};
  Clock::duration field{};
  std::int64_t n = 0;
  auto writeEntry = [&] {
    const auto start = Clock::now();
    box.add();
    entry += Clock::now() - start;
    box.succeed();
  };
  auto writeField = [&] {
    const auto start = Clock::now();
    info.setClientUID(valueFor(++n));
    field += Clock::now() - start;
  };
  for (auto _ : state) {
    // Turn about, so that neither always follows the entry's removal.
    if (n % 2 == 0) {
      writeEntry();
      writeField();
    } else {
      writeField();
      writeEntry();
    }
  }
  if (!box.allThrough(state) || info.clientUID() != valueFor(n)) {
    state.SkipWithError("a write did not go through");
  }
  const auto micros = [n](Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count() / static_cast<double>(n);
  };
  state.counters["entry_us"] = micros(entry);
  state.counters["field_us"] = micros(field);
  state.counters["ratio"] = micros(entry) / micros(field);
  Host::setCurrent(nullptr);
}
BENCHMARK(BM_OutboxEntryWrittenPerFieldWrite)->Arg(0)->Arg(100)->Unit(benchmark::kMicrosecond);

bool writeAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Write a temporary file, fsync it, rename it over the target, fsync the
// directory: how a file is replaced durably without a database.
void BM_TempFileFsyncRename(benchmark::State& state) {
  ScratchDir dir;
  const std::string target = dir.path() + "/value";
  const std::string temp = dir.path() + "/value.tmp";
  const int dirFd = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
  if (dirFd < 0) {
    state.SkipWithError("cannot open the directory");
    return;
  }
  std::int64_t n = 0;
  for (auto _ : state) {
    const std::string bytes = valueFor(++n);
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    bool ok = fd >= 0 && writeAll(fd, bytes) && ::fsync(fd) == 0;
    if (fd >= 0) ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(temp.c_str(), target.c_str()) == 0 && ::fsync(dirFd) == 0;
    if (!ok) {
      state.SkipWithError("file replacement failed");
      break;
    }
  }
  ::close(dirFd);
}
BENCHMARK(BM_TempFileFsyncRename)->Unit(benchmark::kMicrosecond);

void BM_EncryptDecryptUUID(benchmark::State& state) {
  const PushEncryptor encryptor("0123456789abcdef0123456789ABCDEF", "bench");
  const std::string uuid = "6F9619FF-8B86-4011-B42D-00C04FC964FF";
  for (auto _ : state) {
    auto cipher = encryptor.encryptValue(uuid);
    auto plain = encryptor.decryptValue(*cipher);
    if (plain != uuid) state.SkipWithError("round trip failed");
    benchmark::DoNotOptimize(plain);
  }
}
BENCHMARK(BM_EncryptDecryptUUID);

}  // namespace
