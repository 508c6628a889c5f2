#include "progress.hpp"

namespace {

// Often enough to see it move, seldom enough to cost nothing.
constexpr auto interval = std::chrono::milliseconds(200);

// "ripple: " and "100%" and a blank on either side, which the erasing
// covers.
constexpr int width = 24;

}  // namespace

progress_line::progress_line(std::uint64_t total, std::FILE* to, clock::duration delay)
    : total_(total), to_(to), next_(clock::now() + delay)
{
}

void progress_line::add(std::uint64_t n, clock::time_point now)
{
    done_ += n;
    if (!to_ || total_ == 0 || now < next_)
        return;
    next_ = now + interval;
    const int percent = int(done_ * 100 / total_);
    if (percent == shown_)
        return;
    shown_ = percent;
    std::fprintf(to_, "\rripple: gotowe %3d%%", percent);
    std::fflush(to_);
}

progress_line::~progress_line()
{
    if (shown_ < 0)
        return;
    std::fprintf(to_, "\r%*s\r", width, "");
    std::fflush(to_);
}
