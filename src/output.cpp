#include "output.hpp"

#include <algorithm>
#include <cerrno>
#include <memory>
#include <utility>

namespace {

constexpr int attempts = 100;

// Holds signals for the lifetime of a scope.
struct signals_held {
    const output_os& os;
    explicit signals_held(const output_os& o) : os(o) { os.hold_signals(true); }
    ~signals_held() { os.hold_signals(false); }
};

std::uint64_t mix(std::uint64_t z)  // splitmix64's finaliser
{
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
    return z ^ (z >> 31);
}

// A folder that can take no new file: the words for why.
std::string folder_problem(int err)
{
    if (err == ENOENT)
        return "nie ma takiego katalogu";
    return os_reason(err);
}

}  // namespace

// Short and fixed in length, so that any name that fits its folder can be
// replaced, and taken with O_EXCL, so that no two runs share one.
std::string temporary_name(const std::string& folder, std::uint64_t seed, int attempt)
{
    static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::uint64_t z = mix(seed + 0x9e3779b97f4a7c15u * std::uint64_t(attempt + 1));
    std::string name = folder + ".ripple-";
    for (int k = 0; k < 6; k++, z /= 62)
        name += letters[z % 62];
    return name;
}

output_target check_output(const std::string& name, const output_os& os)
{
    const std::string cannot = "nie można utworzyć pliku: ";
    if (name.empty())
        fail(name, cannot + "pusta nazwa pliku");
    output_target t;
    if (const int err = os.inspect(name, t))
        fail(name, cannot + os_reason(err));
    using kind = output_target::kind;
    switch (t.existing) {
    case kind::directory: fail(name, os_reason(EISDIR));
    case kind::other: fail(name, "to nie jest zwykły plik; zastąpić można tylko zwykły plik");
    case kind::dangling_link: fail(name, "dowiązanie symboliczne prowadzi do nieistniejącego pliku");
    case kind::none:
    case kind::regular: break;
    }
    if (t.folder_error != 0)
        fail(name, cannot + folder_problem(t.folder_error));
    return t;
}

output_file::output_file(std::string name, output_target target, const output_os& os)
    : os_(os), name_(std::move(name)), target_(std::move(target))
{
    const int err = os_.create_unnamed(target_.folder, handle_);
    if (err == 0 && !linkable()) {
        os_.close(std::exchange(handle_, -1));
        create_named();
    } else if (err == EOPNOTSUPP || err == EISDIR || err == EINVAL) {
        create_named();
    } else if (err != 0) {
        fail(name_, "nie można utworzyć pliku: " + os_reason(err));
    }
}

// An unnamed file that could never get a name (a container that denies
// linkat, or an old kernel with no /proc for an ordinary user) would lose
// the whole composition at the end. Asking to link it over a name that
// always exists, the folder's ".", finds that out at once: EEXIST means the
// call would have worked.
bool output_file::linkable() { return link_to(target_.folder + ".") == EEXIST; }

int output_file::link_to(const std::string& path)
{
    const int err = os_.link(handle_, path);
    return err == 0 || err == EEXIST ? err : os_.link_by_path(handle_, path);
}

// O_EXCL never lets two runs, or a stale leftover, share a file.
void output_file::create_named()
{
    const std::uint64_t seed = os_.seed();
    for (int attempt = 0; handle_ < 0; attempt++) {
        tmp_name_ = temporary_name(target_.folder, seed, attempt);
        const int err = os_.create_named(tmp_name_, handle_);
        if (err != 0 && (err != EEXIST || attempt == attempts)) {
            tmp_name_.clear();
            fail(name_, "nie można utworzyć pliku: " + os_reason(err));
        }
    }
}

output_file::~output_file()
{
    if (handle_ >= 0)
        os_.close(handle_);
    if (!tmp_name_.empty())
        os_.release(tmp_name_, true);
}

