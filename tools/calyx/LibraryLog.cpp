#include "LibraryLog.h"

#include <cstdio>
#include <memory>
#include <mutex>

#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

#include <calyx/Logger.h>

namespace calyxtool {

namespace {

std::vector<std::string>& errorLog() {
  static std::vector<std::string> messages;
  return messages;
}

// The message without the library's "[src/File.cpp:12] " prefix.
std::string messageText(const spdlog::details::log_msg& msg) {
  std::string text(msg.payload.data(), msg.payload.size());
  if (!text.empty() && text[0] == '[') {
    const std::size_t close = text.find("] ");
    if (close != std::string::npos) text.erase(0, close + 2);
  }
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

class ToolSink final : public spdlog::sinks::base_sink<std::mutex> {
 public:
  explicit ToolSink(bool verbose) : verbose_(verbose) {}

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    if (msg.level >= spdlog::level::err) errorLog().push_back(messageText(msg));
    if (verbose_) {
      spdlog::memory_buf_t formatted;
      formatter_->format(msg, formatted);
      std::fwrite(formatted.data(), 1, formatted.size(), stderr);
    } else if (msg.level == spdlog::level::warn) {
      std::fprintf(stderr, "calyx: library warning: %s\n", messageText(msg).c_str());
    }
  }
  void flush_() override { std::fflush(stderr); }

 private:
  bool verbose_;
};

}  // namespace

void installLibraryLog(bool verbose) {
  spdlog::logger* log = calyx::getLogger();
  log->sinks().clear();
  log->sinks().push_back(std::make_shared<ToolSink>(verbose));
  log->set_level(verbose ? spdlog::level::info : spdlog::level::warn);
}

LibraryErrors::LibraryErrors() : first_(errorLog().size()) {}

bool LibraryErrors::any() const { return errorLog().size() > first_; }

std::string LibraryErrors::text() const {
  std::string out;
  for (std::size_t i = first_; i < errorLog().size(); ++i) out += (out.empty() ? "" : "; ") + errorLog()[i];
  return out;
}

}  // namespace calyxtool
