#include "inputs.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <iterator>
#include <utility>

#include "process.hpp"
#include "text.hpp"

// The mapped inputs, kept where a fault handler can reach them without
// allocating.
namespace mapped_inputs {
namespace {

struct range {
    const std::uint8_t* start = nullptr;
    const std::uint8_t* end = nullptr;
    std::string line;  // made when mapped: a handler cannot allocate
};
range ranges[2];
std::size_t count;

// Adds a mapping; true for the first, when the handler is to be installed.
bool add(const std::uint8_t* start, std::size_t length, const std::string& name)
{
    if (count == std::size(ranges))
        return false;  // a fault there gets the general line
    range& r = ranges[count];
    r.start = start;
    r.end = start + length;
    r.line = shown_name(name) + ": plik został skrócony w trakcie odczytu\n";
    return count++ == 0;
}

// Removes one; true for the last, when the handler is to be taken away.
bool remove(const void* start)
{
    for (std::size_t k = 0; k < count; k++)
        if (ranges[k].start == start) {
            std::swap(ranges[k], ranges[--count]);
            return count == 0;
        }
    return false;
}

}  // namespace
}  // namespace mapped_inputs

std::string_view fault_line(const void* address)
{
    using namespace mapped_inputs;
    const auto* at = static_cast<const std::uint8_t*>(address);
    for (std::size_t k = 0; k < count; k++)
        if (at >= ranges[k].start && at < ranges[k].end)
            return ranges[k].line;
    return "ripple: błąd odczytu zmapowanego pliku\n";
}

input_file::input_file(std::string name, const input_os& os) : os_(os), name_(std::move(name))
{
    std::intptr_t h = -1;
    if (const int err = os_.open(name_, h))
        fail(name_, "nie można otworzyć pliku", err);
    handle_ = h;
    file_status st;
    int err = os_.status(handle_, st);
    const char* problem = err != 0                                     ? "nie można odczytać pliku"
                          : st.type == file_status::kind::directory ? ""
                          : st.type != file_status::kind::regular   ? "to nie jest zwykły plik"
                                                                     : nullptr;
    if (problem) {
        close();  // no destructor runs for a constructor that throws
        fail(name_, problem, err == 0 && *problem == 0 ? EISDIR : err);
    }
    identity_ = st.identity;
    version_ = st.version;
}

input_file::input_file(input_file&& o) noexcept
    : os_(o.os_), name_(std::move(o.name_)), handle_(std::exchange(o.handle_, -1)), identity_(o.identity_),
      version_(o.version_),
      map_base_(std::exchange(o.map_base_, nullptr)), map_length_(std::exchange(o.map_length_, 0))
{
}

input_file::~input_file() { close(); }

void input_file::close()
{
    if (map_base_) {
        os_.unmap(map_base_, map_length_);
        if (mapped_inputs::remove(std::exchange(map_base_, nullptr)))
            watch_faults(nullptr);
    }
    if (handle_ != -1)
        os_.close(std::exchange(handle_, -1));
}

file_status input_file::status() const
{
    file_status st;
    if (const int err = os_.status(handle_, st))
        fail(name_, "nie można odczytać pliku", err);
    return st;
}

void input_file::read_at(std::uint64_t offset, std::uint8_t* dst, std::size_t n) const
{
    while (n > 0) {
        std::size_t got = 0;
        const int err = os_.read_at(handle_, offset, dst, std::min(n, max_transfer), got);
        if (err == EINTR)
            continue;
        if (err != 0)
            fail(name_, "błąd odczytu", err);
        if (got == 0)
            fail(name_, "plik został skrócony w trakcie odczytu");
        dst += got;
        offset += got;
        n -= got;
    }
}

const std::uint8_t* input_file::map(std::uint64_t offset, std::uint64_t n)
{
    // A mapping starts on the granularity; the bytes before `offset` there
    // are mapped too.
    const std::uint64_t g = os_.map_granularity();
    const std::uint64_t start = offset / g * g;
    const std::uint64_t length = offset + n - start;
    void* p = nullptr;
    const int err = length > SIZE_MAX ? ENOMEM : os_.map(handle_, start, std::size_t(length), p);
    if (err == ENODEV || err == EOPNOTSUPP || err == ENOSYS)
        return nullptr;
    if (err != 0)
        fail(name_, "nie można zmapować pliku", err);
    map_base_ = p;
    map_length_ = std::size_t(length);
    if (mapped_inputs::add(static_cast<const std::uint8_t*>(p), map_length_, name_))
        watch_faults(fault_line);
    return static_cast<const std::uint8_t*>(p) + (offset - start);
}

void input_file::check_unchanged() const
{
    const file_version now = status().version;
    if (now.size < version_.size)
        fail(name_, "plik został skrócony w trakcie odczytu");
    file_status named;
    if (now != version_ || os_.status_of_name(name_, named) != 0 || named.identity != identity_)
        fail(name_, "plik zmienił się w trakcie działania programu");
}

image_view bmp_input::view() const
{
    return {pixels ? pixels + order.first : nullptr, std::ptrdiff_t(order.stride), layout.width,
            layout.height};
}

bmp_input load_bitmap(const std::string& name, const input_os& os)
{
    bmp_input in{input_file(name, os), {}, nullptr, {}};
    std::uint8_t head[bmp_header_size];
    const std::size_t n = std::size_t(std::min<std::uint64_t>(in.file.size(), bmp_header_size));
    in.file.read_at(0, head, n);
    in.layout = check_header({head, n}, in.file.size(), name);
    in.pixels = in.file.map(in.layout.pixel_offset, in.layout.image_size);
    in.order = stored_rows(in.layout);
    return in;
}

void match_inputs(const bmp_input& in1, bmp_input& in2)
{
    check_pair(in1.layout, in1.file.name(), in2.layout, in2.file.name());
    in2.order = lined_up(in1.layout, in2.layout);
}

namespace {

// The mapped bytes a composition of in1's size reads from `in`.
std::span<const std::uint8_t> used_span(const bmp_input& in, const bmp_input& in1)
{
    if (!in.pixels)
        return {};
    const byte_range r = used_bytes(in.order, in1.layout);
    return {in.pixels + r.offset, std::size_t(r.length)};
}

}  // namespace

reading_plan::reading_plan(const bmp_input& in1, const bmp_input& in2, choice c)
    : os_(in1.file.os()), used_{used_span(in1, in1), used_span(in2, in1)}, in_whole_(c == choice::in_whole)
{
    if (c == choice::by_memory)
        in_whole_ = in1.layout.image_size + used_[0].size() + used_[1].size() <= os_.available_memory() / 2;
    if (in_whole_)
        for (auto used : used_)
            if (!used.empty())
                os_.start_reading(used.data(), used.size());
}

void reading_plan::finish() const
{
    if (in_whole_)
        for (auto used : used_)
            if (!used.empty())
                os_.wait_for(used.data(), used.size());
}
