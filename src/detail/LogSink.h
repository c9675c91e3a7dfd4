// The logger's one sink: each formatted line goes to a system-log writer with the
// library's tag and the Android priority of its level. On Android the writer is
// __android_log_write; elsewhere a stand-in of the same shape (see Logger.cpp).
#ifndef CALYX_DETAIL_LOGSINK_H
#define CALYX_DETAIL_LOGSINK_H

#include <memory>
#include <mutex>
#include <string>

#include <spdlog/sinks/base_sink.h>

#include "calyx/Logger.h"

namespace calyx {
namespace detail {

/// Android priority for a spdlog level: level + 2 (trace 2 ... critical 7), 1 otherwise.
int androidLogPriority(spdlog::level::level_enum level);

constexpr const char* kLoggerName = "console";
constexpr const char* kLogTag = "calyx";

/// Same shape as __android_log_write: (priority, tag, text) -> negative on failure.
using LogWriteFn = int (*)(int priority, const char* tag, const char* text);

int platformLogWrite(int priority, const char* tag, const char* text);
std::shared_ptr<spdlog::logger> makeLibraryLogger();

// Locked: the system log accepts concurrent writers, but the formatter caches the time of
// the last line, so two engines logging from two threads must not format at once.
class SystemLogSink final : public spdlog::sinks::base_sink<std::mutex> {
 public:
  SystemLogSink(std::string tag, LogWriteFn write) : tag_(std::move(tag)), write_(write) {}

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    spdlog::memory_buf_t formatted;
    formatter_->format(msg, formatted);
    formatted.push_back('\0');
    const int ret = write_(androidLogPriority(msg.level), tag_.c_str(), formatted.data());
    if (ret < 0) spdlog::throw_spdlog_ex("__android_log_write() failed", ret);
  }
  void flush_() override {}

 private:
  std::string tag_;
  LogWriteFn write_;
};

}  // namespace detail
}  // namespace calyx

#endif  // CALYX_DETAIL_LOGSINK_H
