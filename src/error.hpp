// The one error every failure becomes, and the Polish words for what the
// operating system reports.
#pragma once

#include <exception>
#include <string>

// A failure: the file it is about, what went wrong, and the system's reason
// where there is one (an errno value, or on Windows a code with none,
// negated), worded once, as one Polish line: "name: what: reason", the
// name shown safely.
class ripple_error : public std::exception {
public:
    ripple_error(const std::string& name, const std::string& what, int err = 0);
    const char* what() const noexcept override { return message_.c_str(); }
    int code() const { return err_; }

private:
    std::string message_;
    int err_;
};

// Throws that ripple_error.
[[noreturn]] void fail(const std::string& name, const std::string& what, int err = 0);

// What an errno value means, in Polish.
std::string os_reason(int err);

// A rule the code relies on, checked where it is relied on, in every build:
// a broken one is a bug, never the user's input, and going on would write
// where nothing should be written. Prints the rule and aborts.
void require(bool ok, const char* rule);
