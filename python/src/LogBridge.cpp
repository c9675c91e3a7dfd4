#include "LogBridge.h"

#include <atomic>
#include <memory>
#include <mutex>

#include <pybind11/pybind11.h>
#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

#include <calyx/Logger.h>

namespace py = pybind11;

namespace calyxpy {

namespace {

thread_local Capture* currentCapture = nullptr;

std::mutex pendingMutex;
std::vector<LogRecord>& pending() {
  static std::vector<LogRecord> records;
  return records;
}

std::atomic<int> forward{static_cast<int>(spdlog::level::warn)};

// The message without the library's "[src/File.cpp:12] " prefix.
std::string withoutPrefix(const std::string& text) {
  std::string out = text;
  if (!out.empty() && out[0] == '[') {
    const std::size_t close = out.find("] ");
    if (close != std::string::npos) out.erase(0, close + 2);
  }
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

class BridgeSink final : public spdlog::sinks::base_sink<std::mutex> {
 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    LogRecord record{msg.level, std::string(msg.payload.data(), msg.payload.size())};
    if (currentCapture != nullptr) {
      currentCapture->records.push_back(std::move(record));
      return;
    }
    std::lock_guard<std::mutex> lock(pendingMutex);
    pending().push_back(std::move(record));
  }
  void flush_() override {}
};

int pythonLevel(spdlog::level::level_enum level) {
  switch (level) {
    case spdlog::level::trace: return 5;
    case spdlog::level::debug: return 10;
    case spdlog::level::info: return 20;
    case spdlog::level::warn: return 30;
    case spdlog::level::err: return 40;
    default: return 50;
  }
}

void emitRecords(const std::vector<LogRecord>& records) {
  if (records.empty()) return;
  const auto threshold = static_cast<spdlog::level::level_enum>(forward.load());
  py::object logger;
  for (const LogRecord& r : records) {
    if (r.level < threshold) continue;
    if (!logger) logger = py::module_::import("logging").attr("getLogger")("calyx");
    logger.attr("log")(pythonLevel(r.level), "%s", r.text);
  }
}

}  // namespace

std::string Capture::errorText() const {
  std::string out;
  for (const LogRecord& r : records)
    if (r.level >= spdlog::level::err) out += (out.empty() ? "" : "; ") + withoutPrefix(r.text);
  return out;
}

bool Capture::anyError() const {
  for (const LogRecord& r : records)
    if (r.level >= spdlog::level::err) return true;
  return false;
}

CaptureScope::CaptureScope(Capture& capture) : previous_(currentCapture) { currentCapture = &capture; }
CaptureScope::~CaptureScope() { currentCapture = previous_; }

void installLogBridge() {
  spdlog::logger* log = calyx::getLogger();
  log->sinks().clear();
  log->sinks().push_back(std::make_shared<BridgeSink>());
  setForwardLevel(spdlog::level::warn);
}

void setForwardLevel(spdlog::level::level_enum level) {
  forward.store(static_cast<int>(level));
  calyx::getLogger()->set_level(std::min(level, spdlog::level::err));
}

spdlog::level::level_enum forwardLevel() { return static_cast<spdlog::level::level_enum>(forward.load()); }

void emitPending() {
  std::vector<LogRecord> waiting;
  {
    std::lock_guard<std::mutex> lock(pendingMutex);
    waiting.swap(pending());
  }
  emitRecords(waiting);
}

void emit(const Capture& capture) {
  emitPending();
  emitRecords(capture.records);
}

}  // namespace calyxpy
