// The batch driver: one pass over the command-line arguments, each argument
// one input file converted beside itself into the other format.
#pragma once

#include <string>
#include <string_view>

namespace quorvel {

enum class ArgumentClass { TooShort, BmpToRix, RixToBmp, Unrecognised };

// Decided by the argument's last three bytes, ASCII letters in any case.
ArgumentClass classifyArgument(std::string_view argument);

// The argument with its last three bytes replaced by the other format's
// extension, in lower case. Only for BmpToRix and RixToBmp.
std::string deriveOutputPath(std::string_view argument, ArgumentClass argumentClass);

// The program's entry: returns the process exit status.
int runBatch(int argumentCount, char** arguments);

}  // namespace quorvel
