#include "output.hpp"

#include <algorithm>
#include <cerrno>
#include <memory>
#include <utility>

#include "process.hpp"

namespace {

constexpr int attempts = 100;
// How many links a name may pass through, as Linux allows.
constexpr int max_links = 40;

const std::string cannot_create = "nie można utworzyć pliku";

// Holds signals for the lifetime of a scope.
struct signals_held {
    signals_held() { hold_signals(true); }
    ~signals_held() { hold_signals(false); }
    signals_held(const signals_held&) = delete;
    signals_held& operator=(const signals_held&) = delete;
};

std::uint64_t mix(std::uint64_t z)  // splitmix64's finaliser
{
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
    return z ^ (z >> 31);
}

// A name's folder part, ending in a separator ("" where there is none),
// and its leaf.
std::pair<std::string, std::string> split(const std::string& name, const char* separators)
{
    const std::size_t at = name.find_last_of(separators);
    if (at == std::string::npos)
        return {"", name};
    return {name.substr(0, at + 1), name.substr(at + 1)};
}

// A call that a signal may cut short is made again.
template <class F>
int retried(F call)
{
    int err;
    while ((err = call()) == EINTR) {
    }
    return err;
}

// The folder being walked through, closed when it is left.
class open_folder {
public:
    explicit open_folder(const output_os& os) : os_(os) {}
    ~open_folder()
    {
        if (open_)
            os_.close_folder(ref_);
    }
    open_folder(const open_folder&) = delete;
    open_folder& operator=(const open_folder&) = delete;

    // Opens `path` relative to this folder (or the current one, at first).
    int enter(const std::string& path)
    {
        folder_ref next;
        if (const int err = os_.open_folder(open_ ? &ref_ : nullptr, path, next))
            return err;
        if (open_)
            os_.close_folder(ref_);
        ref_ = std::move(next);
        open_ = true;
        return 0;
    }
    const folder_ref& ref() const { return ref_; }
    folder_ref release()
    {
        open_ = false;
        return std::move(ref_);
    }

private:
    const output_os& os_;
    folder_ref ref_;
    bool open_ = false;
};

// A folder that cannot take the output.
[[noreturn]] void refuse_folder(const std::string& name, int err)
{
    if (err == ENOENT)
        fail(name, cannot_create + ": nie ma takiego katalogu");
    fail(name, cannot_create, err);
}

// The kernel's rule for links in a folder that others can write in (Linux's
// fs.protected_symlinks, on by default in Debian and Ubuntu), applied
// everywhere: such a link is followed only by its owner or the folder's.
bool may_follow(const output_os& os, const folder_ref& folder, const entry_facts& link)
{
    folder_facts f;
    if (os.look_folder(folder, f) != 0 || !f.shared)
        return true;
    return link.owner == os.user() || link.owner == f.owner;
}

// An access ACL as a file made with `mode` in a folder with the default
// ACL `acl` gets it, the umask left out, as POSIX.1e has it: the mode
// narrows the owner's, the others' and the mask's permissions (the owning
// group's where there is no mask).
access_list inherited(access_list acl, std::uint32_t mode)
{
    const bool has_mask = std::any_of(acl.begin(), acl.end(), [](const acl_entry& e) { return e.tag == acl_entry::mask; });
    for (acl_entry& e : acl)
        if (e.tag == acl_entry::user_obj)
            e.perm &= (mode >> 6) & 7;
        else if (e.tag == acl_entry::other)
            e.perm &= mode & 7;
        else if (e.tag == (has_mask ? acl_entry::mask : acl_entry::group_obj))
            e.perm &= (mode >> 3) & 7;
    return acl;
}

// The permission bits an access ACL implies: the owner's, the mask's (the
// owning group's where there is no mask), and the others'.
std::uint32_t mode_of(const access_list& acl)
{
    std::uint32_t owner = 0, group = 0, mask = 8, other = 0;
    for (const acl_entry& e : acl)
        if (e.tag == acl_entry::user_obj)
            owner = e.perm;
        else if (e.tag == acl_entry::group_obj)
            group = e.perm;
        else if (e.tag == acl_entry::mask)
            mask = e.perm;
        else if (e.tag == acl_entry::other)
            other = e.perm;
    return owner << 6 | (mask == 8 ? group : mask) << 3 | other;
}

// `mode` where a file cannot take the old file's ACL: its owning group
// gets no more than the ACL gave that group, since with an ACL the group
// bits of the mode are the mask, which may give more.
std::uint32_t narrowed(std::uint32_t mode, const access_list& acl)
{
    std::uint32_t group = 0;
    for (const acl_entry& e : acl)
        if (e.tag == acl_entry::group_obj)
            group = e.perm;
    return (mode & ~std::uint32_t(070)) | (mode & group << 3);
}

}  // namespace

