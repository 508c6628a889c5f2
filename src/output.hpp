// The output file. It is written into a file with no name in the output's
// folder; once complete, its bytes are synced to the disk, and only then
// does it take a name, in one step: the output's own where there is no old
// file, else a temporary one that is renamed over the old file. The folder
// is synced last, so that a run that ends with status 0 has a picture that
// a power cut cannot take: the name holds the old file or the complete new
// one, never a file whose bytes were lost.
//
// A run that fails, or is ended by a signal, leaves nothing behind; so
// does SIGKILL, with two exceptions. Where the file system cannot make
// unnamed files, or cannot give them a name, a named temporary file is
// written instead, which a signal handler removes, and which SIGKILL, or a
// power cut before the rename, leaves; and where an old output exists,
// SIGKILL between the link to the temporary name and the rename leaves the
// complete picture under that name. Temporary names are ".ripple-" and six
// letters or digits, in the output's folder; the file is readable by its
// owner alone while it is incomplete.
//
// Only a regular file is ever replaced: a folder, a FIFO, a device or a
// socket under the output's name is refused before the first question, and
// so is an old file that cannot be replaced (append-only or immutable, or
// in such a folder). A symbolic link is followed as the system's own open
// follows it, one step at a time from an open folder, and written through:
// the file it leads to is replaced, in its own folder, and the link stays.
// A link that leads nowhere is refused; so is a link the system would not
// follow: in a folder that is sticky and writable by all (/tmp), one owned
// by neither the user nor the folder's owner.
//
// The operating system's side is the output_os table of facts and raw
// calls below, one implementation per platform (output_posix.cpp,
// output_win32.cpp); what to do with them is decided here, once. Tests
// replace entries to reach faults that no file system here can be made to
// give. Windows has no unnamed files: its temporary file is deleted by the
// system if the process ends before the file is complete.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "byte_source.hpp"
#include "error.hpp"

// An open folder: its name, ending in a separator ("" for the current
// folder), and where the platform works relative to open folders, its
// descriptor.
struct folder_ref {
    std::string path;
    std::intptr_t handle = -1;
};

// What is at a name, not following a link.
struct entry_facts {
    enum class kind { none, regular, directory, link, other } type = kind::none;
    std::uint32_t mode = 0;        // permission bits
    std::uint32_t attributes = 0;  // Windows' file attributes
    long owner = -1, group = -1;
    bool fixed = false;  // append-only or immutable: it can be neither replaced nor removed
};

// What a folder is.
struct folder_facts {
    long owner = -1;
    bool shared = false;  // sticky and writable by all, as /tmp is
    bool fixed = false;   // append-only or immutable
};

// An access control list as POSIX.1e has it: entries of a tag (the owner,
// a user, the owning group, a group, the mask, the others), permission
// bits rwx = 4, 2, 1, and an id. Empty: none.
struct acl_entry {
    enum tag_kind : std::uint16_t { user_obj = 0x01, user = 0x02, group_obj = 0x04, group = 0x08,
                                    mask = 0x10, other = 0x20 };
    std::uint16_t tag = 0, perm = 0;
    std::uint32_t id = 0;
    bool operator==(const acl_entry&) const = default;
};
using access_list = std::vector<acl_entry>;

