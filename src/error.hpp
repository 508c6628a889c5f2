// The one error every failure becomes, and the Polish words for what the
// operating system reports.
#pragma once

#include <stdexcept>
#include <string>

// The message is one Polish line that already names the file.
struct ripple_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Throws a ripple_error "name: what", the name shown safely.
[[noreturn]] void fail(const std::string& name, const std::string& what);

// What an errno value means, in Polish.
std::string os_reason(int err);

// A rule the code relies on, checked where it is relied on, in every build:
// a broken one is a bug, never the user's input, and going on would write
// where nothing should be written. Prints the rule and aborts.
void require(bool ok, const char* rule);