// Short and fixed in length, so that any name that fits its folder can be
// replaced, and taken with O_EXCL, so that no two runs share one.
std::string temporary_name(std::uint64_t seed, int attempt)
{
    static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::uint64_t z = mix(seed + 0x9e3779b97f4a7c15u * std::uint64_t(attempt + 1));
    std::string name = ".ripple-";
    for (int k = 0; k < 6; k++, z /= 62)
        name += letters[z % 62];
    return name;
}

output_target::output_target(const output_os& os, folder_ref folder, std::string leaf, entry_facts existing)
    : os_(&os), folder_(std::move(folder)), leaf_(std::move(leaf)), existing_(existing)
{
}

output_target::output_target(output_target&& o) noexcept
    : os_(std::exchange(o.os_, nullptr)), folder_(std::move(o.folder_)), leaf_(std::move(o.leaf_)),
      existing_(o.existing_)
{
}

output_target::~output_target()
{
    if (os_)
        os_->close_folder(folder_);
}

int output_target::look_again() { return os_->look(folder_, leaf_, existing_); }

namespace {

bool ends_in_separator(const std::string& name, const output_os& os)
{
    return !name.empty() && std::string_view(os.separators).find(name.back()) != std::string_view::npos;
}

// Follows the links that `leaf` in `folder` leads through, each from the
// folder that holds it, one step at a time, so that the system's rules
// apply to every step; leaves `folder` and `leaf` at the last, and says
// what is there. A link that leads nowhere is told as none, `dangling`.
entry_facts follow_links(const std::string& name, const output_os& os, open_folder& folder, std::string& leaf,
                         bool& dangling)
{
    using kind = entry_facts::kind;
    entry_facts facts;
    for (int links = 0;; links++) {
        if (const int err = os.look(folder.ref(), leaf, facts))
            fail(name, cannot_create, err);
        if (facts.type != kind::link) {
            dangling = links > 0 && facts.type == kind::none;
            return facts;
        }
        if (links == max_links)
            fail(name, "", ELOOP);
        if (!may_follow(os, folder.ref(), facts))
            fail(name, "dowiązanie symboliczne w katalogu, do którego wszyscy mogą pisać, należy do kogoś "
                       "innego; system nie pozwala za nim podążać");
        std::string target;
        int err = os.read_link(folder.ref(), leaf, target);  // ENOENT where the system followed it itself
        if (err == 0) {
            if (target.empty() || ends_in_separator(target, os))
                target += '.';  // a name that ends in a separator names a folder
            std::string path;
            std::tie(path, leaf) = split(target, os.separators);
            err = path.empty() ? 0 : folder.enter(path);
        }
        if (err != 0 && err != ENOENT)
            fail(name, cannot_create, err);
        if (err == ENOENT) {
            dangling = true;
            return {};
        }
    }
}

}  // namespace

output_target check_output(const std::string& name, const output_os& os)
{
    if (name.empty())
        fail(name, cannot_create + ": pusta nazwa pliku");
    if (ends_in_separator(name, os))
        fail(name, "nazwa zakończona ukośnikiem oznacza katalog, a wynik musi być plikiem");
    auto [path, leaf] = split(name, os.separators);
    open_folder folder(os);
    if (const int err = folder.enter(path))
        refuse_folder(name, err);
    bool dangling = false;
    const entry_facts facts = follow_links(name, os, folder, leaf, dangling);
    using kind = entry_facts::kind;
    if (dangling)
        fail(name, "dowiązanie symboliczne prowadzi do nieistniejącego pliku");
    if (facts.type == kind::directory)
        fail(name, "", EISDIR);
    if (facts.type == kind::other)
        fail(name, "to nie jest zwykły plik; zastąpić można tylko zwykły plik");
    folder_facts where;
    if (const int err = os.look_folder(folder.ref(), where))
        refuse_folder(name, err);
    if (const int err = os.cannot_write(folder.ref()))
        refuse_folder(name, err);
    if (facts.type == kind::regular && (facts.fixed || where.fixed))
        fail(name, "pliku nie można zastąpić: on albo jego katalog może być tylko uzupełniany albo jest "
                   "niezmienny (chattr +a lub +i)");
    return output_target(os, folder.release(), leaf, facts);
}

