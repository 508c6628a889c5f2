// Files and memory: reading inputs without trusting them to stay as they
// were, and writing the output so that no failure and no signal damages an
// existing one or leaves anything behind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include <unistd.h>

#include "error.hpp"

// A block of memory that releases itself: anonymous and zeroed, or a
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

// An input: a regular file, or a copy of bytes held in memory (tests,
// fuzzing), with the size it had when it was measured.
struct input_file {
    std::string name;
    int fd = -1;
    std::vector<std::uint8_t> memory;
    std::uint64_t size = 0;
    timespec mtime{};

    // Opens without blocking, so a FIFO with no writer is refused at once
    // like any other file that is not a regular one.
    explicit input_file(std::string file_name);
    input_file(const std::uint8_t* data, std::size_t n, std::string label);
    bool in_memory() const { return fd < 0; }
    input_file(input_file&& o) noexcept;
    input_file& operator=(input_file&&) = delete;
    ~input_file();

    // Fills dst with n bytes from `offset`, or throws.
    void read_at(std::uint64_t offset, std::uint8_t* dst, std::size_t n) const;
    // Bytes [offset, offset + n), n > 0, in place: in memory, or mapped
    // into `block`. Throws where the file cannot be mapped.
    const std::uint8_t* map(byte_block& block, std::uint64_t offset, std::uint64_t n) const;
    // Asks the kernel to read the mapped bytes [p, p + n) ahead: all of them
    // now where the pictures fit in memory, else just before their use.
    void prefetch(const std::uint8_t* p, std::size_t n, bool now) const;
    // Throws the truncated-file error if the file is no longer the one that
    // was measured, so that no output is made from a file that changed.
    void check_unchanged() const;
};

// Memory the kernel could give now without swapping, in bytes.
std::uint64_t available_memory();

// The output is written into a file with no name in the output's folder; it
// gets a name, and replaces the old file in one rename, only once complete.
// A run that fails or is killed, even by SIGKILL, leaves nothing behind.
// Where the file system cannot make unnamed files, a named temporary file
// is removed by the signal handlers that are armed before it exists.
struct output_file {
    std::string name;
    int fd = -1;
    std::string tmp_name;  // the named fallback's file, until committed
    int (*close_file)(int) = ::close;  // a seam, for tests of a failing close

    // `unnamed` false forces the named fallback (for tests).
    explicit output_file(std::string final_name, bool unnamed = true);
    output_file(const output_file&) = delete;
    output_file& operator=(const output_file&) = delete;
    ~output_file();  // forgets the file unless commit() succeeded

    void reserve(std::uint64_t size);  // before writing, when the size is known
    void write_at(std::uint64_t offset, const std::uint8_t* data, std::size_t n);
    // Copies n bytes of `in` from `offset` to the same offset here, in
    // pieces of bounded size, however many there are.
    void copy_from(const input_file& in, std::uint64_t offset, std::uint64_t n);
    // Gives the file the old one's permissions and puts it in its place.
    void commit();

private:
    std::string dir;
    void link_and_rename();
};
