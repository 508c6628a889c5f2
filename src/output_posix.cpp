// The output on POSIX systems: every call relative to an open folder
// (openat, fstatat, readlinkat, linkat, renameat, unlinkat), O_TMPFILE where
// the system has it, the file synced with fdatasync (F_FULLFSYNC on macOS,
// whose fsync leaves the bytes in the drive's cache), and on Linux the ACLs
// kept in extended attributes. Facts and raw calls only: what to make of
// them is output.cpp's.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <time.h>
#include <sys/stat.h>
#include <unistd.h>

// Linux keeps ACLs in extended attributes, in its own little-endian form.
#if defined(__linux__) && __has_include(<sys/xattr.h>)
#include <sys/xattr.h>
#define RIPPLE_ACL_ATTRIBUTES 1
#endif

#include "output.hpp"

namespace {

int result(int rc) { return rc == 0 ? 0 : errno; }

// A folder that can be written but not listed opens for search alone,
// where the system can open one so; it then cannot be synced, which
// costs only the certainty of the name after a power cut.
int open_folder(const folder_ref* base, const std::string& path, folder_ref& folder)
{
    const int at = base ? int(base->handle) : AT_FDCWD;
    const char* name = path.empty() ? "." : path.c_str();
    int fd = ::openat(at, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY);
#if defined(O_PATH)
    if (fd < 0 && errno == EACCES)
        fd = ::openat(at, name, O_PATH | O_DIRECTORY | O_CLOEXEC);
#elif defined(O_SEARCH)
    if (fd < 0 && errno == EACCES)
        fd = ::openat(at, name, O_SEARCH | O_DIRECTORY | O_CLOEXEC);
#endif
    if (fd < 0)
        return errno;
    folder.handle = fd;
    folder.path = !base || path.starts_with('/') ? path : base->path + path;
    return 0;
}

void close_folder(folder_ref& folder)
{
    if (folder.handle >= 0)
        ::close(int(folder.handle));
    folder.handle = -1;
}

entry_facts::kind kind_of(mode_t mode)
{
    using kind = entry_facts::kind;
    return S_ISREG(mode) ? kind::regular : S_ISDIR(mode) ? kind::directory : S_ISLNK(mode) ? kind::link : kind::other;
}

// Append-only and immutable, which neither root nor the owner can pass:
// Linux reports them through statx, the BSDs and macOS in st_flags.
bool fixed(int fd, const char* leaf, const struct stat& st)
{
#if defined(STATX_ATTR_APPEND) && defined(STATX_ATTR_IMMUTABLE) && defined(AT_EMPTY_PATH)
    (void)st;
    struct statx sx;
    const int flags = AT_SYMLINK_NOFOLLOW | (*leaf ? 0 : AT_EMPTY_PATH);
    return ::statx(fd, leaf, flags, STATX_TYPE, &sx) == 0 &&
           (sx.stx_attributes & sx.stx_attributes_mask & (STATX_ATTR_APPEND | STATX_ATTR_IMMUTABLE)) != 0;
#elif defined(UF_APPEND) && defined(UF_IMMUTABLE) && defined(SF_APPEND) && defined(SF_IMMUTABLE)
    (void)fd;
    (void)leaf;
    return (st.st_flags & (UF_APPEND | UF_IMMUTABLE | SF_APPEND | SF_IMMUTABLE)) != 0;
#else
    (void)fd;
    (void)leaf;
    (void)st;
    return false;
#endif
}

int look(const folder_ref& folder, const std::string& leaf, entry_facts& facts)
{
    struct stat st;
    if (::fstatat(int(folder.handle), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT)
            return errno;
        facts = {};
        return 0;
    }
    facts.type = kind_of(st.st_mode);
    facts.mode = std::uint32_t(st.st_mode & 07777);
    facts.owner = long(st.st_uid);
    facts.group = long(st.st_gid);
    facts.fixed = facts.type == entry_facts::kind::regular && fixed(int(folder.handle), leaf.c_str(), st);
    return 0;
}

int look_folder(const folder_ref& folder, folder_facts& facts)
{
    const int fd = int(folder.handle);
    struct stat st;
    if (::fstat(fd, &st) != 0)
        return errno;
    facts.owner = long(st.st_uid);
    facts.shared = (st.st_mode & S_ISVTX) && (st.st_mode & S_IWOTH);
    facts.fixed = fixed(fd, "", st);
    return 0;
}

int cannot_write(const folder_ref& folder) { return result(::faccessat(int(folder.handle), ".", W_OK | X_OK, 0)); }

int read_link(const folder_ref& folder, const std::string& leaf, std::string& target)
{
    std::vector<char> buf(256);
    for (;;) {
        const ssize_t n = ::readlinkat(int(folder.handle), leaf.c_str(), buf.data(), buf.size());
        if (n < 0)
            return errno;
        if (std::size_t(n) < buf.size()) {
            target.assign(buf.data(), std::size_t(n));
            return 0;
        }
        buf.resize(buf.size() * 2);
    }
}

long user() { return long(::geteuid()); }

unsigned umask_now()
{
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return unsigned(mask);
}

int create_unnamed(const folder_ref& folder, std::intptr_t& file)
{
#ifdef O_TMPFILE
    const int fd = ::openat(int(folder.handle), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0)
        return errno;
    file = fd;
    return 0;
#else
    (void)folder;
    (void)file;
    return EOPNOTSUPP;
#endif
}

int create_named(const folder_ref& folder, const std::string& leaf, std::intptr_t& file)
{
    const int fd = ::openat(int(folder.handle), leaf.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return errno;
    file = fd;
    return 0;
}

// fallocate fails at once where a file system cannot reserve space;
// posix_fallocate would write the whole file instead.
int reserve(std::intptr_t file, std::uint64_t size)
{
#if defined(FALLOC_FL_KEEP_SIZE)
    return result(::fallocate(int(file), 0, 0, off_t(size)));
#elif defined(_POSIX_ADVISORY_INFO) && _POSIX_ADVISORY_INFO > 0
    return ::posix_fallocate(int(file), 0, off_t(size));
#else
    (void)file;
    (void)size;
    return EOPNOTSUPP;
#endif
}

int write_at(std::intptr_t file, std::uint64_t offset, const std::uint8_t* data, std::size_t n, std::size_t& written)
{
    const ssize_t put = ::pwrite(int(file), data, n, off_t(offset));
    if (put < 0)
        return errno;
    written = std::size_t(put);
    return 0;
}

void start_writeback(std::intptr_t file, std::uint64_t offset, std::uint64_t n)
{
#ifdef SYNC_FILE_RANGE_WRITE
    ::sync_file_range(int(file), off_t(offset), off_t(n), SYNC_FILE_RANGE_WRITE);
#else
    (void)file;
    (void)offset;
    (void)n;
#endif
}

// macOS's fsync leaves the bytes in the drive's cache; F_FULLFSYNC, which
// some file systems there refuse, flushes it too.
int sync_file(std::intptr_t file)
{
    const int fd = int(file);
#ifdef F_FULLFSYNC
    if (::fcntl(fd, F_FULLFSYNC) == 0)
        return 0;
#endif
#if defined(_POSIX_SYNCHRONIZED_IO) && _POSIX_SYNCHRONIZED_IO > 0
    return result(::fdatasync(fd));
#else
    return result(::fsync(fd));
#endif
}

int sync_folder(const folder_ref& folder)
{
#ifdef F_FULLFSYNC
    if (::fcntl(int(folder.handle), F_FULLFSYNC) == 0)
        return 0;
#endif
    return result(::fsync(int(folder.handle)));
}

int close_file(std::intptr_t file) { return result(::close(int(file))); }

int set_mode(std::intptr_t file, std::uint32_t mode) { return result(::fchmod(int(file), mode_t(mode))); }

int set_owner(std::intptr_t file, long owner, long group)
{
    return result(::fchown(int(file), uid_t(owner), gid_t(group)));
}

int no_attributes(std::intptr_t, std::uint32_t) { return 0; }

int keep_anyway(std::intptr_t) { return 0; }  // nothing deletes it

#ifdef RIPPLE_ACL_ATTRIBUTES
const char* acl_attribute(bool default_acl) { return default_acl ? "system.posix_acl_default" : "system.posix_acl_access"; }

// A name in the folder that needs no path from the root, and so no
// PATH_MAX: through the descriptor, where /proc is there.
std::string name_in(const folder_ref& folder, const std::string& leaf, bool through_proc)
{
    if (through_proc)
        return "/proc/self/fd/" + std::to_string(folder.handle) + "/" + leaf;
    return (folder.path.empty() ? "./" : folder.path) + leaf;
}

// A version of 4 bytes, then entries of 8: tag, permissions, id, each
// little-endian. An ACL may hold hundreds of entries; one that grew between
// asking its size and reading it is asked again.
int get_acl(const folder_ref& folder, const std::string& leaf, bool default_acl, access_list& acl)
{
    acl.clear();
    std::vector<std::uint8_t> bytes;
    ssize_t n = -1;
    for (bool proc : {true, false}) {
        const std::string name = name_in(folder, leaf, proc);
        do {
            n = ::lgetxattr(name.c_str(), acl_attribute(default_acl), nullptr, 0);
            if (n > 0) {
                bytes.resize(std::size_t(n));
                n = ::lgetxattr(name.c_str(), acl_attribute(default_acl), bytes.data(), bytes.size());
            }
        } while (n < 0 && errno == ERANGE);
        if (n >= 0 || errno != ENOENT)
            break;
    }
    if (n < 0)
        return errno == ENODATA || errno == ENOTSUP ? 0 : errno;
    auto get = [&](std::size_t at, int size) {
        std::uint32_t v = 0;
        for (int k = 0; k < size; k++)
            v |= std::uint32_t(bytes[at + std::size_t(k)]) << (8 * k);
        return v;
    };
    for (std::size_t at = 4; at + 8 <= std::size_t(n); at += 8)
        acl.push_back({std::uint16_t(get(at, 2)), std::uint16_t(get(at + 2, 2)), get(at + 4, 4)});
    return 0;
}

int set_acl(std::intptr_t file, const access_list& acl)
{
    if (acl.empty())
        return result(::fremovexattr(int(file), acl_attribute(false)));
    std::vector<std::uint8_t> bytes{2, 0, 0, 0};
    auto put = [&](std::uint32_t v, int size) {
        for (int k = 0; k < size; k++)
            bytes.push_back(std::uint8_t(v >> (8 * k)));
    };
    for (const acl_entry& e : acl) {
        put(e.tag, 2);
        put(e.perm, 2);
        put(e.tag == acl_entry::user || e.tag == acl_entry::group ? e.id : 0xffffffffu, 4);
    }
    return result(::fsetxattr(int(file), acl_attribute(false), bytes.data(), bytes.size(), 0));
}
#else
int get_acl(const folder_ref&, const std::string&, bool, access_list& acl)
{
    acl.clear();
    return 0;
}

int set_acl(std::intptr_t, const access_list& acl) { return acl.empty() ? 0 : EOPNOTSUPP; }
#endif

// AT_EMPTY_PATH needs a capability (before Linux 6.10) that /proc does not.
int link_file(std::intptr_t file, const folder_ref& folder, const std::string& leaf)
{
#if defined(AT_EMPTY_PATH)
    return result(::linkat(int(file), "", int(folder.handle), leaf.c_str(), AT_EMPTY_PATH));
#else
    (void)file;
    (void)folder;
    (void)leaf;
    return EOPNOTSUPP;  // there are no unnamed files to link
#endif
}

int link_by_path(std::intptr_t file, const folder_ref& folder, const std::string& leaf)
{
#if defined(AT_EMPTY_PATH)
    const std::string proc = "/proc/self/fd/" + std::to_string(file);
    return result(::linkat(AT_FDCWD, proc.c_str(), int(folder.handle), leaf.c_str(), AT_SYMLINK_FOLLOW));
#else
    (void)file;
    (void)folder;
    (void)leaf;
    return EOPNOTSUPP;
#endif
}

int rename_file(const folder_ref& folder, const std::string& from, const std::string& to)
{
    return result(::renameat(int(folder.handle), from.c_str(), int(folder.handle), to.c_str()));
}

int remove_file(const folder_ref& folder, const std::string& leaf)
{
    return result(::unlinkat(int(folder.handle), leaf.c_str(), 0));
}

std::uint64_t seed()
{
    struct timespec now {};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return std::uint64_t(::getpid()) << 32 ^ std::uint64_t(now.tv_sec) * 1000000000u ^ std::uint64_t(now.tv_nsec);
}

}  // namespace

const output_os& native_output_os()
{
    static const output_os os{
        .separators = "/",
        .open_folder = open_folder,
        .close_folder = close_folder,
        .look = look,
        .look_folder = look_folder,
        .cannot_write = cannot_write,
        .read_link = read_link,
        .user = user,
        .umask = umask_now,
        .create_unnamed = create_unnamed,
        .create_named = create_named,
        .reserve = reserve,
        .write_at = write_at,
        .start_writeback = start_writeback,
        .sync = sync_file,
        .sync_folder = sync_folder,
        .close = close_file,
        .set_mode = set_mode,
        .set_owner = set_owner,
        .set_attributes = no_attributes,
        .get_acl = get_acl,
        .set_acl = set_acl,
        .keep_when_closed = keep_anyway,
        .link = link_file,
        .link_by_path = link_by_path,
        .rename = rename_file,
        .remove = remove_file,
        .seed = seed,
    };
    return os;
}
