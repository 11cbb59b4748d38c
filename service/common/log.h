// log.h - every line the supervisor writes to standard error goes through here, as the
// text it has always been ("qel-lua-service: ..."), or with --log-format json as one JSON
// object per line that a log collector can parse without knowing the texts.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qel {

enum class LogFormat { Text, Json };

// Set once, before any thread that logs starts.
void setLogFormat(LogFormat format);
LogFormat logFormat();

// printf into a std::string, for the text of a line.
std::string formatted(const char* format, ...) __attribute__((format(printf, 1, 2)));

// One line of the log. In text it is "qel-lua-service: " and the message; in JSON an
// object with "time" (UTC, RFC 3339), "event", "message" and the fields added, each
// string escaped so that any bytes (a peer's address, an error's text) keep the line
// valid JSON. Written whole, with one write(), when write() is called.
class LogLine {
  public:
    LogLine(const char* event, std::string message);
    LogLine& with(const char* key, std::string_view text);
    LogLine& with(const char* key, std::uint64_t number);
    LogLine& with(const char* key, std::int64_t number);
    LogLine& with(const char* key, int number) { return with(key, std::int64_t{number}); }
    LogLine& with(const char* key, double number);
    void write() const;

  private:
    std::string message_;
    std::string json_; // the fields after the event, each with its leading comma
};

// Appends `text` as a JSON string, quotes included: control characters, quotes and
// backslashes escaped, and a byte that is not part of valid UTF-8 as U+FFFD.
void appendJsonString(std::string& out, std::string_view text);

} // namespace qel
