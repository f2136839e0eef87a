// The lines of the unattended run's log: one event a line, each with the
// time in UTC, as UTF-8.
#pragma once

#include <string>

namespace zelvra {

// A moment in UTC, as the platform's system time gives it.
struct LogTime {
  unsigned year, month, day, hour, minute, second, milliseconds;
};

// "2026-12-09T17:47:18.123Z <text>" and a CR LF, in UTF-8. Line breaks in
// `text` (a box's text has them) become single blanks, so that an event stays
// one line; other control characters become blanks too. A lone surrogate
// becomes U+FFFD.
std::string LogLine(const LogTime& time, const std::u16string& text);

}  // namespace zelvra