// Each call that can fail returns 0 or an errno value (on Windows, a Windows
// code with no errno value, negated). Calls on a name take its folder and
// its last part, the leaf.
struct output_os {
    const char* separators;  // what may end a folder's part of a name
    // Opens the folder at `path`, relative to `base` (nullptr: the current
    // folder), following links as the system's own open does.
    int (*open_folder)(const folder_ref* base, const std::string& path, folder_ref& folder);
    void (*close_folder)(folder_ref& folder);
    int (*look)(const folder_ref& folder, const std::string& leaf, entry_facts& facts);
    int (*look_folder)(const folder_ref& folder, folder_facts& facts);
    // Why no file can be made in the folder, or 0.
    int (*cannot_write)(const folder_ref& folder);
    // Where a link leads: a name relative to its folder, or an absolute one.
    int (*read_link)(const folder_ref& folder, const std::string& leaf, std::string& target);
    long (*user)();      // whom the run acts as
    unsigned (*umask)();
    // A new file with no name in `folder`, readable by its owner alone:
    // EOPNOTSUPP (or EISDIR, EINVAL) where the system or the file system
    // cannot make one.
    int (*create_unnamed)(const folder_ref& folder, std::intptr_t& file);
    // A new file `leaf`, readable by its owner alone; EEXIST if the name is
    // taken. On Windows the system deletes it when it is closed, until
    // keep_when_closed.
    int (*create_named)(const folder_ref& folder, const std::string& leaf, std::intptr_t& file);
    // Claims the disk space; any failure but ENOSPC, EDQUOT and EFBIG
    // means the file system, or a container's rules, will not.
    int (*reserve)(std::intptr_t file, std::uint64_t size);
    // Writes some of the n bytes at `offset`, and says how many.
    int (*write_at)(std::intptr_t file, std::uint64_t offset, const std::uint8_t* data, std::size_t n,
                    std::size_t& written);
    // Starts putting the bytes on the disk without waiting for them.
    void (*start_writeback)(std::intptr_t file, std::uint64_t offset, std::uint64_t n);
    // Waits until the file's bytes are on the disk, past its caches.
    int (*sync)(std::intptr_t file);
    // Waits until the folder's names are on the disk; EINVAL, EBADF or
    // EOPNOTSUPP where the file system cannot say.
    int (*sync_folder)(const folder_ref& folder);
    int (*close)(std::intptr_t file);
    int (*set_mode)(std::intptr_t file, std::uint32_t mode);
    // -1 leaves the owner or the group as it is.
    int (*set_owner)(std::intptr_t file, long owner, long group);
    int (*set_attributes)(std::intptr_t file, std::uint32_t attributes);
    // The access ACL of a file, or the default ACL of a folder (leaf ".").
    int (*get_acl)(const folder_ref& folder, const std::string& leaf, bool default_acl, access_list& acl);
    // Gives the file this access ACL (and the mode it implies); an empty
    // list removes it (ENODATA where it had none).
    int (*set_acl)(std::intptr_t file, const access_list& acl);
    int (*keep_when_closed)(std::intptr_t file);
    // Gives the unnamed file the name `leaf`: EEXIST if it is taken. `link`
    // works from the handle itself; `link_by_path` through the name the
    // system gives open files (/proc/self/fd), which an ordinary user may
    // use where `link` needs a privilege.
    int (*link)(std::intptr_t file, const folder_ref& folder, const std::string& leaf);
    int (*link_by_path)(std::intptr_t file, const folder_ref& folder, const std::string& leaf);
    // Moves `from` over `to` in one step, both in `folder`.
    int (*rename)(const folder_ref& folder, const std::string& from, const std::string& to);
    int (*remove)(const folder_ref& folder, const std::string& leaf);
    // A number that differs from run to run, for temporary names.
    std::uint64_t (*seed)();
};

// This platform's calls.
const output_os& native_output_os();

// The temporary name that a run with `seed` tries `attempt`-th.
std::string temporary_name(std::uint64_t seed, int attempt);

// Where an output goes: the folder that is to hold it, open, and its name
// there, after every link; and what is there now.
class output_target {
public:
    output_target(const output_os& os, folder_ref folder, std::string leaf, entry_facts existing);
    output_target(output_target&& o) noexcept;
    output_target& operator=(output_target&&) = delete;
    ~output_target();

    const folder_ref& folder() const { return folder_; }
    const std::string& leaf() const { return leaf_; }
    const entry_facts& existing() const { return existing_; }
    // Looks at what is at the name now.
    int look_again();

private:
    const output_os* os_;
    folder_ref folder_;
    std::string leaf_;
    entry_facts existing_;
};

// Where the output named `name` goes, checked as far as it can be before
// anything is asked: not an empty name or one that names a folder, not a
// folder or anything else that is not a regular file, not a file that
// cannot be replaced, not a link that leads nowhere or that the system
// would not follow, and a folder that exists and can be written. Throws a
// ripple_error naming `name`.
output_target check_output(const std::string& name, const output_os& os = native_output_os());

class output_file {
public:
    // A file that is to take the place of what `target` names; messages
    // name it `name`.
    output_file(std::string name, output_target target, const output_os& os = native_output_os());
    output_file(const output_file&) = delete;
    output_file& operator=(const output_file&) = delete;
    ~output_file();  // forgets the file unless commit() succeeded

    void reserve(std::uint64_t size);  // before writing, when the size is known
    // Writes the n bytes at `offset`, and starts putting them on the disk.
    void write_at(std::uint64_t offset, const std::uint8_t* data, std::size_t n);
    // Copies n bytes of `in` from `offset` to the same offset here, in
    // pieces of at most 1 MiB, however many there are.
    void copy_from(const byte_source& in, std::uint64_t offset, std::uint64_t n);
    // Puts the bytes on the disk, gives the file the old one's permissions,
    // puts it in its place and puts that on the disk too.
    void commit();

private:
    const output_os& os_;
    std::string name_;
    output_target target_;
    std::intptr_t handle_ = -1;
    std::string tmp_leaf_;  // the named fallback's file, until committed

    void create_named();
    bool linkable();
    int link_to(const std::string& leaf);
    void close_handle();
    void make_ready();
    void link_in_place();
    void remove_temporary();
};
