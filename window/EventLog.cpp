#include "EventLog.h"

#include <mutex>

namespace deruzera {
namespace {
std::mutex logMutex;
std::vector<TLogLine> logLines;
TLogListener logListener;
}  // namespace

void LogMessage(const std::string& text, std::uint32_t colour) {
    std::lock_guard lock(logMutex);
    logLines.push_back({text, colour & 0xFFFFFFu});
    if (logListener) logListener(logLines.back());
}

std::vector<TLogLine> LogLines() {
    std::lock_guard lock(logMutex);
    return logLines;
}

void ClearLog() {
    std::lock_guard lock(logMutex);
    logLines.clear();
}

TLogListener SetLogListener(TLogListener listener) {
    std::lock_guard lock(logMutex);
    std::swap(listener, logListener);
    return listener;
}

}  // namespace deruzera
