// qel_lua.cpp - qel-lua, a command-line host of the QEL_ZMQ library: sends scripts
// from the command line, a file, standard input or an interactive prompt to a Qel Lua
// script service and prints each answer. Uses only the public C interface.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
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

bool readAll(std::FILE* file, std::string& out) {
    char buffer[65536];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        out.append(buffer, n);
    return std::ferror(file) == 0;
}

bool readSource(const std::string& name, std::string& out) {
    if (name == "-") return readAll(stdin, out);
    std::FILE* file = std::fopen(name.c_str(), "rb");
    if (file == nullptr) {
        std::fprintf(stderr, "qel-lua: cannot open %s: %s\n", name.c_str(), std::strerror(errno));
        return false;
    }
    const bool ok = readAll(file, out);
    if (!ok) std::fprintf(stderr, "qel-lua: cannot read %s\n", name.c_str());
    std::fclose(file);
    return ok;
}

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
        return true;
    }

    // Runs one script and prints its answer. Returns an exit status.
    int run(const std::string& script) {
        char* answer = nullptr;
        if (executeLuaScriptQel(&answer, script.c_str(), handle_) != 0) {
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
    if (result == kExitScriptError) status = kExitScriptError;
    return result != kExitFailure;
}

// Runs one script source: the text given with -e, or a file's (or standard input's)
// whole contents. Returns an exit status.
int handleScript(Connection& connection, const Source& source) {
    if (!source.isFile) return connection.run(source.text);
    std::string script;
    if (!readSource(source.text, script)) return kExitFailure;
    return connection.run(script);
}

int runArgs(Connection& connection, const std::vector<Source>& sources) {
    int status = kExitOk;
    for (const Source& source : sources)
        if (!keepGoing(handleScript(connection, source), status)) return kExitFailure;
    return status;
}

// Prompt loop for a terminal: one script per line until end of input; blank lines are
// skipped. A last line without its newline still runs.
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
        if (line.find_first_not_of(" \t\r") != std::string::npos &&
            !keepGoing(connection.run(line), status))
            return kExitFailure;
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

    Connection connection;
    if (!connection.open(options.host, options.port)) return kExitFailure;

    if (options.sources.empty()) {
        if (isatty(STDIN_FILENO)) return doRepl(connection);
        options.sources.push_back({true, "-"});
    }
    return runArgs(connection, options.sources);
}
