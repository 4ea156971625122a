// Runs the built converter as a user would: in a fresh folder of its own,
// with arguments, capturing standard output, the error stream and the exit
// status. The command can be run through a launcher (QUORVEL_LAUNCHER, for
// instance wine) and expect "\r\n" line endings (QUORVEL_NEWLINE=CRLF), so
// the same tests drive the Windows build; the build sets the defaults.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "support/images.hpp"

namespace quorvel::testing {

struct RunResult {
    std::string out;
    std::string err;
    int status = -1;
};

struct RunOptions {
    unsigned long addressSpaceLimitBytes = 0;  // 0: no limit
};

class Workspace {
public:
    Workspace();
    ~Workspace();
    Workspace(const Workspace&) = delete;
    Workspace& operator=(const Workspace&) = delete;

    const std::filesystem::path& dir() const { return dir_; }
    std::filesystem::path path(std::string_view name) const { return dir_ / std::string(name); }
    void write(std::string_view name, const Bytes& bytes) const;
    Bytes read(std::string_view name) const;
    bool exists(std::string_view name) const;

    RunResult run(const std::vector<std::string>& arguments, const RunOptions& options = {}) const;

private:
    std::filesystem::path root_;
    std::filesystem::path dir_;
};

// `text` with every "\n" turned into the line ending the program under test writes.
std::string lines(std::string_view text);

// The program name as the program itself sees it in its argument 0.
std::string programAsSeen();

// True when the program under test runs natively (no launcher).
bool runsNatively();

}  // namespace quorvel::testing
