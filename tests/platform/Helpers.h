// Helpers shared by the platform tests: values, files, modes, SQLite and threads.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "orvo/Value.h"

namespace orvo::test {

// An array of the given values; unlike a braced list, formats compactly.
template <class... T>
Array list(T... values) {
  return {Value(std::move(values))...};
}

inline std::string readFile(const std::string& path) {
  if (std::filesystem::is_directory(path)) return "<a directory>";
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

inline unsigned modeOf(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

// Runs SQL on an existing database through a connection of its own; gives the
// first column of the first row, "" when there is none.
inline std::string sql(const std::string& path, const std::string& statement) {
  sqlite3* db = nullptr;
  std::string first;
  EXPECT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
  auto keepFirst = [](void* out, int, char** values, char**) {
    auto* text = static_cast<std::string*>(out);
    if (text->empty() && values[0]) *text = values[0];
    return 0;
  };
  EXPECT_EQ(sqlite3_exec(db, statement.c_str(), keepFirst, &first, nullptr), SQLITE_OK)
      << sqlite3_errmsg(db);
  sqlite3_close(db);
  return first;
}

// Runs body(t) for t in [0, count) on as many threads at once, and waits for all.
inline void onThreads(int count, const std::function<void(int)>& body) {
  std::vector<std::thread> threads;
  for (int t = 0; t < count; ++t) threads.emplace_back(body, t);
  for (auto& thread : threads) thread.join();
}

}  // namespace orvo::test
