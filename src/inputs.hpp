// Input files, which the program reads without trusting them to stay as
// they were: each is opened without waiting where it can be (a leased file
// is waited for), refused unless it is a regular file, mapped read-only or,
// where its file system cannot map it, copied band by band, and checked for
// change before the output replaces anything.
//
// The operating system's side is the input_os table below, one
// implementation per platform (inputs_posix.cpp, inputs_win32.cpp); tests
// replace entries to reach what no file system here can be made to do.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "bitmap.hpp"
#include "byte_source.hpp"
#include "error.hpp"
#include "image.hpp"

// What tells one version of a file from another: a rewrite changes the
// size, the modification time, or at least the change time, which no user
// can set back.
struct file_version {
    std::uint64_t size = 0;
    std::int64_t mtime_ns = 0, ctime_ns = 0;
    bool operator==(const file_version&) const = default;
};

// Which file it is: a file put in another's place under its name has
// another identity.
struct file_identity {
    std::uint64_t device = 0, inode = 0;
    bool operator==(const file_identity&) const = default;
};

struct file_status {
    enum class kind { regular, directory, other } type = kind::other;
    file_identity identity;
    file_version version;
};

// Each call that can fail returns 0 or an errno value (on Windows, a Windows
// code with no errno value, negated).
struct input_os {
    // Opens `name` for reading, without waiting for a FIFO's writer or a
    // device.
    int (*open)(const std::string& name, std::intptr_t& handle);
    // What the open file is now, asking the file system afresh where it
    // caches what it says (network and FUSE file systems).
    int (*status)(std::intptr_t handle, file_status& st);
    // What the name holds now, following links as open does.
    int (*status_of_name)(const std::string& name, file_status& st);
    // Reads some of the n bytes at `offset`, and says how many: 0 at the end.
    int (*read_at)(std::intptr_t handle, std::uint64_t offset, std::uint8_t* dst, std::size_t n,
                   std::size_t& got);
    // What a mapping's offset must be a multiple of.
    std::uint64_t (*map_granularity)();
    // Maps `length` bytes from `offset`, read-only. ENODEV (or EOPNOTSUPP,
    // ENOSYS) where the file system cannot map files.
    int (*map)(std::intptr_t handle, std::uint64_t offset, std::size_t length, void*& address);
    void (*unmap)(void* address, std::size_t length);
    void (*close)(std::intptr_t handle);
    // Advice on mapped bytes: start reading them, or wait until they are
    // read. A failure costs speed, never a byte.
    void (*start_reading)(const void* address, std::size_t n);
    void (*wait_for)(const void* address, std::size_t n);
    // Memory the system could give now without swapping, or 0.
    std::uint64_t (*available_memory)();
};

// This platform's calls.
const input_os& native_input_os();

class input_file : public byte_source {
public:
    // Refuses at once what is not a regular file: a folder, a FIFO, a device.
    explicit input_file(std::string name, const input_os& os = native_input_os());
    input_file(input_file&& o) noexcept;
    input_file& operator=(input_file&&) = delete;
    ~input_file();

    const std::string& name() const { return name_; }
    std::uint64_t size() const { return version_.size; }
    const input_os& os() const { return os_; }

    void read_at(std::uint64_t offset, std::uint8_t* dst, std::size_t n) const override;
    // Maps bytes [offset, offset + n), n > 0, and gives where they are, or
    // nullptr where the file system cannot map files. A file holds one
    // mapping. A read of a mapped page that another program has cut off
    // ends the run with the truncated-file line, not SIGBUS.
    const std::uint8_t* map(std::uint64_t offset, std::uint64_t n);

    // Throws if the file is no longer the version that was measured, or the
    // name no longer holds it, so that no output is made from a file that
    // changed.
    void check_unchanged() const;
    // Lets go of the mapping and the file, which Windows would otherwise
    // not let the output replace.
    void close();

private:
    const input_os& os_;
    std::string name_;
    std::intptr_t handle_ = -1;  // a descriptor or a handle, by platform
    file_identity identity_;
    file_version version_;
    void* map_base_ = nullptr;
    std::size_t map_length_ = 0;

    file_status status() const;
};

// One input picture: its file, its layout, and where its rows are.
struct bmp_input {
    input_file file;
    bmp_layout layout;
    const std::uint8_t* pixels = nullptr;  // the mapped pixel block, or nullptr: read instead
    row_order order;

    // The rows as a picture; base is null where they are read, not mapped.
    image_view view() const;
};

// Opens, checks and maps one input.
bmp_input load_bitmap(const std::string& name, const input_os& os = native_input_os());

// Refuses a second input too small to cover the first, and lines up its
// rows with the first's.
void match_inputs(const bmp_input& in1, bmp_input& in2);

// How mapped inputs reach memory: read in whole while the user answers,
// where the three pictures fit in half of the memory available, or each
// band read ahead just before it is blended, so that pictures larger than
// memory work too. (Inputs that cannot be mapped are copied band by band
// into buffers, whatever the plan.)
class reading_plan {
public:
    // By the memory available, or as given (for tests and the fuzzer).
    enum class choice { by_memory, in_whole, ahead_by_band };
    // Chooses, and where the choice is to read in whole, starts reading
    // without waiting.
    reading_plan(const bmp_input& in1, const bmp_input& in2, choice c = choice::by_memory);
    bool in_whole() const { return in_whole_; }
    // Waits for what the constructor started.
    void finish() const;

private:
    const input_os& os_;
    std::span<const std::uint8_t> used_[2];
    bool in_whole_;
};

// The line for a fault at `address` (a page another program cut off): the
// truncated-file line of the input mapped there, or a general one. Safe in
// a signal handler.
std::string_view fault_line(const void* address);
