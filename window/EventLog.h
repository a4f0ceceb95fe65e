// The window's event log: (text, colour) lines kept in call order. Any
// thread may write; a listener (the log view) sees each line as it is
// written, in order.
#pragma once

#include <functional>
#include <vector>

#include "volume/Log.h"

namespace deruzera {

// Appends one line. Never fails.
void LogMessage(const std::string& text, std::uint32_t colour);

// Every line written so far, in order.
std::vector<TLogLine> LogLines();

// Forgets the stored lines (tests only; the program's log only grows).
void ClearLog();

// Called for each new line, under the log's lock, so calls never overlap
// and come in the order the lines were written. Returns the previous one.
using TLogListener = std::function<void(const TLogLine&)>;
TLogListener SetLogListener(TLogListener listener);

}  // namespace deruzera