void output_file::reserve(std::uint64_t size)
{
    // Claiming the disk space up front reports a full disk or a file-size
    // limit before any work is done, and spares the rename the block
    // allocation it would force for a file replacing another. A file system
    // that cannot reserve, or a container that forbids it, gets plain writes.
    const int err = os_.reserve(handle_, size);
    if (err == ENOSPC || err == EFBIG
#ifdef EDQUOT
        || err == EDQUOT
#endif
    )
        fail(name_, "nie można zarezerwować miejsca na plik: " + os_reason(err));
}

void output_file::write_at(std::uint64_t offset, const std::uint8_t* data, std::size_t n)
{
    while (n > 0) {
        std::size_t put = 0;
        int err = os_.write_at(handle_, offset, data, n, put);
        if (err == EINTR)
            continue;
        if (err == 0 && put == 0)
            err = ENOSPC;
        if (err != 0)
            fail(name_, "błąd zapisu: " + os_reason(err));
        data += put;
        offset += put;
        n -= put;
    }
}

void output_file::copy_from(const byte_source& in, std::uint64_t offset, std::uint64_t n)
{
    const std::size_t piece = std::size_t(std::min<std::uint64_t>(n, 1 << 20));
    // The kernel copies from the page cache at a third of its speed into a
    // buffer that starts at the same place within a page as the file offset
    // (its loads and stores alias), so the buffer starts 256 B further on.
    constexpr std::size_t page = 4096;
    std::unique_ptr<std::uint8_t[]> storage(new std::uint8_t[piece + page]);
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
    const int err = os_.close(std::exchange(handle_, -1));
    if (err != 0)
        fail(name_, "błąd zapisu: " + os_reason(err));
}

void output_file::commit()
{
    signals_held held(os_);
    // What took the name while the user answered is looked at again: only
    // a regular file is replaced.
    target_ = check_output(name_, os_);
    // A rewrite in place would keep the old file's mode and owner; a
    // replacement must carry them over itself, or a private file would
    // become readable by all.
    os_.make_ready(os_, handle_, target_.path);
    if (tmp_name_.empty()) {
        link_in_place();
        return;
    }
    close_handle();
    if (const int err = os_.replace(tmp_name_, target_.path))
        fail(name_, "nie można zapisać pliku: " + os_reason(err));
    os_.release(std::exchange(tmp_name_, {}), false);
}

// Where no file has the final name yet, the unnamed file simply gets it.
// Otherwise it is linked to a fresh temporary name, which is then renamed
// over the old file: there is no call that links over a name.
void output_file::link_in_place()
{
    int err = link_to(target_.path);
    if (err == 0) {
        // A file whose last writes failed must not stay under the name.
        if (const int close_err = os_.close(std::exchange(handle_, -1))) {
            os_.remove(target_.path);
            fail(name_, "błąd zapisu: " + os_reason(close_err));
        }
        return;
    }
    std::string linked;
    const std::uint64_t seed = os_.seed();
    for (int attempt = 0; err == EEXIST && attempt <= attempts; attempt++) {
        linked = temporary_name(target_.folder, seed, attempt);
        err = link_to(linked);
    }
    if (err != 0)
        fail(name_, "nie można nadać nazwy zapisanemu plikowi: " + os_reason(err));
    int close_err = os_.close(std::exchange(handle_, -1));
    if (close_err == 0)
        err = os_.replace(linked, target_.path);
    if (close_err != 0 || err != 0) {
        os_.remove(linked);
        fail(name_, close_err != 0 ? "błąd zapisu: " + os_reason(close_err)
                                   : "nie można zapisać pliku: " + os_reason(err));
    }
}

file_sink::file_sink(output_file& out, std::uint64_t offset, std::size_t strip_size)
    : pixel_sink(strip_size), out_(out), offset_(offset),
      buffers_(new std::uint8_t[slots * capacity()])
{
}

file_sink::~file_sink() { delete[] buffers_; }

std::uint8_t* file_sink::place(int slot, std::uint64_t, std::size_t)
{
    return buffers_ + std::size_t(slot) * capacity();
}

void file_sink::close(int slot, std::uint64_t offset, std::size_t n)
{
    out_.write_at(offset_ + offset, place(slot, offset, n), n);
}
