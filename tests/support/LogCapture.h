// Captures what the library logs while an instance lives, for tests of messages.
#ifndef CALYX_TESTS_SUPPORT_LOGCAPTURE_H
#define CALYX_TESTS_SUPPORT_LOGCAPTURE_H

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

#include "calyx/Logger.h"

namespace calyx {
namespace testing {

struct CapturedMessage {
  spdlog::level::level_enum level;
  std::string text;  ///< the message with its source prefix, without time, name or level
};

class CaptureSink final : public spdlog::sinks::base_sink<std::mutex> {
 public:
  std::vector<CapturedMessage> messages;

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    messages.push_back({msg.level, std::string(msg.payload.data(), msg.payload.size())});
  }
  void flush_() override {}
};

/// Keeps the logger's sinks and level, and puts them back when it goes.
class LoggerState {
 public:
  LoggerState() : sinks_(getLogger()->sinks()), level_(getLogger()->level()) {}
  ~LoggerState() {
    getLogger()->sinks() = sinks_;
    getLogger()->set_level(level_);
  }
  LoggerState(const LoggerState&) = delete;
  LoggerState& operator=(const LoggerState&) = delete;

 private:
  std::vector<spdlog::sink_ptr> sinks_;
  spdlog::level::level_enum level_;
};

/// Adds a capturing sink to the library's logger (and optionally silences the others by
/// raising nothing: the normal sink still writes to standard error).
class LogCapture {
 public:
  LogCapture() : sink_(std::make_shared<CaptureSink>()) { getLogger()->sinks().push_back(sink_); }
  ~LogCapture() {
    auto& sinks = getLogger()->sinks();
    for (auto it = sinks.begin(); it != sinks.end(); ++it)
      if (*it == sink_) {
        sinks.erase(it);
        break;
      }
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  const std::vector<CapturedMessage>& messages() const { return sink_->messages; }
  /// True when some message at `level` contains `needle`.
  bool contains(const std::string& needle, spdlog::level::level_enum level) const {
    for (const auto& m : sink_->messages)
      if (m.level == level && m.text.find(needle) != std::string::npos) return true;
    return false;
  }
  bool contains(const std::string& needle) const {
    for (const auto& m : sink_->messages)
      if (m.text.find(needle) != std::string::npos) return true;
    return false;
  }
  /// How many messages contain `needle`.
  int count(const std::string& needle) const {
    int n = 0;
    for (const auto& m : sink_->messages)
      if (m.text.find(needle) != std::string::npos) ++n;
    return n;
  }
  void clear() { sink_->messages.clear(); }

 private:
  std::shared_ptr<CaptureSink> sink_;
};

}  // namespace testing
}  // namespace calyx

#endif  // CALYX_TESTS_SUPPORT_LOGCAPTURE_H