output_file::output_file(std::string name, output_target target, const output_os& os)
    : os_(os), name_(std::move(name)), target_(std::move(target))
{
    const int err = os_.create_unnamed(target_.folder(), handle_);
    if (err == 0 && !linkable()) {
        os_.close(std::exchange(handle_, -1));
        create_named();
    } else if (err == EOPNOTSUPP || err == EISDIR || err == EINVAL) {
        create_named();
    } else if (err != 0) {
        fail(name_, cannot_create, err);
    }
}

// An unnamed file that could never get a name (a container that denies
// linkat, or an old kernel with no /proc for an ordinary user) would lose
// the whole composition at the end. Asking to link it over a name that
// always exists, the folder's ".", finds that out at once: EEXIST means the
// call would have worked.
bool output_file::linkable() { return link_to(".") == EEXIST; }

int output_file::link_to(const std::string& leaf)
{
    const int err = os_.link(handle_, target_.folder(), leaf);
    return err == 0 || err == EEXIST ? err : os_.link_by_path(handle_, target_.folder(), leaf);
}

// O_EXCL never lets two runs, or a stale leftover, share a file. The name is
// registered for removal before the file exists, with signals held, so that
// no moment leaves it behind, and no signal removes another's file.
void output_file::create_named()
{
    folder_facts where;
    if (os_.look_folder(target_.folder(), where) == 0 && where.fixed)
        fail(name_, cannot_create + ": w katalogu, który może być tylko uzupełniany, nie da się usunąć "
                                    "ani przemianować pliku tymczasowego");
    const std::uint64_t seed = os_.seed();
    for (int attempt = 0; handle_ == -1; attempt++) {
        const std::string leaf = temporary_name(seed, attempt);
        signals_held held;
        remember_temporary(target_.folder().handle, target_.folder().path, leaf);
        const int err = os_.create_named(target_.folder(), leaf, handle_);
        if (err == 0) {
            tmp_leaf_ = leaf;
            break;
        }
        forget_temporary();
        if (err != EEXIST || attempt == attempts)
            fail(name_, cannot_create, err);
    }
}

void output_file::remove_temporary()
{
    signals_held held;
    os_.remove(target_.folder(), std::exchange(tmp_leaf_, {}));
    forget_temporary();
}

output_file::~output_file()
{
    if (handle_ != -1)
        os_.close(handle_);
    if (!tmp_leaf_.empty())
        remove_temporary();
}

void output_file::reserve(std::uint64_t size)
{
    // Claiming the disk space up front reports a full disk or a file-size
    // limit before any work is done. A file system that cannot reserve, or
    // a container that forbids it, gets plain writes.
    const int err = os_.reserve(handle_, size);
    if (err == ENOSPC || err == EFBIG
#ifdef EDQUOT
        || err == EDQUOT
#endif
    )
        fail(name_, "nie można zarezerwować miejsca na plik", err);
}

void output_file::write_at(std::uint64_t offset, const std::uint8_t* data, std::size_t n)
{
    const std::uint64_t start = offset;
    const std::size_t length = n;
    while (n > 0) {
        std::size_t put = 0;
        int err = retried([&] { return os_.write_at(handle_, offset, data, std::min(n, max_transfer), put); });
        if (err == 0 && put == 0)
            err = ENOSPC;
        if (err != 0)
            fail(name_, "błąd zapisu", err);
        data += put;
        offset += put;
        n -= put;
    }
    // The disk writes this while the next strip is made, so that the sync
    // at the end waits for little.
    os_.start_writeback(handle_, start, length);
}

void output_file::copy_from(const byte_source& in, std::uint64_t offset, std::uint64_t n)
{
    const std::size_t piece = std::size_t(std::min<std::uint64_t>(n, 1 << 20));
    // The kernel copies from the page cache at a third of its speed into a
    // buffer that starts at the same place within a page as the file offset
    // (its loads and stores alias), so the buffer starts 256 B further on.
    constexpr std::size_t page = 4096;
    const std::unique_ptr<std::uint8_t[]> storage(new std::uint8_t[piece + page]);
    const auto shift = (offset + 256 - reinterpret_cast<std::uintptr_t>(storage.get())) % page;
    std::uint8_t* buf = storage.get() + shift;
    for (std::uint64_t done = 0; done < n; done += piece) {
        const std::size_t len = std::size_t(std::min<std::uint64_t>(piece, n - done));
        in.read_at(offset + done, buf, len);
        write_at(offset + done, buf, len);
    }
}

// Never closes twice, even after EINTR: the handle is gone either way.
void output_file::close_handle()
{
    if (const int err = os_.close(std::exchange(handle_, -1)))
        fail(name_, "błąd zapisu", err);
}

