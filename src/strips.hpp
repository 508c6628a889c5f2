// Where the composition puts the output pixel block: in strips, each a
// rectangle of rows and columns that is composed in place and then handed
// on. The program hands each strip to the output file as soon as it is
// done (file_sink, in blend.cpp), so no memory of the picture's size is
// needed; tests and benchmarks keep the whole block in memory
// (memory_sink, in tests/reference.hpp).
#pragma once

#include <cstddef>
#include <cstdint>

#include "image.hpp"

// The size of the strips the program composes the output in; smaller
// where the inputs are copied band by band into buffers of a strip's size,
// so that the buffers of both inputs and of the output stay under 1 MiB.
constexpr std::size_t default_strip_size = std::size_t(256) << 10;
constexpr std::size_t copied_strip_size = std::size_t(96) << 10;

class pixel_sink {
public:
    // A strip is open in each of the band slots at most. A strip holds at
    // most `strip_size` bytes, plus the padding that may end its row when
    // the strip is a window of one row.
    explicit pixel_sink(std::size_t strip_size) : strip_size_(strip_size) {}
    virtual ~pixel_sink() = default;

    std::size_t strip_size() const { return strip_size_; }
    std::size_t capacity() const { return strip_size_ + 3; }

    // Where to compose the n bytes at `offset` of the block, in `slot`.
    std::uint8_t* open(int slot, std::uint64_t offset, std::size_t n);
    // The strip in `slot` is complete.
    virtual void close(int slot, std::uint64_t offset, std::size_t n) = 0;

protected:
    virtual std::uint8_t* place(int slot, std::uint64_t offset, std::size_t n) = 0;

private:
    std::size_t strip_size_;
};

// A rectangle of the block: rows [first_row, first_row + rows) in storage
// order and columns [j0, j1), with the row's padding where j1 is the width.
struct strip {
    int slot = -1;
    std::int64_t first_row = 0, rows = 0, j0 = 0, j1 = 0;
    std::int64_t stride = 0;
    std::uint8_t* data = nullptr;

    std::uint8_t* at(std::int64_t i, std::int64_t j) const
    {
        return data + (i - first_row) * stride + 3 * (j - j0);
    }
};

// Opens and finishes the strips of a block of rows `width` pixels wide:
// knows where each strip goes, how many bytes it has and its padding.
class strip_writer {
public:
    strip_writer(pixel_sink& sink, std::int64_t width);
    strip open(int slot, std::int64_t first_row, std::int64_t rows, std::int64_t j0,
               std::int64_t j1);
    // Zeroes the padding of a strip that ends its rows, unless the blend
    // has already, and hands the strip on.
    void finish(const strip& s, bool padding_done);

    const std::int64_t width, pad, stride;

private:
    pixel_sink& sink_;
    std::size_t bytes(const strip& s) const;
};
