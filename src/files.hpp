// Files and memory: the error every failure becomes, pixel blocks, reading
// inputs and writing the output so that a failed run never damages it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

// Every failure the program can meet; the message is one Polish line that
// already names the file.
struct ripple_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Throws a ripple_error "name: what".
[[noreturn]] void fail(const std::string& name, const std::string& what);

// What an errno value means, in Polish.
std::string os_reason(int err);

// A block of pixel memory that releases itself: anonymous and zeroed, or a
// read-only mapping of part of an input file.
struct byte_block {
    std::uint8_t* data = nullptr;
    std::size_t size = 0;
    std::size_t mapped = 0;  // length of the mapping behind data

    byte_block() = default;
    byte_block(byte_block&& o) noexcept { take(o); }
    byte_block& operator=(byte_block&& o) noexcept;
    ~byte_block() { release(); }

private:
    void take(byte_block& o) noexcept;
    void release() noexcept;
};

// Allocates `size` zeroed bytes, or throws a ripple_error naming `what`.
byte_block alloc_block(std::size_t size, const std::string& what);

// An input file opened for reading: a regular file, with its size.
struct input_file {
    std::string name;
    int fd = -1;
    std::uint64_t size = 0;

    explicit input_file(std::string file_name);
    input_file(const input_file&) = delete;
    input_file& operator=(const input_file&) = delete;
    ~input_file();

    // Fills dst with n bytes from `offset`, or throws.
    void read_at(std::uint64_t offset, std::uint8_t* dst, std::size_t n) const;
    // Bytes [offset, offset + n) mapped into `block`, or null where the file
    // cannot be mapped.
    const std::uint8_t* map(byte_block& block, std::uint64_t offset, std::uint64_t n) const;
};

// The output file is written under a temporary name and renamed over the
// real one only once it is complete, so a failed run never damages it.
struct output_file {
    std::string name;
    std::string tmp_name;
    int fd = -1;

    explicit output_file(std::string final_name);
    output_file(const output_file&) = delete;
    output_file& operator=(const output_file&) = delete;
    ~output_file();  // removes the temporary file unless commit() succeeded

    void reserve(std::uint64_t size);  // before writing, when the size is known
    void write(const std::uint8_t* data, std::size_t size);
    void commit();
};
