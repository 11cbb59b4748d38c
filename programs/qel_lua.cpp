// qel_lua.cpp - qel-lua, a command-line host of the QEL_ZMQ library: sends scripts
// from the command line, a file, standard input or an interactive prompt to a Qel Lua
// script service and prints each answer. Uses only the public C interface.
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <netdb.h>
#include <string>
#include <sys/socket.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <vector>

#include "qel_zmq.h"

namespace {

constexpr char kUsage[] =
    "Usage: qel-lua [-H HOST] [-p PORT] [-e SCRIPT]... [FILE | -]\n"
    "Runs Lua scripts on a Qel Lua script service and prints each answer.\n"
    "\n"
    "  -H HOST     service host (default 127.0.0.1)\n"
    "  -p PORT     service TCP port (default 5555)\n"
    "  -e SCRIPT   run SCRIPT; repeatable, run in order\n"
    "  FILE        run the contents of FILE as one script; '-' reads standard input\n"
    "              (at most 128 MiB, and no NUL byte)\n"
    "  -h, --help  show this help and exit\n"
    "  --version   show the version and exit\n"
    "\n"
    "With no script and a terminal on standard input, prompts for one script per line\n"
    "until end of input; without a terminal, standard input is one script.\n"
    "The library has no time-out: with no service listening, qel-lua waits for one.\n"
    "Exit status: 0 all answers arrived and none is an error, 1 a script answered\n"
    "\"error: ...\", 2 wrong arguments, an unreadable file, or a library call failed.\n";

constexpr int kExitOk = 0;
constexpr int kExitScriptError = 1;
constexpr int kExitFailure = 2;

// The most read from a file or standard input as one script: twice the reference
// service's default --max-request, so the service, not qel-lua, refuses scripts near its
// own limit, while an endless input (/dev/zero) stops well before memory runs out.
constexpr std::size_t kMaxScript = std::size_t{128} << 20;
// How long a call may wait before a terminal is told what it waits for.
constexpr auto kNoticeDelay = std::chrono::seconds(2);

int usageError(const char* message, const char* detail) {
    std::fprintf(stderr, "qel-lua: %s%s\nTry 'qel-lua --help' for more information.\n", message,
                 detail);
    return kExitFailure;
}

// A script to run: its text, or the file it comes from ("-" for standard input).
struct Source {
    bool isFile;
    std::string text;
};

// What messages call a source: its file name, standard input, or -e.
std::string displayName(const Source& source) {
    if (!source.isFile) return "-e";
    return source.text == "-" ? "standard input" : source.text;
}

// Reads at most kMaxScript bytes, and one block more only to learn that there is more.
bool readAll(std::FILE* file, const std::string& name, std::string& out) {
    char buffer[65536];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        if (n > kMaxScript - out.size()) {
            std::fprintf(stderr,
                         "qel-lua: %s is larger than %zu bytes (128 MiB), the most qel-lua sends "
                         "as one script\n",
                         name.c_str(), kMaxScript);
            return false;
        }
        out.append(buffer, n);
    }
    if (std::ferror(file) == 0) return true;
    std::fprintf(stderr, "qel-lua: cannot read %s\n", name.c_str());
    return false;
}

bool readSource(const Source& source, std::string& out) {
    if (source.text == "-") return readAll(stdin, displayName(source), out);
    std::FILE* file = std::fopen(source.text.c_str(), "rb");
    if (file == nullptr) {
        std::fprintf(stderr, "qel-lua: cannot open %s: %s\n", source.text.c_str(),
                     std::strerror(errno));
        return false;
    }
    const bool ok = readAll(file, source.text, out);
    std::fclose(file);
    return ok;
}

// The library takes the script as a C string, so it would send only what comes before a
// NUL byte and run half the script without a word. Such a script is refused instead.
bool holdsNul(const std::string& script, const std::string& name) {
    const std::size_t at = script.find('\0');
    if (at == std::string::npos) return false;
    std::fprintf(stderr,
                 "qel-lua: %s: NUL byte at offset %zu; the library would cut the script there\n",
                 name.c_str(), at);
    return true;
}

// ZeroMQ resolves a host only once it connects, in the background, and the library's
// socket speaks IPv4 only: a host with no IPv4 address would leave every call waiting
// for ever. The host itself is still what the library gets.
bool resolves(const char* host) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int status = getaddrinfo(host, nullptr, &hints, &found);
    if (status == 0) {
        freeaddrinfo(found);
        return true;
    }
    std::fprintf(stderr, "qel-lua: cannot resolve host '%s' to an IPv4 address: %s\n", host,
                 status == EAI_SYSTEM ? std::strerror(errno) : gai_strerror(status));
    return false;
}

