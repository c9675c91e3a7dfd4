/// @file
/// The library's one logger.
///
/// A process-wide spdlog logger named "console", made when the library loads. Its one sink
/// writes each formatted line (`[date time.ms] [console] [level] [src/File.cpp:line] message`)
/// to the Android system log with the tag "calyx"; on other platforms the same lines go to
/// standard error. Default level info; a host may raise it (e.g. to warn) to silence traces.
/// If the host's spdlog registry already holds a "console" logger, the library keeps its
/// own logger unregistered rather than fail at load; getLogger() always returns it.
/// Logging is synchronous on the calling thread and never throws: a message that cannot be
/// formatted or written goes to spdlog's error handler (one line on standard error).
///
/// This header only declares spdlog's types, so that including the library costs a host
/// little. A host that logs or sets the level includes spdlog itself:
///
///     #include <spdlog/spdlog.h>
///     calyx::getLogger()->set_level(spdlog::level::warn);
#ifndef CALYX_LOGGER_H
#define CALYX_LOGGER_H

#include <memory>

#include <spdlog/fwd.h>  // spdlog::logger, spdlog::level::level_enum

#include "calyx/export.h"

namespace calyx {

/// The library's logger (shared with the spdlog registry when the name was free).
CALYX_EXPORT extern std::shared_ptr<spdlog::logger> logger;

/// The raw pointer held by `logger`; valid from library load to unload. No lock, no copy.
CALYX_EXPORT spdlog::logger* getLogger();

}  // namespace calyx

#endif  // CALYX_LOGGER_H
