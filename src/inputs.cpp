#include "inputs.hpp"

#include <cstdio>
#include <iterator>
#include <utility>

namespace mapped_inputs {
namespace {

struct range {
    const std::uint8_t* start;
    const std::uint8_t* end;
    char line[160];
};
range ranges[8];
std::size_t count;

}  // namespace

bool add(const std::uint8_t* start, std::size_t length, const std::string& name)
{
    if (count == std::size(ranges))
        return false;  // a fault there gets the general line
    range& r = ranges[count];
    r.start = start;
    r.end = start + length;
    std::snprintf(r.line, sizeof r.line, "%s: plik został skrócony w trakcie odczytu\n", name.c_str());
    return count++ == 0;
}

bool remove(const void* start)
{
    for (std::size_t k = 0; k < count; k++)
        if (ranges[k].start == start) {
            ranges[k] = ranges[--count];
            return count == 0;
        }
    return false;
}

const char* line_for(const void* address)
{
    const auto* at = static_cast<const std::uint8_t*>(address);
    for (std::size_t k = 0; k < count; k++)
        if (at >= ranges[k].start && at < ranges[k].end)
            return ranges[k].line;
    return "ripple: błąd odczytu zmapowanego pliku\n";
}

}  // namespace mapped_inputs

input_file::input_file(input_file&& o) noexcept
    : name_(std::move(o.name_)), handle_(std::exchange(o.handle_, -1)), version_(o.version_),
      map_base_(std::exchange(o.map_base_, nullptr)), map_length_(std::exchange(o.map_length_, 0))
{
}

void plan_reading(input_file& in1, std::span<const std::uint8_t> used1, input_file& in2,
                  std::span<const std::uint8_t> used2, std::uint64_t output_size)
{
    const std::uint64_t need = output_size + used1.size() + used2.size();
    const bool fits = need <= available_memory() / 2;
    in1.by_band = in2.by_band = !fits;
    if (fits) {
        in1.start_reading(used1);
        in2.start_reading(used2);
    }
}

void input_file::check_unchanged() const
{
    const file_version now = measure();
    if (now.size < version_.size)
        fail(name_, "plik został skrócony w trakcie odczytu");
    if (now.size != version_.size || now.mtime_ns != version_.mtime_ns ||
        now.ctime_ns != version_.ctime_ns || now.inode != version_.inode ||
        now.device != version_.device)
        fail(name_, "plik zmienił się w trakcie działania programu");
}