// While a call has waited kNoticeDelay without an answer, one line on a terminal's
// standard error says what for; it is wiped before the answer is printed. Nothing at all
// is written when standard error is not a terminal, so logs and pipes stay clean.
class WaitNotice {
  public:
    WaitNotice(const std::string& host, int port) {
        if (!isatty(STDERR_FILENO)) return;
        line_ = "qel-lua: waiting for an answer from " + host + ":" + std::to_string(port) +
                " (the library has no time-out; Ctrl-C stops)";
        try {
            watcher_ = std::thread([this] { watch(); });
        } catch (const std::system_error&) {
            // No thread to spare: the call goes on without the notice.
        }
    }
    ~WaitNotice() {
        if (!watcher_.joinable()) return;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            answered_ = true;
        }
        changed_.notify_one();
        watcher_.join();
    }
    WaitNotice(const WaitNotice&) = delete;
    WaitNotice& operator=(const WaitNotice&) = delete;

  private:
    void watch() {
        std::unique_lock<std::mutex> lock(mutex_);
        if (changed_.wait_for(lock, kNoticeDelay, [this] { return answered_; })) return;
        // No newline: the cursor stays on the line, so a carriage return reaches its start.
        std::fputs(line_.c_str(), stderr);
        std::fflush(stderr);
        changed_.wait(lock, [this] { return answered_; });
        const std::string wipe = "\r" + std::string(line_.size(), ' ') + "\r";
        std::fputs(wipe.c_str(), stderr);
        std::fflush(stderr);
    }

    std::string line_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool answered_ = false;
    std::thread watcher_;
};

// Owns the library handle for the lifetime of the program.
class Connection {
  public:
    Connection() : handle_(createConnectionHandle()) {}
    ~Connection() { freeHandle(handle_); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    bool open(const char* host, int port) {
        if (handle_ == nullptr) {
            std::fprintf(stderr, "qel-lua: cannot create a connection handle\n");
            return false;
        }
        std::string reason;
        const int status = connectCapturingStdout(host, port, reason);
        if (status != 0) {
            std::fprintf(stderr, "qel-lua: cannot connect to tcp://%s:%d%s%s\n", host, port,
                         reason.empty() ? "" : ": ", reason.c_str());
            return false;
        }
        host_ = host;
        port_ = port;
        return true;
    }

    // Runs one script and prints its answer. Returns an exit status.
    int run(const std::string& script) {
        char* answer = nullptr;
        int status = 0;
        {
            const WaitNotice notice(host_, port_);
            status = executeLuaScriptQel(&answer, script.c_str(), handle_);
        }
        if (status != 0) {
            // The library has said why on standard error already.
            std::fprintf(stderr, "qel-lua: the script could not be run through the library\n");
            return kExitFailure;
        }
        std::fputs(answer, stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
        const bool failed = std::strncmp(answer, "error: ", 7) == 0;
        freeResult(answer);
        return failed ? kExitScriptError : kExitOk;
    }

  private:
    // The library writes a refused endpoint's reason to standard output, which is where
    // this program's answers go. For the length of the call, file descriptor 1 is a pipe
    // whose contents become `reason`; a pipe that cannot be set up leaves stdout alone.
    int connectCapturingStdout(const char* host, int port, std::string& reason) {
        std::fflush(stdout);
        int ends[2];
        if (pipe(ends) != 0) return connectToQelLuaService(host, port, handle_);
        const int saved = dup(STDOUT_FILENO);
        // Non-blocking, so a reason longer than the pipe holds is cut, never a hang.
        if (saved < 0 || fcntl(ends[1], F_SETFL, O_NONBLOCK) != 0 ||
            dup2(ends[1], STDOUT_FILENO) < 0) {
            if (saved >= 0) close(saved);
            close(ends[0]);
            close(ends[1]);
            return connectToQelLuaService(host, port, handle_);
        }
        close(ends[1]);
        const int status = connectToQelLuaService(host, port, handle_);
        std::fflush(stdout);
        dup2(saved, STDOUT_FILENO);
        close(saved);
        std::clearerr(stdout); // a reason cut short leaves stdout's error flag set
        // Only this process held the write end, so reading stops at its end.
        char buffer[512];
        ssize_t n = 0;
        while ((n = read(ends[0], buffer, sizeof buffer)) > 0)
            reason.append(buffer, static_cast<std::size_t>(n));
        close(ends[0]);
        while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r'))
            reason.pop_back();
        return status;
    }

    void* handle_;
    std::string host_;
    int port_ = 0;
};

bool parsePort(const char* text, int& port) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || value < 1 || value > 65535) return false;
    port = static_cast<int>(value);
    return true;
}

