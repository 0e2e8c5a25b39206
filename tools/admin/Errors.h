#pragma once
// How telvoro-admin reports a failure: every command throws, and main() alone
// prints the one line on stderr and picks the exit code.

#include "core/Error.h"

#include <string>
#include <utility>

namespace telvoro::admin {

// The command line is wrong: exit code 2. With a `command`, the text already
// holds that command's own usage line and is shown as
// "telvoro-admin COMMAND: TEXT"; without one, the tool's whole usage follows.
class UsageError : public Error {
public:
    explicit UsageError(const std::string& text, std::string command = {})
        : Error(text), command_(std::move(command)) {}
    const std::string& command() const { return command_; }

private:
    std::string command_;
};

// A command failed: exit code 1, shown as "telvoro-admin COMMAND: TEXT".
class CommandError : public Error {
public:
    CommandError(std::string command, const std::string& text)
        : Error(text), command_(std::move(command)) {}
    const std::string& command() const { return command_; }

private:
    std::string command_;
};

// `text` as one line on stderr: line breaks and tabs become blanks, the
// database password is masked.
std::string OneLineError(std::string text);

} // namespace telvoro::admin
