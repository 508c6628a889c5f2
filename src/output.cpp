#include "output.hpp"

#include <algorithm>
#include <cerrno>
#include <memory>
#include <utility>

#include "inputs.hpp"

namespace {

// The temporary names of a run; a run tries them in turn until one is free.
std::string temp_name(const output_os& os, const std::string& name, int attempt)
{
    return name + "." + std::to_string(os.process_id()) + "." + std::to_string(attempt) + ".tmp";
}

constexpr int attempts = 100;

// Holds signals for the lifetime of a scope.
struct signals_held {
    const output_os& os;
    explicit signals_held(const output_os& o) : os(o) { os.hold_signals(true); }
    ~signals_held() { os.hold_signals(false); }
};

}  // namespace

output_file::output_file(std::string final_name, const output_os& os)
    : os_(os), name_(std::move(final_name))
{
    const int err = os_.create_unnamed(name_, handle_);
    if (err == EOPNOTSUPP || err == EISDIR || err == EINVAL)
        create_named();
    else if (err != 0)
        fail(name_, "nie można utworzyć pliku: " + os_reason(err));
}

// O_EXCL never lets two runs, or a stale leftover, share a file.
void output_file::create_named()
{
    for (int attempt = 0; handle_ < 0; attempt++) {
        tmp_name_ = temp_name(os_, name_, attempt);
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
    // that cannot reserve gets plain writes.
    const int err = os_.reserve(handle_, size);
    if (err != 0 && err != EOPNOTSUPP && err != ENOSYS)
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

void output_file::copy_from(const input_file& in, std::uint64_t offset, std::uint64_t n)
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
    // A rewrite in place would keep the old file's mode and owner; a
    // replacement must carry them over itself, or a private file would
    // become readable by all.
    os_.make_ready(handle_, name_);
    if (tmp_name_.empty()) {
        link_in_place();
        return;
    }
    close_handle();
    if (const int err = os_.replace(tmp_name_, name_))
        fail(name_, "nie można zapisać pliku: " + os_reason(err));
    os_.release(std::exchange(tmp_name_, {}), false);
}

// Where no file has the final name yet, the unnamed file simply gets it.
// Otherwise it is linked to a fresh temporary name, which is then renamed
// over the old file: there is no call that links over a name.
void output_file::link_in_place()
{
    int err = os_.link(handle_, name_);
    if (err == 0) {
        // A file whose last writes failed must not stay under the name.
        if (const int close_err = os_.close(std::exchange(handle_, -1))) {
            os_.remove(name_);
            fail(name_, "błąd zapisu: " + os_reason(close_err));
        }
        return;
    }
    std::string linked;
    for (int attempt = 0; err == EEXIST && attempt <= attempts; attempt++) {
        linked = temp_name(os_, name_, attempt);
        err = os_.link(handle_, linked);
    }
    if (err != 0)
        fail(name_, "nie można nadać nazwy zapisanemu plikowi: " + os_reason(err));
    int close_err = os_.close(std::exchange(handle_, -1));
    if (close_err == 0)
        err = os_.replace(linked, name_);
    if (close_err != 0 || err != 0) {
        os_.remove(linked);
        fail(name_, close_err != 0 ? "błąd zapisu: " + os_reason(close_err)
                                   : "nie można zapisać pliku: " + os_reason(err));
    }
}
