// log.cpp - the two forms of a log line. A line is built in memory and written with one
// write() on a descriptor in append mode, so the lines of the supervisor's threads and
// of the workers that share the file never interleave.
#include "log.h"

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <unistd.h>

namespace qel {

namespace {

LogFormat currentFormat = LogFormat::Text;

// The length of the valid UTF-8 sequence at the start of `text`, or 0 (overlong forms,
// surrogates and code points past U+10FFFF are not valid).
std::size_t utf8Length(std::string_view text) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF; // the range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (text.size() < length || byte(1) < low || byte(1) > high) return 0;
    for (std::size_t i = 2; i < length; ++i) {
        if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
    }
    return length;
}

void appendTime(std::string& out) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm utc{};
    gmtime_r(&now.tv_sec, &utc);
    char text[40];
    const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text + n, sizeof text - n, ".%06ldZ", now.tv_nsec / 1000);
    out += '"';
    out += text;
    out += '"';
}

} // namespace

void setLogFormat(LogFormat format) {
    currentFormat = format;
}

LogFormat logFormat() {
    return currentFormat;
}

std::string formatted(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int size = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text(size > 0 ? static_cast<std::size_t>(size) : 0, '\0');
    if (size > 0) std::vsnprintf(text.data(), text.size() + 1, format, again);
    va_end(again);
    return text;
}

void appendJsonString(std::string& out, std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += '"';
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            const std::size_t length = utf8Length(text.substr(i));
            if (length == 0) {
                out += "\\ufffd";
                ++i;
            } else {
                out.append(text, i, length);
                i += length;
            }
            continue;
        }
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7F) {
            out += "\\u00";
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
        } else {
            out += static_cast<char>(c);
        }
        ++i;
    }
    out += '"';
}

LogLine::LogLine(const char* event, std::string message) : message_(std::move(message)) {
    if (currentFormat == LogFormat::Json) {
        json_ = ",\"event\":";
        appendJsonString(json_, event);
    }
}

LogLine& LogLine::with(const char* key, std::string_view text) {
    if (currentFormat != LogFormat::Json) return *this;
    json_ += ',';
    appendJsonString(json_, key);
    json_ += ':';
    appendJsonString(json_, text);
    return *this;
}

LogLine& LogLine::with(const char* key, std::uint64_t number) {
    if (currentFormat != LogFormat::Json) return *this;
    json_ += formatted(",\"%s\":%llu", key, static_cast<unsigned long long>(number));
    return *this;
}

LogLine& LogLine::with(const char* key, std::int64_t number) {
    if (currentFormat != LogFormat::Json) return *this;
    json_ += formatted(",\"%s\":%lld", key, static_cast<long long>(number));
    return *this;
}

LogLine& LogLine::with(const char* key, double number) {
    if (currentFormat != LogFormat::Json) return *this;
    // JSON has no infinity or NaN; neither is a time or a size the service logs.
    json_ += std::isfinite(number) ? formatted(",\"%s\":%.6f", key, number)
                                   : formatted(",\"%s\":null", key);
    return *this;
}

void LogLine::write() const {
    const int saved = errno; // a line said between a call and its errno check changes nothing
    std::string line;
    if (currentFormat == LogFormat::Json) {
        line.reserve(json_.size() + message_.size() + 64);
        line += "{\"time\":";
        appendTime(line);
        line += json_;
        line += ",\"message\":";
        appendJsonString(line, message_);
        line += "}\n";
    } else {
        line.reserve(message_.size() + 20);
        line += "qel-lua-service: ";
        line += message_;
        line += '\n';
    }
    for (std::size_t done = 0; done < line.size();) {
        const ssize_t n = ::write(STDERR_FILENO, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    errno = saved;
}

} // namespace qel
