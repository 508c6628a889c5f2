// Input files, which the program reads without trusting them to stay as
// they were: each is opened without waiting, refused unless it is a
// regular file, mapped read-only, read in at once or band by band, and
// checked for change before the output replaces anything.
//
// Everything here that calls the operating system lives in one file per
// platform (inputs_posix.cpp); inputs.cpp holds what is the same on all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "error.hpp"

// What tells one version of a file from another: a rewrite changes the
// size, the modification time, or at least the change time, which no user
// can set back; a file put in its place has another identity.
struct file_version {
    std::uint64_t size = 0;
    std::uint64_t device = 0, inode = 0;
    std::int64_t mtime_ns = 0, ctime_ns = 0;
};

class input_file {
public:
    // Opens `name` without blocking, so a FIFO with no writer or a device
    // is refused at once like anything else that is not a regular file.
    explicit input_file(std::string name);
    input_file(input_file&& o) noexcept;
    input_file& operator=(input_file&&) = delete;
    ~input_file();

    const std::string& name() const { return name_; }
    std::uint64_t size() const { return version_.size; }

    // Fills dst with n bytes from `offset`, or throws.
    void read_at(std::uint64_t offset, std::uint8_t* dst, std::size_t n) const;
    // Maps bytes [offset, offset + n), n > 0, and gives where they are. A
    // file holds one mapping. A read of a mapped page that another program
    // has cut off ends the run with the truncated-file line, not SIGBUS.
    const std::uint8_t* map(std::uint64_t offset, std::uint64_t n);

    // How the mapped bytes reach memory: all of them while the user answers
    // (start_reading, then finish_reading), or each band just before it is
    // used, letting the kernel drop what has been used (by_band).
    void start_reading(std::span<const std::uint8_t> bytes) const;
    void finish_reading(std::span<const std::uint8_t> bytes) const;
    bool by_band = false;
    void read_band(std::span<const std::uint8_t> bytes) const
    {
        if (by_band)
            start_reading(bytes);
    }

    // Throws if the file is no longer the version that was measured, so
    // that no output is made from a file that changed.
    void check_unchanged() const;

private:
    std::string name_;
    std::intptr_t handle_ = -1;  // a descriptor or a handle, by platform
    file_version version_;
    void* map_base_ = nullptr;
    std::size_t map_length_ = 0;

    file_version measure() const;
};

// For the platform files: the mapped inputs, kept where a fault handler can
// reach them without allocating, so that a fault on a page another program
// cut off ends the run with a line that names the file.
namespace mapped_inputs {
// Adds a mapping; true for the first, when the handler is to be installed.
bool add(const std::uint8_t* start, std::size_t length, const std::string& name);
// Removes one; true for the last, when the handler is to be taken away.
bool remove(const void* start);
// The line for a fault at `address`: the truncated-file line of the input
// mapped there, or a general one.
const char* line_for(const void* address);
}  // namespace mapped_inputs

// Memory the system could give now without swapping, in bytes, or 0 where
// it cannot tell.
std::uint64_t available_memory();

// Chooses how the inputs are read: at once where the three pictures (both
// inputs' used bytes and an output of `output_size`) fit in half of the
// available memory, else band by band. Starts the reading at once and
// returns without waiting for it.
void plan_reading(input_file& in1, std::span<const std::uint8_t> used1, input_file& in2,
                  std::span<const std::uint8_t> used2, std::uint64_t output_size);