// What the command line asks for, once collectArgs has read all of it.
struct Options {
    const char* host = "127.0.0.1";
    int port = 5555;
    std::vector<Source> sources;
    bool haveFile = false;
};

// collectArgs' answer when the program goes on to run scripts rather than exit.
constexpr int kContinue = -1;

// -H, -p and -e take a value: the next argument, or the rest of this one (-Hhost,
// -p5555, -e'return 1').
bool takesValue(const std::string& arg) {
    return arg.size() >= 2 && arg[0] == '-' && (arg[1] == 'H' || arg[1] == 'p' || arg[1] == 'e');
}

int applyValue(char option, const char* value, Options& options) {
    switch (option) {
    case 'H':
        options.host = value;
        return kContinue;
    case 'p':
        return parsePort(value, options.port) ? kContinue : usageError("invalid port: ", value);
    default:
        options.sources.push_back({false, value});
        return kContinue;
    }
}

int addFile(const char* name, Options& options) {
    if (options.haveFile) return usageError("more than one file given: ", name);
    options.haveFile = true;
    options.sources.push_back({true, name});
    return kContinue;
}

// Reads the command line into `options`, left to right, so the first wrong argument is
// the one reported and --help after it is not reached. Returns kContinue, or the exit
// status when the program is done (help, version or a usage error).
int collectArgs(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        int status = kContinue;
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return kExitOk;
        }
        if (arg == "--version") {
            std::printf("qel-lua %d.%d.%d\n", QEL_ZMQ_VERSION_MAJOR, QEL_ZMQ_VERSION_MINOR,
                        QEL_ZMQ_VERSION_PATCH);
            return kExitOk;
        }
        if (takesValue(arg)) {
            const char* value = argv[i] + 2;
            if (*value == '\0') {
                if (i + 1 >= argc) return usageError("missing value for ", argv[i]);
                value = argv[++i];
            }
            status = applyValue(arg[1], value, options);
        } else if (arg != "-" && arg[0] == '-') {
            return usageError("unknown option: ", argv[i]);
        } else {
            status = addFile(argv[i], options);
        }
        if (status != kContinue) return status;
    }
    // ZeroMQ accepts "tcp://:PORT" and would then wait for an answer forever.
    if (*options.host == '\0') return usageError("empty host", "");
    return kContinue;
}

// Folds one script's status into the run's: a script answered with an error is
// remembered and the run goes on; a failure of the library ends it.
bool keepGoing(int result, int& status) {
    if (result == kExitScriptError && status == kExitOk) status = kExitScriptError;
    return result != kExitFailure;
}

// Runs one script source: the text given with -e, or a file's (or standard input's)
// whole contents. Returns an exit status.
int handleScript(Connection& connection, const Source& source) {
    std::string read;
    if (source.isFile && !readSource(source, read)) return kExitFailure;
    const std::string& script = source.isFile ? read : source.text;
    if (holdsNul(script, displayName(source))) return kExitFailure;
    return connection.run(script);
}

int runArgs(Connection& connection, const std::vector<Source>& sources) {
    int status = kExitOk;
    for (const Source& source : sources)
        if (!keepGoing(handleScript(connection, source), status)) return kExitFailure;
    return status;
}

// Prompt loop for a terminal: one script per line until end of input; blank lines are
// skipped. A last line without its newline still runs. A line holding a NUL byte is
// refused and the prompt goes on; the exit status then says so.
int doRepl(Connection& connection) {
    int status = kExitOk;
    std::string line;
    for (;;) {
        std::fputs("> ", stdout);
        std::fflush(stdout);
        line.clear();
        int c = 0;
        while ((c = std::fgetc(stdin)) != EOF && c != '\n')
            line.push_back(static_cast<char>(c));
        if (c == EOF && line.empty()) break;
        const bool blank = line.find_first_not_of(" \t\r") == std::string::npos;
        if (!blank && holdsNul(line, "standard input")) {
            status = kExitFailure;
        } else if (!blank && !keepGoing(connection.run(line), status)) {
            return kExitFailure;
        }
        if (c == EOF) break;
    }
    std::fputc('\n', stdout);
    return status;
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    const int status = collectArgs(argc, argv, options);
    if (status != kContinue) return status;
    if (!resolves(options.host)) return kExitFailure;

    Connection connection;
    if (!connection.open(options.host, options.port)) return kExitFailure;

    if (options.sources.empty()) {
        if (isatty(STDIN_FILENO)) return doRepl(connection);
        options.sources.push_back({true, "-"});
    }
    return runArgs(connection, options.sources);
}
