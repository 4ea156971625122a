// Runs the built converter as a user would: in a fresh folder of its own,
// capturing standard output, the error stream and the exit status. The
// program can be run through a launcher (QUORVEL_LAUNCHER, wine for
// instance) and write "\r\n" line endings (QUORVEL_NEWLINE=CRLF), so the
// same tests drive the Windows programs; the build sets the defaults.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/images.hpp"

namespace quorvel::testing {

namespace fs = std::filesystem;

inline std::string setting(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value && *value ? value : fallback;
}

inline std::vector<std::string> launcherWords() {
    std::istringstream words(setting("QUORVEL_LAUNCHER", QUORVEL_DEFAULT_LAUNCHER));
    return {std::istream_iterator<std::string>(words), {}};
}

// `text` with every "\n" turned into the line ending of the program under test.
inline std::string lines(std::string text) {
    if (setting("QUORVEL_NEWLINE", QUORVEL_DEFAULT_NEWLINE) != "CRLF") return text;
    for (std::size_t at = 0; (at = text.find('\n', at)) != std::string::npos; at += 2) text.insert(at, "\r");
    return text;
}

// The program's name as it sees it in argument 0: under wine a Windows path on drive Z:.
inline std::string programAsSeen() {
    std::string program = setting("QUORVEL_PROGRAM", QUORVEL_DEFAULT_PROGRAM);
    if (launcherWords().empty()) return program;
    for (char& c : program) c = c == '/' ? '\\' : c;
    return "Z:" + program;
}

struct RunResult {
    std::string out;
    int status = -1;
};

struct RunOptions {
    rlim_t addressSpaceLimitBytes = RLIM_INFINITY;
    rlim_t fileSizeLimitBytes = RLIM_INFINITY;
};

// What the pipe holds once the program has ended; its messages fit the
// pipe's buffer, and what it started (wine's server) may hold the pipe open.
inline std::string drain(int fd) {
    ::fcntl(fd, F_SETFL, O_NONBLOCK);
    std::string text;
    char chunk[4096];
    for (ssize_t got; (got = ::read(fd, chunk, sizeof chunk)) > 0;) text.append(chunk, static_cast<std::size_t>(got));
    return ::close(fd), text;
}

class Workspace {
public:
    Workspace() {
        std::string pattern = (fs::temp_directory_path() / "quorvel-test-XXXXXX").string();
        dir_ = ::mkdtemp(pattern.data());
    }
    ~Workspace() {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    fs::path path(const std::string& name) const { return dir_ / name; }
    void write(const std::string& name, const Bytes& bytes) const {
        std::ofstream(path(name), std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    }
    Bytes read(const std::string& name) const {
        std::ifstream in(path(name), std::ios::binary | std::ios::ate);
        Bytes bytes(in ? static_cast<std::size_t>(in.tellg()) : 0);
        in.seekg(0).read(reinterpret_cast<char*>(bytes.data()), std::streamsize(bytes.size()));
        return bytes;
    }

    // Anything on the error stream of a native run is a sanitizer's or the
    // system's report of a fault: the program writes nothing there.
    RunResult run(const std::vector<std::string>& arguments, const RunOptions& options = {}) const {
        std::vector<std::string> command = launcherWords();
        const bool native = command.empty();
        command.push_back(setting("QUORVEL_PROGRAM", QUORVEL_DEFAULT_PROGRAM));
        command.insert(command.end(), arguments.begin(), arguments.end());
        int out[2], err[2];
        if (::pipe(out) != 0 || ::pipe(err) != 0) throw std::runtime_error("pipe failed");
        const pid_t child = ::fork();
        if (child == 0) start(command, out[1], err[1], options);
        ::close(out[1]);
        ::close(err[1]);
        int status = 0;
        while (::waitpid(child, &status, 0) < 0) {
        }
        const RunResult result{drain(out[0]), WIFEXITED(status) ? WEXITSTATUS(status) : -1};
        const std::string errors = drain(err[0]);
        if (native) EXPECT_EQ(errors, "") << "error stream of the program";
        return result;
    }

private:
    // In the child: in the folder, output into the pipes, limits set, then exec.
    [[noreturn]] void start(std::vector<std::string> command, int out, int err, const RunOptions& options) const {
        if (::chdir(dir_.c_str()) != 0) _exit(126);
        ::dup2(::open("/dev/null", O_RDONLY), 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        ::setenv("WINEDEBUG", "-all", 0);     // wine's own notes stay off the error stream
        ::setenv("LC_ALL", "C.UTF-8", 1);     // wine takes the arguments' bytes as this locale's
        std::signal(SIGXFSZ, SIG_IGN);        // a write past the size limit fails instead of ending the process
        const rlimit space{options.addressSpaceLimitBytes, options.addressSpaceLimitBytes};
        const rlimit size{options.fileSizeLimitBytes, options.fileSizeLimitBytes};
        ::setrlimit(RLIMIT_AS, &space);
        ::setrlimit(RLIMIT_FSIZE, &size);
        std::vector<char*> argv;
        for (std::string& word : command) argv.push_back(word.data());
        argv.push_back(nullptr);
        ::execvp(argv[0], argv.data());
        _exit(127);
    }

    fs::path dir_;
};

}  // namespace quorvel::testing
