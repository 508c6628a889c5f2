// The output file. It is written into a file with no name in the output's
// folder, which gets a name and takes the final one's place only once it
// is complete, so no failure and no signal damages an existing output.
//
// A run that fails, or is ended by a signal, leaves nothing behind. So does
// SIGKILL, with two exceptions: where the file system cannot make unnamed
// files, or cannot give them a name, a named temporary file is used, and
// SIGKILL, which no handler can see, leaves it; and where an old output
// exists, the complete file is first linked to a temporary name and then
// renamed over the old one, so a SIGKILL between those two calls leaves
// that temporary file. Temporary files are ".ripple-" and six letters or
// digits, in the output's folder, readable by the owner alone until the
// output takes their place.
//
// Only a regular file is ever replaced: a folder, a FIFO, a device or a
// socket under the output's name is refused before the first question. A
// symbolic link is written through: the file it leads to is replaced, in
// its own folder, and the link stays; a link that leads nowhere is refused.
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

#include "byte_source.hpp"
#include "error.hpp"
#include "strips.hpp"

// What is under an output name now.
struct output_target {
    enum class kind { none, regular, directory, other, dangling_link } existing = kind::none;
    std::string path;       // where the output goes: the name, or where its link leads
    std::string folder;     // the folder it goes into, ending in a separator, or ""
    int folder_error = 0;   // why that folder cannot take a new file, or 0
};

// Each call that can fail returns 0 or an errno value (on Windows, a Windows
// code with no errno value, negated).
struct output_os {
    // Looks at what `name` is now, following symbolic links, and whether
    // its folder is one that can be written. Fails only where the name
    // itself cannot be looked at.
    int (*inspect)(const std::string& name, output_target& target);
    // A new file with no name in `folder`: EOPNOTSUPP (or EISDIR, EINVAL)
    // where the system or the file system cannot make one.
    int (*create_unnamed)(const std::string& folder, std::intptr_t& handle);
    // A new file under `path`, readable by its owner alone, failing with
    // EEXIST if the name is taken, that goes away if the process is ended
    // before it is complete: its name is registered for removal by the
    // signal handlers before the file exists, or the system deletes it when
    // it is closed.
    int (*create_named)(const std::string& path, std::intptr_t& handle);
    // Claims the disk space; any failure but ENOSPC, EDQUOT and EFBIG
    // means the file system, or a container's rules, will not.
    int (*reserve)(std::intptr_t handle, std::uint64_t size);
    // Writes some of the n bytes at `offset`, and says how many.
    int (*write_at)(std::intptr_t handle, std::uint64_t offset, const std::uint8_t* data,
                    std::size_t n, std::size_t& written);
    int (*close)(std::intptr_t handle);
    // Readies the complete file to take the place of the one at `old_path`,
    // if there is one: gives it that file's permissions (and where allowed
    // its owner, group and access ACL) or attributes, or else those of a new
    // file, and keeps it when it is closed. Calls `os.set_owner`.
    void (*make_ready)(const output_os& os, std::intptr_t handle, const std::string& old_path);
    // fchown: -1 leaves the owner or the group as it is.
    int (*set_owner)(std::intptr_t handle, long owner, long group);
    // Gives the unnamed file the name `path`: EEXIST if it is taken. `link`
    // works from the handle itself; `link_by_path` through the name the
    // system gives open files (/proc/self/fd), which an ordinary user may
    // use where `link` needs a privilege.
    int (*link)(std::intptr_t handle, const std::string& path);
    int (*link_by_path)(std::intptr_t handle, const std::string& path);
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
    // A number that differs from run to run, for temporary names.
    std::uint64_t (*seed)();
};

// This platform's calls.
const output_os& native_output_os();

// Removes the named temporary file now, if there is one. Safe in a signal
// handler: for failures that end the process at once.
void discard_temporary_file() noexcept;

// The temporary name that a run with `seed` tries `attempt`-th, in `folder`.
std::string temporary_name(const std::string& folder, std::uint64_t seed, int attempt);

// Where the output named `name` goes, checked as far as it can be before
// anything is asked: not an empty name, not a folder or anything else that
// is not a regular file, not a link that leads nowhere, and a folder that
// exists and can be written. Throws a ripple_error naming `name`.
output_target check_output(const std::string& name, const output_os& os = native_output_os());

class output_file {
public:
    // A file that is to take the place of what `target` names; messages
    // name it `name`.
    output_file(std::string name, output_target target, const output_os& os = native_output_os());
    explicit output_file(const std::string& name, const output_os& os = native_output_os())
        : output_file(name, check_output(name, os), os)
    {
    }
    output_file(const output_file&) = delete;
    output_file& operator=(const output_file&) = delete;
    ~output_file();  // forgets the file unless commit() succeeded

    const std::string& name() const { return name_; }
    void reserve(std::uint64_t size);  // before writing, when the size is known
    void write_at(std::uint64_t offset, const std::uint8_t* data, std::size_t n);
    // Copies n bytes of `in` from `offset` to the same offset here, in
    // pieces of at most 1 MiB, however many there are.
    void copy_from(const byte_source& in, std::uint64_t offset, std::uint64_t n);
    // Gives the file the old one's permissions and puts it in its place.
    void commit();

private:
    const output_os& os_;
    std::string name_;
    output_target target_;
    std::intptr_t handle_ = -1;
    std::string tmp_name_;  // the named fallback's file, until committed

    void create_named();
    bool linkable();
    int link_to(const std::string& path);
    void close_handle();
    void link_in_place();
};

// The strips go to the output file, from `offset` on, as they are done.
class file_sink : public pixel_sink {
public:
    file_sink(output_file& out, std::uint64_t offset, std::size_t strip_size = default_strip_size);
    file_sink(const file_sink&) = delete;
    file_sink& operator=(const file_sink&) = delete;
    ~file_sink() override;
    void close(int slot, std::uint64_t offset, std::size_t n) override;

protected:
    std::uint8_t* place(int slot, std::uint64_t offset, std::size_t n) override;

private:
    output_file& out_;
    std::uint64_t offset_;
    // Not zeroed: the pages of a slot that is never used are never touched.
    std::uint8_t* buffers_;
};
