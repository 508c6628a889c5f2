// How much of the picture is done, on one line of a terminal, for a person
// who watches a long run: shown only where standard error is a terminal,
// only once the run has taken about a second, and erased again when the
// run ends, well or not, so that nothing of it mixes with the prompts, the
// result or a failure's line. Scripts and pipes get nothing.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>

class progress_line {
public:
    using clock = std::chrono::steady_clock;

    // Counts towards `total`; shows itself on `to`, where that is not
    // null, once `delay` has passed.
    progress_line(std::uint64_t total, std::FILE* to, clock::duration delay = std::chrono::seconds(1));
    progress_line(const progress_line&) = delete;
    progress_line& operator=(const progress_line&) = delete;
    ~progress_line();  // erases the line

    // `n` more done, at `now`.
    void add(std::uint64_t n, clock::time_point now = clock::now());

private:
    std::uint64_t total_, done_ = 0;
    std::FILE* to_;
    clock::time_point next_;
    int shown_ = -1;  // the percentage on the line, or -1 for none
};
