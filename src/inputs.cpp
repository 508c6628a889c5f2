#include "inputs.hpp"

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
