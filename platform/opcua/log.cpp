#include "platform/opcua/log.h"

#include <cstdio>
#include <mutex>
#include <set>

namespace vexa32::opcua {
namespace {

struct Log {
  std::mutex mutex;
  LogSink sink;
  std::set<std::string> written;
};

Log& log() {
  static Log instance;
  return instance;
}

// Bounds what is remembered against repetition; past it notes are written again.
constexpr std::size_t kRemembered = 1000;

}  // namespace

LogSink set_log_sink(LogSink sink) {
  std::lock_guard lock(log().mutex);
  std::swap(log().sink, sink);
  return sink;
}

void log_note(const std::string& line) {
  Log& l = log();
  std::lock_guard lock(l.mutex);
  if (l.written.count(line)) return;
  if (l.written.size() < kRemembered) l.written.insert(line);
  if (l.sink) {
    l.sink(line);
  } else {
    std::fprintf(stderr, "vexa32: %s\n", line.c_str());
  }
}

}  // namespace vexa32::opcua
