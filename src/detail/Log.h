// Logging macros: every message starts with "[" + source file + ":" + line + "] ", built
// into the format string here so that no call site writes it by hand. The build maps the
// source directory away (-fmacro-prefix-map), so paths read "src/MCAFile/MCAFile.cpp".
// Arguments are evaluated only when the logger's level lets the message through, so
// expensive texts (compoundToString) cost nothing when a host raises the level.
#ifndef CALYX_DETAIL_LOG_H
#define CALYX_DETAIL_LOG_H

#include <string>

#include <spdlog/spdlog.h>

#include "calyx/Chemistry.h"
#include "calyx/Logger.h"

#define CALYX_DETAIL_STR2(x) #x
#define CALYX_DETAIL_STR(x) CALYX_DETAIL_STR2(x)
#define CALYX_LOG_PREFIX "[" __FILE__ ":" CALYX_DETAIL_STR(__LINE__) "] "

#define CALYX_LOG_AT(level, format, ...)                                       \
  do {                                                                         \
    ::spdlog::logger* calyxLogger_ = ::calyx::getLogger();                     \
    if (calyxLogger_ != nullptr && calyxLogger_->should_log(level))            \
      calyxLogger_->log(level, CALYX_LOG_PREFIX format, ##__VA_ARGS__);        \
  } while (0)

#define CALYX_LOG_INFO(format, ...) CALYX_LOG_AT(::spdlog::level::info, format, ##__VA_ARGS__)
#define CALYX_LOG_WARN(format, ...) CALYX_LOG_AT(::spdlog::level::warn, format, ##__VA_ARGS__)
#define CALYX_LOG_ERR(format, ...) CALYX_LOG_AT(::spdlog::level::err, format, ##__VA_ARGS__)

namespace calyx {
namespace detail {

/// True when an info message would be written (guards loops that only build traces).
inline bool infoEnabled() {
  spdlog::logger* l = getLogger();
  return l != nullptr && l->should_log(spdlog::level::info);
}

/// printf-style formatting into a std::string (for reports whose texts are printf formats).
std::string formatPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace detail
}  // namespace calyx

#endif  // CALYX_DETAIL_LOG_H
