#include "e2e/harness.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

namespace quorvel::testing {

namespace fs = std::filesystem;

namespace {

std::string setting(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value && *value ? value : fallback;
}

std::vector<std::string> launcherWords() {
    std::istringstream words(setting("QUORVEL_LAUNCHER", QUORVEL_DEFAULT_LAUNCHER));
    return {std::istream_iterator<std::string>(words), std::istream_iterator<std::string>()};
}

std::string readText(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// In the child: run in `dir`, output to the capture files, then exec.
[[noreturn]] void startChild(const fs::path& dir, const fs::path& outFile, const fs::path& errFile,
                             std::vector<std::string> command, const RunOptions& options) {
    const int out = ::open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int none = ::open("/dev/null", O_RDONLY);
    if (out < 0 || err < 0 || none < 0 || ::chdir(dir.c_str()) != 0) _exit(126);
    ::dup2(none, 0);
    ::dup2(out, 1);
    ::dup2(err, 2);
    ::setenv("WINEDEBUG", "-all", 0);  // keeps wine's own notes off the error stream
    // Wine takes the argument bytes in the locale's character set; they are UTF-8.
    if (!runsNatively()) ::setenv("LC_ALL", "C.UTF-8", 1);
    if (options.addressSpaceLimitBytes != 0) {
        const rlimit limit{options.addressSpaceLimitBytes, options.addressSpaceLimitBytes};
        ::setrlimit(RLIMIT_AS, &limit);
    }
    std::vector<char*> argv;
    for (std::string& word : command) argv.push_back(word.data());
    argv.push_back(nullptr);
    ::execvp(argv[0], argv.data());
    _exit(127);
}

}  // namespace

Workspace::Workspace() {
    std::string pattern = (fs::temp_directory_path() / "quorvel-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    root_ = pattern;
    dir_ = root_ / "work";
    fs::create_directory(dir_);
}

Workspace::~Workspace() {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
}

void Workspace::write(std::string_view name, const Bytes& bytes) const {
    std::ofstream out(path(name), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

Bytes Workspace::read(std::string_view name) const {
    std::ifstream in(path(name), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool Workspace::exists(std::string_view name) const {
    return fs::exists(fs::symlink_status(path(name)));
}

RunResult Workspace::run(const std::vector<std::string>& arguments, const RunOptions& options) const {
    std::vector<std::string> command = launcherWords();
    command.push_back(setting("QUORVEL_PROGRAM", QUORVEL_DEFAULT_PROGRAM));
    command.insert(command.end(), arguments.begin(), arguments.end());
    const fs::path outFile = root_ / "stdout";
    const fs::path errFile = root_ / "stderr";
    const pid_t child = ::fork();
    if (child < 0) throw std::runtime_error("fork failed");
    if (child == 0) startChild(dir_, outFile, errFile, command, options);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
    }
    RunResult result{readText(outFile), readText(errFile), -1};
    if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
    // The program writes nothing to the error stream, so anything there is a
    // sanitizer's or the system's report of a fault.
    if (runsNatively()) {
        EXPECT_EQ(result.err, "") << "error stream of the program";
    }
    return result;
}

std::string lines(std::string_view text) {
    const bool crlf = setting("QUORVEL_NEWLINE", QUORVEL_DEFAULT_NEWLINE) == "CRLF";
    std::string result;
    for (const char c : text) {
        if (c == '\n' && crlf) result += '\r';
        result += c;
    }
    return result;
}

std::string programAsSeen() {
    std::string program = setting("QUORVEL_PROGRAM", QUORVEL_DEFAULT_PROGRAM);
    if (setting("QUORVEL_LAUNCHER", QUORVEL_DEFAULT_LAUNCHER).find("wine") == std::string::npos) {
        return program;
    }
    // Under wine a program sees its own path as a Windows path on drive Z:.
    for (char& c : program) c = c == '/' ? '\\' : c;
    return "Z:" + program;
}

bool runsNatively() { return launcherWords().empty(); }

}  // namespace quorvel::testing
