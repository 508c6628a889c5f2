// The output file. It is written into a file with no name in the output's
// folder, which gets a name and takes the final one's place only once it
// is complete, so no failure and no signal damages an existing output.
//
// A run that fails, or is ended by a signal, leaves nothing behind. So does
// SIGKILL, with two exceptions: where the file system cannot make unnamed
// files, a named temporary file is used, and SIGKILL, which no handler can
// see, leaves it; and where an old output exists, the complete file is
// first linked to a temporary name and then renamed over the old one, so a
// SIGKILL between those two calls leaves that temporary file.
//
// The operating system's side is the output_os table below, one
// implementation per platform (output_posix.cpp, output_win32.cpp); tests
// replace entries to reach faults that no file system here can be made to
// give. Windows has no unnamed files: its temporary file is deleted by the
// system if the process ends before the file is complete.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "error.hpp"

class input_file;

// Each call that can fail returns 0 or an errno value.
struct output_os {
    // A new file with no name in the folder of `final_name`: EOPNOTSUPP (or
    // EISDIR, EINVAL) where the system or the file system cannot make one.
    int (*create_unnamed)(const std::string& final_name, std::intptr_t& handle);
    // A new file under `path`, failing with EEXIST if the name is taken,
    // that goes away if the process is ended before it is complete: its
    // name is registered for removal by the signal handlers before the file
    // exists, or the system deletes it when it is closed.
    int (*create_named)(const std::string& path, std::intptr_t& handle);
    // Claims the disk space; EOPNOTSUPP where the file system cannot.
    int (*reserve)(std::intptr_t handle, std::uint64_t size);
    // Writes some of the n bytes at `offset`, and says how many.
    int (*write_at)(std::intptr_t handle, std::uint64_t offset, const std::uint8_t* data,
                    std::size_t n, std::size_t& written);
    int (*close)(std::intptr_t handle);
    // Readies the complete file to take the place of the one at `old_path`:
    // gives it that file's permissions (and where allowed its owner and
    // group) or attributes, and keeps it when it is closed.
    void (*make_ready)(std::intptr_t handle, const std::string& old_path);
    // Gives the unnamed file the name `path`: EEXIST if it is taken.
    int (*link)(std::intptr_t handle, const std::string& path);
    // Moves `from` over `to` in one step.
    int (*replace)(const std::string& from, const std::string& to);
    // Takes a named temporary file off the signal handlers' list, and
    // removes the file first where `remove_file`.
    void (*release)(const std::string& path, bool remove_file);
    // Removes a file.
    void (*remove)(const std::string& path);
    // Holds signals back while `hold`, so that the steps that put the file
    // in place are never cut apart by anything a handler could see.
    void (*hold_signals)(bool hold);
    // A number that no other running process has, for temporary names.
    std::uint64_t (*process_id)();
};

// This platform's calls.
const output_os& native_output_os();

// Removes the named temporary file now, if there is one. Safe in a signal
// handler: for failures that end the process at once.
void discard_temporary_file() noexcept;

class output_file {
public:
    explicit output_file(std::string final_name, const output_os& os = native_output_os());
    output_file(const output_file&) = delete;
    output_file& operator=(const output_file&) = delete;
    ~output_file();  // forgets the file unless commit() succeeded

    const std::string& name() const { return name_; }
    void reserve(std::uint64_t size);  // before writing, when the size is known
    void write_at(std::uint64_t offset, const std::uint8_t* data, std::size_t n);
    // Copies n bytes of `in` from `offset` to the same offset here, in
    // pieces of at most 1 MiB, however many there are.
    void copy_from(const input_file& in, std::uint64_t offset, std::uint64_t n);
    // Gives the file the old one's permissions and puts it in its place.
    void commit();

private:
    const output_os& os_;
    std::string name_;
    std::intptr_t handle_ = -1;
    std::string tmp_name_;  // the named fallback's file, until committed

    void create_named();
    void close_handle();
    void link_in_place();
};