// The order every program that keeps files safe keeps: the bytes on the
// disk, then the name, then the folder that holds the name. Without the
// first, a power cut after the rename would leave a name for bytes that
// never reached the disk, and the old file gone.
void output_file::commit()
{
    if (const int err = retried([&] { return os_.sync(handle_); }))
        fail(name_, "błąd zapisu na dysk", err);
    {
        signals_held held;
        // What took the name while the user answered is looked at again:
        // only a regular file is replaced; a folder, a FIFO or a link that
        // took its place stays as it is.
        if (const int err = target_.look_again())
            fail(name_, cannot_create, err);
        const entry_facts::kind now = target_.existing().type;
        if (now == entry_facts::kind::directory)
            fail(name_, "", EISDIR);
        if (now != entry_facts::kind::none && now != entry_facts::kind::regular)
            fail(name_, "to nie jest zwykły plik; zastąpić można tylko zwykły plik");
        make_ready();
        if (tmp_leaf_.empty()) {
            link_in_place();
        } else {
            close_handle();
            if (const int err = os_.rename(target_.folder(), tmp_leaf_, target_.leaf()))
                fail(name_, "nie można zapisać pliku", err);
            tmp_leaf_.clear();
            forget_temporary();
        }
    }
    const int err = retried([&] { return os_.sync_folder(target_.folder()); });
    if (err != 0 && err != EINVAL && err != EBADF && err != EOPNOTSUPP && err != ENOSYS)
        fail(name_, "plik zapisano, ale system nie potwierdził zapisania jego nazwy na dysku", err);
}

// A rewrite in place would keep the old file's mode and owner; a
// replacement must carry them over itself, or a private file would become
// readable by all. Owner and group only where allowed (the group alone
// where the owner cannot be given); setuid, setgid and sticky never carry
// over. A new file gets what any new file made in its folder gets: its
// default ACL where it has one, else what the umask leaves. Failures leave
// the file readable by its owner alone, which takes nothing from anyone.
void output_file::make_ready()
{
    const entry_facts& old = target_.existing();
    access_list acl;
    if (old.type == entry_facts::kind::regular) {
        if (os_.set_owner(handle_, old.owner, old.group) != 0)
            os_.set_owner(handle_, -1, old.group);
        os_.set_attributes(handle_, old.attributes);
        const std::uint32_t mode = old.mode & 0777;
        if (os_.get_acl(target_.folder(), target_.leaf(), false, acl) != 0 || acl.empty()) {
            os_.set_acl(handle_, {});  // what the folder's default ACL gave the new file
            os_.set_mode(handle_, mode);
        } else {
            os_.set_mode(handle_, mode);
            if (os_.set_acl(handle_, acl) != 0)
                os_.set_mode(handle_, narrowed(mode, acl));
        }
    } else if (os_.get_acl(target_.folder(), ".", true, acl) == 0 && !acl.empty()) {
        acl = inherited(acl, 0666);
        if (os_.set_acl(handle_, acl) != 0)
            os_.set_mode(handle_, mode_of(acl));
    } else {
        os_.set_mode(handle_, 0666 & ~os_.umask());
    }
    if (const int err = os_.keep_when_closed(handle_))
        fail(name_, "nie można zapisać pliku", err);
}

// Where no file has the final name yet, the unnamed file simply gets it.
// Otherwise it is linked to a fresh temporary name, which is then renamed
// over the old file: there is no call that links over a name.
void output_file::link_in_place()
{
    int err = link_to(target_.leaf());
    if (err == 0) {
        // A file whose last writes failed must not stay under the name.
        if (const int close_err = os_.close(std::exchange(handle_, -1))) {
            os_.remove(target_.folder(), target_.leaf());
            fail(name_, "błąd zapisu", close_err);
        }
        return;
    }
    std::string linked;
    const std::uint64_t seed = os_.seed();
    for (int attempt = 0; err == EEXIST && attempt <= attempts; attempt++) {
        linked = temporary_name(seed, attempt);
        err = link_to(linked);
    }
    if (err != 0)
        fail(name_, "nie można nadać nazwy zapisanemu plikowi", err);
    const int close_err = os_.close(std::exchange(handle_, -1));
    if (close_err == 0)
        err = os_.rename(target_.folder(), linked, target_.leaf());
    if (close_err != 0 || err != 0) {
        os_.remove(target_.folder(), linked);
        if (close_err != 0)
            fail(name_, "błąd zapisu", close_err);
        fail(name_, "nie można zapisać pliku", err);
    }
}
