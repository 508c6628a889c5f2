// What can be read at an offset: an input file, for the bytes that the
// output copies from it.
#pragma once

#include <cstddef>
#include <cstdint>

// The most that one call reads or writes: less than every system's limit
// for one call (Linux's is 2 GiB less a page, Windows' 4 GiB).
constexpr std::size_t max_transfer = std::size_t(1) << 30;

class byte_source {
public:
    // Fills dst with n bytes from `offset`, or throws.
    virtual void read_at(std::uint64_t offset, std::uint8_t* dst, std::size_t n) const = 0;

protected:
    ~byte_source() = default;
};
