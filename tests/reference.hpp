// What tests, benchmarks and fuzzing check the program against: the plain
// per-pixel definition, an output block held in memory, and inputs made
// from bytes, in memory or through a file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bitmap.hpp"
#include "image.hpp"
#include "inputs.hpp"
#include "strips.hpp"

// The whole output pixel block in memory; each strip is composed in place.
class memory_sink : public pixel_sink {
public:
    explicit memory_sink(std::uint64_t size, std::size_t strip_size = default_strip_size);
    ~memory_sink() override;
    memory_sink(const memory_sink&) = delete;
    memory_sink& operator=(const memory_sink&) = delete;

    std::uint8_t* data() const { return data_; }
    std::uint64_t size() const { return size_; }
    std::vector<std::uint8_t> bytes() const { return {data_, data_ + size_}; }
    void close(int, std::uint64_t, std::size_t) override {}

protected:
    std::uint8_t* place(int, std::uint64_t offset, std::size_t) override { return data_ + offset; }

private:
    std::uint8_t* data_ = nullptr;
    std::uint64_t size_ = 0;
    std::size_t mapped_ = 0;
};

// A BMP file's bytes held in memory, and its rows as a picture.
struct picture {
    std::vector<std::uint8_t> bytes;
    bmp_layout layout;
    image_view view;
};

// Checks the header as the program does, and throws as it would.
picture in_memory(std::vector<std::uint8_t> bytes, const std::string& name = "in.bmp");

// Lines up the second picture's rows with the first's, as the program does.
void line_up(const picture& first, picture& second);

// Blends pixel j of row i of both pictures into pixout.
void blend_pixel(const image_view& in1, const image_view& in2, std::int32_t i, std::int32_t j,
                 float weight, std::uint8_t (&pixout)[3]);

// The output pixel block one pixel at a time, straight from the definition.
void compose_ripple_plain(const image_view& in1, const image_view& in2, std::int32_t x,
                          std::int32_t y, memory_sink& pixs_out);

// Loads an input from bytes, through a real file that is gone again once
// it is mapped. Messages name it by its path, which ends in `label`.
bmp_input load_bytes(const std::vector<std::uint8_t>& bytes, const std::string& label = "in.bmp",
                     const input_os& os = native_input_os());
