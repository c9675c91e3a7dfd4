#include "calyx/Logger.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>

#include <spdlog/sinks/base_sink.h>

#include "detail/Log.h"
#include "detail/LogSink.h"

#ifdef __ANDROID__
#include <android/log.h>
#endif

namespace calyx {

int detail::androidLogPriority(spdlog::level::level_enum level) {
  switch (level) {
    case spdlog::level::trace:
    case spdlog::level::debug:
    case spdlog::level::info:
    case spdlog::level::warn:
    case spdlog::level::err:
    case spdlog::level::critical:
      return static_cast<int>(level) + 2;
    default:
      return 1;  // ANDROID_LOG_DEFAULT
  }
}

namespace detail {

int platformLogWrite(int priority, const char* tag, const char* text) {
#ifdef __ANDROID__
  return __android_log_write(priority, tag, text);
#else
  // No system log here: the formatted line (time, logger, level, prefix, message and its
  // newline) goes to standard error, which accepts concurrent writers line by line.
  (void)priority;
  (void)tag;
  return std::fputs(text, stderr) < 0 ? -1 : 1;
#endif
}

std::string formatPrintf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string text;
  if (n > 0) {
    text.resize(static_cast<std::size_t>(n) + 1);
    std::vsnprintf(&text[0], text.size(), format, args);
    text.resize(static_cast<std::size_t>(n));
  }
  va_end(args);
  return text;
}

std::shared_ptr<spdlog::logger> makeLibraryLogger() {
  auto sink = std::make_shared<SystemLogSink>(kLogTag, &platformLogWrite);
  auto made = std::make_shared<spdlog::logger>(kLoggerName, std::move(sink));
  // Share the name with the host's registry when it is free. A host that registered its
  // own "console" first keeps it; the library then logs through its unregistered twin
  // instead of failing at load.
  try {
    spdlog::register_logger(made);
  } catch (const spdlog::spdlog_ex&) {
  }
  return made;
}

}  // namespace detail

std::shared_ptr<spdlog::logger> logger = detail::makeLibraryLogger();

spdlog::logger* getLogger() { return logger.get(); }

}  // namespace calyx
