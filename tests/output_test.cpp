// The output file, in both of its ways of being made: unnamed until
// complete, and the named fallback where a file system cannot make unnamed
// files or give them a name. Faults that no file system here can be made to
// give are injected at the operating-system interface.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#if __has_include(<linux/fs.h>)
#include <linux/fs.h>
#endif
#if __has_include(<sys/xattr.h>)
#include <sys/xattr.h>
#endif

#include <algorithm>
#include <csignal>
#include <functional>
#include <regex>

#include "bmp_make.hpp"
#include "output.hpp"
#include "test_files.hpp"

namespace {

// The platform's calls, but for a file system that cannot make unnamed
// files where `unnamed` is false; temporary names come from one seed.
output_os os_for(bool unnamed)
{
    output_os os = native_output_os();
    if (!unnamed)
        os.create_unnamed = [](const folder_ref&, std::intptr_t&) { return EOPNOTSUPP; };
    os.seed = [] { return std::uint64_t(7); };
    return os;
}

// The temporary files in `dir`.
std::vector<std::string> temporaries(const temp_dir& dir)
{
    std::vector<std::string> names;
    for (const std::string& n : dir.others())
        if (n.rfind(".ripple-", 0) == 0)
            names.push_back(n);
    return names;
}

// What a fake call saw, in order.
std::vector<std::string> events;

class output : public ::testing::TestWithParam<bool> {
protected:
    temp_dir dir;
    std::string name = (dir.path / "Output.bmp").string();
    const std::vector<std::uint8_t> old{1, 2, 3};
    const std::uint8_t data[4] = {9, 8, 7, 6};
    output_os os = os_for(GetParam());

    void SetUp() override
    {
        events.clear();
        ASSERT_TRUE(write_file(name, old));
    }

    // The old file untouched and nothing else in the folder.
    void expect_untouched()
    {
        EXPECT_EQ(read_bytes(name), old);
        EXPECT_EQ(dir.others({"Output.bmp"}), std::vector<std::string>{});
    }

    void write_new(const output_os& with)
    {
        output_file out(name, check_output(name, with), with);
        out.write_at(0, data, sizeof data);
        out.commit();
    }

    // A child that writes an output and then receives `sig`, whatever the
    // parent left it as.
    void write_then(int sig)
    {
        rlimit no_core{0, 0};
        setrlimit(RLIMIT_CORE, &no_core);
        std::signal(sig, SIG_DFL);
        output_file out(name, check_output(name, os), os);
        out.write_at(0, data, sizeof data);
        std::raise(sig);
        out.commit();
        std::exit(0);
    }
};

INSTANTIATE_TEST_SUITE_P(files, output, ::testing::Values(true, false),
                         [](const auto& p) { return p.param ? "unnamed" : "named"; });

}  // namespace

TEST_P(output, replaces_the_old_file_only_on_commit)
{
    const auto open_files = [] {
        return fs::exists("/proc/self/fd") ? std::distance(fs::directory_iterator("/proc/self/fd"), {}) : 0;
    };
    const auto before = open_files();
    {
        output_file out(name, check_output(name, os), os);
        out.write_at(0, data, sizeof data);
    }  // abandoned, as after a failure
    expect_untouched();
    EXPECT_EQ(open_files(), before);  // closed, so that Windows deletes it

    // A stale file under the first temporary name is neither used nor
    // removed, and a name of 250 bytes is no longer because of it.
    const std::string stale = temporary_name(7, 0);
    EXPECT_TRUE(std::regex_match(stale, std::regex(R"(\.ripple-[A-Za-z0-9]{6})"))) << stale;
    EXPECT_NE(temporary_name(7, 1), stale);
    ASSERT_TRUE(write_file((dir.path / stale).string(), {'s'}));
    const std::string long_name = (dir.path / (std::string(246, 'n') + ".bmp")).string();
    for (const std::string& n : {name, long_name, name})
        for (int run = 0; run < 2; run++) {
            output_file out(n, check_output(n, os), os);
            out.write_at(2, data, sizeof data);
            out.write_at(0, data, 2);
            out.commit();
        }
    EXPECT_EQ(read_bytes(name), (std::vector<std::uint8_t>{9, 8, 9, 8, 7, 6}));
    EXPECT_EQ(read_bytes(long_name), read_bytes(name));
    EXPECT_EQ(read_text(dir.path / stale), "s");
    EXPECT_EQ(dir.others({"Output.bmp", stale, fs::path(long_name).filename().string()}), std::vector<std::string>{});
}

// The mode of the old file without its setuid, setgid and sticky bits, or
// for a new file what the umask leaves; owner-only until then.
TEST_P(output, keeps_the_old_files_permissions)
{
    const std::pair<mode_t, mode_t> modes[] = {{0604, 0604}, {04755, 0755}, {02750, 0750}, {01777, 0777}};
    for (auto [before, after] : modes) {
        ASSERT_EQ(chmod(name.c_str(), before), 0);
        output_file out(name, check_output(name, os), os);
        out.write_at(0, data, sizeof data);
        struct stat st;
        for (const std::string& t : temporaries(dir)) {
            ASSERT_EQ(stat((dir.path / t).c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 07777, 0600u) << t;
        }
        out.commit();
        ASSERT_EQ(stat(name.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, after) << std::oct << before;
    }
    fs::remove(name);
    const mode_t mask = umask(022);
    write_new(os);
    umask(mask);
    struct stat st;
    ASSERT_EQ(stat(name.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
}

// The owner and group where allowed, and the group alone where the owner
// cannot be given, as for anyone but root (who alone can make a file
// another's here).
TEST_P(output, keeps_the_group_where_the_owner_cannot_be_kept)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "only root can give a file another's group here";
    ASSERT_EQ(chown(name.c_str(), 65534, 65534), 0);
    write_new(os);
    struct stat st;
    ASSERT_EQ(stat(name.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534u);
    EXPECT_EQ(st.st_gid, 65534u);
    ASSERT_EQ(chown(name.c_str(), 65534, 65534), 0);
    os.set_owner = [](std::intptr_t h, long owner, long group) {
        return owner == -1 ? native_output_os().set_owner(h, owner, group) : EPERM;
    };
    write_new(os);
    ASSERT_EQ(stat(name.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_gid, 65534u);
}

namespace {

using tag = acl_entry::tag_kind;
// Owner rw-, owning group ---, user 1 r--, mask r--, others r--.
const access_list named_reader = {
    {tag::user_obj, 6, 0xffffffff}, {tag::user, 4, 1},        {tag::group_obj, 0, 0xffffffff},
    {tag::mask, 4, 0xffffffff},     {tag::other, 4, 0xffffffff}};

access_list acl_given;  // what the fake get_acl gives
std::vector<access_list> acl_set;
int acl_refusal;

output_os with_fake_acls(output_os os, bool for_folder)
{
    acl_set.clear();
    os.get_acl = for_folder ? [](const folder_ref&, const std::string&, bool def, access_list& a) {
        a = def ? acl_given : access_list{};
        return 0;
    } : [](const folder_ref&, const std::string&, bool def, access_list& a) {
        a = def ? access_list{} : acl_given;
        return 0;
    };
    os.set_acl = [](std::intptr_t, const access_list& a) {
        acl_set.push_back(a);
        return a.empty() ? 0 : acl_refusal;
    };
    return os;
}

mode_t mode_of(const std::string& name)
{
    struct stat st;
    return stat(name.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

}  // namespace

// The ACL rules, through the table: the old file's ACL is carried over, or
// where the new file cannot take it, its owning group gets no more than the
// ACL gave that group; an old file without one leaves the new file without
// what its folder's default gave it; and a new file gets the folder's
// default ACL as any new file there would, the umask left out.
TEST_P(output, carries_acls_over_and_never_widens_access)
{
    acl_given = named_reader;
    for (int refusal : {0, EOPNOTSUPP}) {
        acl_refusal = refusal;
        ASSERT_EQ(chmod(name.c_str(), 0674), 0);
        write_new(with_fake_acls(os, false));
        EXPECT_EQ(acl_set, std::vector<access_list>{named_reader});
        EXPECT_EQ(mode_of(name), refusal ? 0604u : 0674u);  // group ---, mask or not
    }
    acl_given = {};
    ASSERT_EQ(chmod(name.c_str(), 0640), 0);
    write_new(with_fake_acls(os, false));
    EXPECT_EQ(acl_set, std::vector<access_list>{access_list{}});
    EXPECT_EQ(mode_of(name), 0640u);

    // u::rw, u:65534:rw, g::r, mask::rwx, o::r-x, as a file the shell makes
    // gets it: the mask and the others narrowed by 0666, the umask unused.
    acl_given = {{tag::user_obj, 7, 0xffffffff}, {tag::user, 6, 65534}, {tag::group_obj, 4, 0xffffffff},
                 {tag::mask, 7, 0xffffffff},     {tag::other, 5, 0xffffffff}};
    const access_list inherited = {{tag::user_obj, 6, 0xffffffff}, {tag::user, 6, 65534},
                                   {tag::group_obj, 4, 0xffffffff}, {tag::mask, 6, 0xffffffff},
                                   {tag::other, 4, 0xffffffff}};
    const mode_t mask = umask(077);
    for (int refusal : {0, EOPNOTSUPP}) {
        acl_refusal = refusal;
        fs::remove(name);
        write_new(with_fake_acls(os, true));
        EXPECT_EQ(acl_set, std::vector<access_list>{inherited});
        if (refusal) {
            EXPECT_EQ(mode_of(name), 0664u);
        }
    }
    // Without a mask, the owning group's entry is what the mode narrows.
    acl_given = {{tag::user_obj, 7, 0xffffffff}, {tag::group_obj, 7, 0xffffffff}, {tag::other, 7, 0xffffffff}};
    acl_refusal = EOPNOTSUPP;
    fs::remove(name);
    write_new(with_fake_acls(os, true));
    EXPECT_EQ(acl_set, (std::vector<access_list>{{{tag::user_obj, 6, 0xffffffff}, {tag::group_obj, 6, 0xffffffff},
                                                  {tag::other, 6, 0xffffffff}}}));
    EXPECT_EQ(mode_of(name), 0666u);
    umask(mask);
}

#if defined(__linux__) && __has_include(<sys/xattr.h>)
std::vector<std::uint8_t> acl_of(const std::string& name)
{
    std::vector<std::uint8_t> got(4096);
    const ssize_t size = getxattr(name.c_str(), "system.posix_acl_access", got.data(), got.size());
    got.resize(size < 0 ? 0 : std::size_t(size));
    return got;
}

// The same on a real file system, where it has ACLs: a new output gets
// what a file the shell makes gets, and an old output without an ACL keeps
// exactly its access.
TEST_P(output, gets_what_any_new_file_in_its_folder_gets)
{
    const std::uint8_t default_acl[] = {
        2, 0, 0, 0,                              // version
        0x01, 0, 7, 0, 0xff, 0xff, 0xff, 0xff,   // owner rwx, which a new file's 0666 narrows
        0x02, 0, 7, 0, 0xfe, 0xff, 0, 0,         // user 65534 rwx, which it does not
        0x04, 0, 4, 0, 0xff, 0xff, 0xff, 0xff,   // owning group r--
        0x10, 0, 7, 0, 0xff, 0xff, 0xff, 0xff,   // mask rwx, narrowed to rw-
        0x20, 0, 5, 0, 0xff, 0xff, 0xff, 0xff,   // others r-x, narrowed to r--
    };
    if (setxattr(dir.path.c_str(), "system.posix_acl_default", default_acl, sizeof default_acl, 0) != 0)
        GTEST_SKIP() << "no ACLs here";
    const std::string shell_made = (dir.path / "shell.bmp").string();
    const mode_t mask = umask(022);
    close(open(shell_made.c_str(), O_CREAT | O_WRONLY, 0666));
    fs::remove(name);
    write_new(os);
    umask(mask);
    EXPECT_EQ(mode_of(name), mode_of(shell_made));
    EXPECT_EQ(mode_of(name), 0664u);
    EXPECT_EQ(acl_of(name), acl_of(shell_made));
    EXPECT_FALSE(acl_of(name).empty());

    ASSERT_EQ(removexattr(name.c_str(), "system.posix_acl_access"), 0);
    ASSERT_EQ(chmod(name.c_str(), 0640), 0);
    write_new(os);
    EXPECT_EQ(mode_of(name), 0640u);
    EXPECT_TRUE(acl_of(name).empty());

    // An old output's own ACL, a named user's entry and all, comes over
    // whole.
    const std::uint8_t own[] = {
        2, 0, 0, 0,                              // version
        0x01, 0, 6, 0, 0xff, 0xff, 0xff, 0xff,   // owner rw-
        0x02, 0, 4, 0, 0x39, 0x30, 0, 0,         // user 12345 r--
        0x04, 0, 0, 0, 0xff, 0xff, 0xff, 0xff,   // owning group ---
        0x10, 0, 4, 0, 0xff, 0xff, 0xff, 0xff,   // mask r--
        0x20, 0, 0, 0, 0xff, 0xff, 0xff, 0xff,   // others ---
    };
    ASSERT_EQ(setxattr(name.c_str(), "system.posix_acl_access", own, sizeof own, 0), 0);
    write_new(os);
    EXPECT_EQ(acl_of(name), std::vector<std::uint8_t>(own, own + sizeof own));
    EXPECT_EQ(mode_of(name), 0640u);
}

// However many users an ACL names: one a team shares comes over whole, and
// a folder's default that closes files to others closes the new output.
TEST_P(output, carries_acls_of_any_length)
{
    std::vector<std::uint8_t> team = {2, 0, 0, 0, 0x01, 0, 6, 0, 0xff, 0xff, 0xff, 0xff};  // version, owner rw-
    for (std::uint8_t user = 1; user <= 100; user++)
        team.insert(team.end(), {0x02, 0, 4, 0, user, 0x30, 0, 0});  // users 0x3001… r--
    team.insert(team.end(), {0x04, 0, 6, 0, 0xff, 0xff, 0xff, 0xff,    // owning group rw-
                             0x10, 0, 6, 0, 0xff, 0xff, 0xff, 0xff,    // mask rw-
                             0x20, 0, 0, 0, 0xff, 0xff, 0xff, 0xff});  // others ---
    write_new(os);
    if (setxattr(name.c_str(), "system.posix_acl_access", team.data(), team.size(), 0) != 0)
        GTEST_SKIP() << "no ACLs this long here";
    write_new(os);
    EXPECT_EQ(acl_of(name), team);
    ASSERT_EQ(setxattr(dir.path.c_str(), "system.posix_acl_default", team.data(), team.size(), 0), 0);
    fs::remove(name);
    write_new(os);
    EXPECT_EQ(mode_of(name), 0660u);
}
#endif

TEST_P(output, reports_every_failure_to_write_and_leaves_the_old_file)
{
    const std::string prefix = name + ": ";
    static int refusal;
    output_os failing = os;
    failing.write_at = [](std::intptr_t, std::uint64_t, const std::uint8_t*, std::size_t, std::size_t& n) {
        n = 0;
        return refusal;
    };
    // A write that writes nothing is a full disk, not a loop.
    for (int err : {ENOSPC, 0}) {
        refusal = err;
        EXPECT_EQ(error_of([&] { write_new(failing); }), prefix + "błąd zapisu: brak miejsca na dysku");
        expect_untouched();
    }
    // A network file system may say so only at the sync, or at the close;
    // with or without an old file.
    failing = os;
    failing.sync = [](std::intptr_t) { return refusal; };
    for (int err : {EIO, ENOSPC, EDQUOT}) {
        refusal = err;
        EXPECT_EQ(error_of([&] { write_new(failing); }), prefix + "błąd zapisu na dysk: " + os_reason(err));
        expect_untouched();
    }
    failing = os;
    failing.close = [](std::intptr_t fd) {
        native_output_os().close(fd);
        return EIO;
    };
    for (bool old_file : {true, false}) {
        if (!old_file)
            fs::remove(name);
        EXPECT_EQ(error_of([&] { write_new(failing); }), prefix + "błąd zapisu: błąd wejścia/wyjścia urządzenia");
        EXPECT_EQ(dir.others(old_file ? std::initializer_list<std::string>{"Output.bmp"} : std::initializer_list<std::string>{}),
                  std::vector<std::string>{});
    }
    // A file the system would still delete as it is closed (Windows) is not
    // put in place.
    ASSERT_TRUE(write_file(name, old));
    failing = os;
    failing.keep_when_closed = [](std::intptr_t) { return EACCES; };
    EXPECT_EQ(error_of([&] { write_new(failing); }), prefix + "nie można zapisać pliku: brak uprawnień");
    expect_untouched();
    // Space that cannot be had is reported before anything is written.
    output_os no_room = os;
    no_room.reserve = [](std::intptr_t, std::uint64_t) { return refusal; };
    for (int err : {ENOSPC, EFBIG, EDQUOT}) {
        refusal = err;
        EXPECT_EQ(error_of([&] {
                      output_file out(name, check_output(name, no_room), no_room);
                      out.reserve(8192);
                  }),
                  prefix + "nie można zarezerwować miejsca na plik: " + os_reason(err));
        expect_untouched();
    }
}

// However many temporary names are taken, the run ends, with its line.
TEST_P(output, gives_up_when_every_temporary_name_is_taken)
{
    output_os taken = os;
    taken.create_named = [](const folder_ref&, const std::string&, std::intptr_t&) { return EEXIST; };
    taken.link = [](std::intptr_t, const folder_ref&, const std::string&) { return EEXIST; };
    // Where the file system makes unnamed files, the names run out as it
    // is linked; elsewhere as the named file is made.
    const std::string said = error_of([&] { write_new(taken); });
    EXPECT_TRUE(said == name + ": nie można nadać nazwy zapisanemu plikowi: plik już istnieje" ||
                said == name + ": nie można utworzyć pliku: plik już istnieje")
        << said;
    expect_untouched();
}

// The bytes reach the disk before the file takes a name, and the name
// before the run ends well: a folder that cannot say so is no failure, one
// that fails is, though the new file is in place by then.
TEST_P(output, syncs_the_bytes_before_the_name_and_the_name_after)
{
    output_os recording = os;
    recording.sync = [](std::intptr_t h) {
        events.push_back("sync");
        return native_output_os().sync(h);
    };
    recording.link = [](std::intptr_t h, const folder_ref& f, const std::string& leaf) {
        events.push_back(leaf == "." ? "probe" : "name");
        return native_output_os().link(h, f, leaf);
    };
    recording.rename = [](const folder_ref& f, const std::string& from, const std::string& to) {
        events.push_back("name");
        return native_output_os().rename(f, from, to);
    };
    static int refusal;
    refusal = 0;
    recording.sync_folder = [](const folder_ref&) {
        events.push_back("folder");
        return refusal;
    };
    for (bool old_file : {true, false}) {
        if (!old_file)
            fs::remove(name);
        events.clear();
        write_new(recording);
        std::erase(events, "probe");
        ASSERT_GE(events.size(), 3u);
        EXPECT_EQ(events.front(), "sync");
        EXPECT_EQ(events.back(), "folder");
        EXPECT_EQ(std::count(events.begin(), events.end(), "sync"), 1);
        EXPECT_EQ(read_bytes(name), std::vector<std::uint8_t>(data, data + sizeof data));
    }
    for (int err : {EINVAL, EBADF, EOPNOTSUPP}) {
        refusal = err;
        EXPECT_EQ(error_of([&] { write_new(recording); }), "") << err;
    }
    refusal = EIO;
    EXPECT_EQ(error_of([&] { write_new(recording); }),
              name + ": plik zapisano, ale system nie potwierdził zapisania jego nazwy na dysku: "
                     "błąd wejścia/wyjścia urządzenia");
    EXPECT_EQ(read_bytes(name), std::vector<std::uint8_t>(data, data + sizeof data));
    EXPECT_EQ(dir.others({"Output.bmp"}), std::vector<std::string>{});
}

// Whatever ends the run, nothing is left behind.
TEST_P(output, no_signal_leaves_a_file_behind)
{
    std::vector<int> signals{SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGALRM, SIGUSR1, SIGUSR2, SIGTRAP,
                             SIGXCPU, SIGVTALRM, SIGPROF, SIGSYS};
#ifdef SIGIO
    signals.push_back(SIGIO);
#endif
#ifdef SIGPWR
    signals.push_back(SIGPWR);
#endif
#ifdef SIGSTKFLT
    signals.push_back(SIGSTKFLT);
#endif
    if (!address_sanitizer) {
        signals.push_back(SIGSEGV);  // whose handler the sanitizer keeps, and is chained to
        signals.push_back(SIGBUS);
    }
#ifndef RIPPLE_EMULATED  // qemu-user keeps the last real-time signal for itself and does not
                        // stop at once at a SIGKILL it raises
    signals.push_back(SIGRTMIN);
    signals.push_back(SIGRTMAX);
    if (GetParam() && unnamed_files_in(dir.path))
        signals.push_back(SIGKILL);  // which no handler can clean up after
#endif
    for (int sig : signals) {
        SCOPED_TRACE(sig);
        EXPECT_EXIT(write_then(sig), ::testing::KilledBySignal(sig), "");
        expect_untouched();
    }
}

#if !RIPPLE_SANITIZED && !defined(RIPPLE_EMULATED)  // which own SIGBUS
// A fault on a page that no input maps, while the handler stands for the
// output, ends the process as such a fault does, and leaves nothing, even
// where the parent ignored SIGBUS.
TEST_P(output, a_fault_elsewhere_ends_the_run_as_a_fault)
{
    const std::string cut = (dir.path / "cut").string();
    for (auto disposition : {SIG_DFL, SIG_IGN}) {
        ASSERT_TRUE(write_file(cut, std::vector<std::uint8_t>(8192, 1)));
        auto fault = [&] {
            std::signal(SIGBUS, disposition);
            output_file out(name, check_output(name, os), os);
            const int fd = open(cut.c_str(), O_RDONLY);
            auto* p = static_cast<volatile std::uint8_t*>(mmap(nullptr, 8192, PROT_READ, MAP_SHARED, fd, 0));
            if (truncate(cut.c_str(), 0) != 0)
                std::exit(2);
            std::exit(p[4096]);
        };
        EXPECT_EXIT(fault(), ::testing::KilledBySignal(SIGBUS), "");
        EXPECT_EQ(dir.others({"Output.bmp", "cut"}), std::vector<std::string>{});
    }
#ifdef __x86_64__
    // A breakpoint traps after its instruction, so it must be raised again,
    // not left to come back by itself.
    auto trap = [&] {
        output_file out(name, check_output(name, os), os);
        asm volatile("int3");
        std::exit(3);
    };
    EXPECT_EXIT(trap(), ::testing::KilledBySignal(SIGTRAP), "");
    EXPECT_EQ(dir.others({"Output.bmp", "cut"}), std::vector<std::string>{});
#endif
}
#endif

// What took the output's name while the picture was made is looked at
// again before it is replaced: a FIFO, a folder or a link stays as it is.
TEST_P(output, replaces_nothing_that_became_other_than_a_file)
{
    const std::string not_regular = "to nie jest zwykły plik; zastąpić można tylko zwykły plik";
    const std::pair<std::function<void()>, std::string> changes[] = {
        {[&] { ASSERT_EQ(mkfifo(name.c_str(), 0600), 0); }, not_regular},
        {[&] { fs::create_directory(name); }, "to jest katalog, a nie plik"},
        {[&] { fs::create_symlink("elsewhere.bmp", name); }, not_regular},
    };
    for (const auto& [change, message] : changes) {
        output_file out(name, check_output(name, os), os);
        out.write_at(0, data, sizeof data);
        fs::remove_all(name);
        change();
        const auto before = fs::symlink_status(name).type();
        EXPECT_EQ(error_of([&] { out.commit(); }), name + ": " + message);
        EXPECT_EQ(fs::symlink_status(name).type(), before);
        fs::remove_all(name);
        ASSERT_TRUE(write_file(name, old));
    }
    expect_untouched();
}

// A signal that comes while the file is put in place waits until it is:
// the folder then holds the new file and nothing else.
TEST_P(output, a_signal_while_it_is_put_in_place_waits_for_it)
{
    output_os interrupted = os;
    interrupted.rename = [](const folder_ref& f, const std::string& from, const std::string& to) {
        std::raise(SIGTERM);
        return native_output_os().rename(f, from, to);
    };
    auto put_in_place = [&] {
        std::signal(SIGTERM, SIG_DFL);
        write_new(interrupted);
        std::exit(0);
    };
    EXPECT_EXIT(put_in_place(), ::testing::KilledBySignal(SIGTERM), "");
    EXPECT_EQ(read_bytes(name), std::vector<std::uint8_t>(data, data + sizeof data));
    EXPECT_EQ(dir.others({"Output.bmp"}), std::vector<std::string>{});
}

// What a file system or a container may refuse: reserving space, which is
// done without; a call cut short by a signal, which is made again; unnamed
// files, or giving them a name, for which a named temporary file is used
// from the start; and a rename, which ends the run with the old file as it
// was.
TEST_P(output, gets_by_without_what_a_file_system_lacks)
{
    static int refusal;
    output_os no_reserve = os;
    no_reserve.reserve = [](std::intptr_t, std::uint64_t) { return refusal; };
    for (int err : {EOPNOTSUPP, EPERM, ENOSYS, EINVAL}) {
        refusal = err;
        output_file out(name, check_output(name, no_reserve), no_reserve);
        out.reserve(sizeof data);
        out.write_at(0, data, sizeof data);
        out.commit();
        EXPECT_EQ(read_bytes(name), std::vector<std::uint8_t>(data, data + sizeof data)) << err;
    }

    // A write or a sync cut short by a signal is made again.
    output_os interrupted = os;
    interrupted.write_at = [](std::intptr_t h, std::uint64_t at, const std::uint8_t* d, std::size_t n, std::size_t& put) {
        static int calls;
        return calls++ % 2 == 0 ? EINTR : native_output_os().write_at(h, at, d, n, put);
    };
    interrupted.sync = [](std::intptr_t h) {
        static int calls;
        return calls++ % 2 == 0 ? EINTR : native_output_os().sync(h);
    };
    write_new(interrupted);
    EXPECT_EQ(read_bytes(name), std::vector<std::uint8_t>(data, data + sizeof data));

    output_os no_unnamed = os, no_link = os;
    no_unnamed.create_unnamed = [](const folder_ref&, std::intptr_t&) { return refusal; };
    no_link.link = no_link.link_by_path = [](std::intptr_t, const folder_ref&, const std::string&) { return refusal; };
    const std::pair<output_os*, std::vector<int>> refusals[] = {{&no_unnamed, {EOPNOTSUPP, EISDIR, EINVAL}},
                                                                {&no_link, {EPERM, ENOENT, EOPNOTSUPP}}};
    for (const auto& [with, errs] : refusals)
        for (int err : errs) {
            refusal = err;
            ASSERT_TRUE(write_file(name, old));
            output_file out(name, check_output(name, *with), *with);
            EXPECT_EQ(temporaries(dir).size(), 1u) << err;  // named from the start
            out.write_at(0, data, sizeof data);
            out.commit();
            EXPECT_EQ(read_bytes(name), std::vector<std::uint8_t>(data, data + sizeof data)) << err;
            EXPECT_EQ(dir.others({"Output.bmp"}), std::vector<std::string>{});
        }

    ASSERT_TRUE(write_file(name, old));
    output_os no_rename = os;
    no_rename.rename = [](const folder_ref&, const std::string&, const std::string&) { return EXDEV; };
    EXPECT_EQ(error_of([&] { write_new(no_rename); }),
              name + ": nie można zapisać pliku: pliki leżą w różnych systemach plików");
    expect_untouched();
}

// Where no output exists yet, the unnamed file takes its name at once, so
// that not even SIGKILL can leave a temporary name behind; a kernel that
// needs a privilege to link by the handle (before Linux 6.10), or one with
// no /proc, is enough either way.
TEST(output_unnamed, takes_a_free_name_at_once)
{
    temp_dir dir;
    if (!unnamed_files_in(dir.path))
        GTEST_SKIP() << "no unnamed files here";
    const std::string name = (dir.path / "Output.bmp").string();
    output_os os = os_for(true);
    os.link = [](std::intptr_t h, const folder_ref& f, const std::string& leaf) {
        events.push_back(leaf);
        return native_output_os().link(h, f, leaf);
    };
    const std::uint8_t data[] = {4, 5};
    events.clear();
    {
        output_file out(name, check_output(name, os), os);
        EXPECT_EQ(dir.others(), std::vector<std::string>{});  // unnamed still
        out.write_at(0, data, 1);
        out.commit();
    }
    EXPECT_TRUE(std::none_of(events.begin(), events.end(), [](auto& l) { return l.rfind(".ripple-", 0) == 0; }));
    EXPECT_EQ(read_bytes(name), std::vector<std::uint8_t>(data, data + 1));

    os.link_by_path = [](std::intptr_t, const folder_ref&, const std::string&) { return ENOENT; };
    for (int way = 0; way < 2; way++) {
        if (way == 1) {
            os.link_by_path = native_output_os().link_by_path;
            os.link = [](std::intptr_t, const folder_ref&, const std::string&) { return ENOENT; };
        }
        for (int run = 0; run < 2; run++) {
            output_file out(name, check_output(name, os), os);
            EXPECT_EQ(dir.others({"Output.bmp"}), std::vector<std::string>{});
            out.write_at(0, data, 2 - std::size_t(run));
            out.commit();
            EXPECT_EQ(read_bytes(name), std::vector<std::uint8_t>(data, data + 2 - run));
        }
    }
    EXPECT_EQ(dir.others({"Output.bmp"}), std::vector<std::string>{});
}

// Every kind of thing that can stand under a name, in the folder `d`: a
// file, a folder, a FIFO, a socket, and links to each and to nowhere.
void make_every_kind(const std::string& d, int& sock)
{
    ASSERT_TRUE(write_file(d + "file.bmp", {1}));
    fs::create_directory(d + "sub");
    ASSERT_EQ(mkfifo((d + "fifo").c_str(), 0600), 0);
    fs::create_symlink("file.bmp", d + "link.bmp");
    fs::create_symlink("sub", d + "link-to-sub");
    fs::create_symlink("sub/", d + "link-to-sub-slash");
    fs::create_symlink("nowhere.bmp", d + "dangling");
    fs::create_symlink("missing/nowhere.bmp", d + "dangling-folder");
    fs::create_symlink("loop-b", d + "loop-a");
    fs::create_symlink("loop-a", d + "loop-b");
    fs::create_directory(d + "other");
    fs::create_symlink("../file.bmp", d + "other/up.bmp");
    fs::create_symlink(d + "file.bmp", d + "other/absolute.bmp");
    sock = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string sock_name = d + "sock";
    if (sock_name.size() < sizeof addr.sun_path) {
        std::memcpy(addr.sun_path, sock_name.c_str(), sock_name.size() + 1);
        ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    }
}

// What may stand under the output's name, refused before anything is
// asked: all but a regular file, a link to one, or a free name in a folder
// that can be written.
TEST(check_output, refuses_all_but_a_regular_file_in_a_folder_that_takes_it)
{
    temp_dir dir;
    const std::string d = dir.path.string() + "/";
    int sock = -1;
    make_every_kind(d, sock);
    const std::string sock_name = d + "sock";
    const std::string not_regular = "to nie jest zwykły plik; zastąpić można tylko zwykły plik";
    const std::string dir_msg = "to jest katalog, a nie plik";
    const std::string slash = "nazwa zakończona ukośnikiem oznacza katalog, a wynik musi być plikiem";
    const std::string dangling = "dowiązanie symboliczne prowadzi do nieistniejącego pliku";
    const std::pair<std::string, std::string> cases[] = {
        {d + "new.bmp", ""},
        {d + "file.bmp", ""},
        {d + "link.bmp", ""},
        {d + "other/up.bmp", ""},
        {d + "other/absolute.bmp", ""},
        {d + "sub/../new.bmp", ""},
        {"", "nie można utworzyć pliku: pusta nazwa pliku"},
        {d + "sub", dir_msg},
        {d + "link-to-sub", dir_msg},
        {d + "link-to-sub-slash", dir_msg},
        {d + ".", dir_msg},
        {d + "sub/..", dir_msg},
        {d + "sub/", slash},
        {d + "file.bmp/", slash},
        {d + "new.bmp/", slash},
        {"/", slash},
        {d + "fifo", not_regular},
        {sock_name, not_regular},
        {d + "dangling", dangling},
        {d + "dangling-folder", dangling},
        {d + "loop-a", "za dużo poziomów dowiązań symbolicznych"},
        {d + "missing/new.bmp", "nie można utworzyć pliku: nie ma takiego katalogu"},
        {d + std::string(300, 'n'), "nie można utworzyć pliku: za długa nazwa pliku"},
        {d + "file.bmp/new.bmp", "nie można utworzyć pliku: część ścieżki nie jest katalogiem"},
    };
    for (const auto& [given, message] : cases) {
        const std::string& name = given;  // which a lambda can capture
        EXPECT_EQ(error_of([&] { check_output(name); }),
                  message.empty() ? "" : (name.empty() ? "„”" : name) + ": " + message)
            << name;
    }
    EXPECT_EQ(check_output(d + "other/up.bmp").leaf(), "file.bmp");
    EXPECT_EQ(check_output(d + "other/absolute.bmp").existing().type, entry_facts::kind::regular);
    if (geteuid() != 0) {  // a fault here would destroy the machine's own /dev/null as root
        EXPECT_EQ(error_of([&] { check_output("/dev/null"); }), "/dev/null: " + not_regular);
    }
    close(sock);
}

// A folder that can take no file, as a read-only mount, or that cannot be
// looked at: refused before anything is asked.
TEST(check_output, refuses_a_folder_that_cannot_take_a_file)
{
    temp_dir dir;
    const std::string name = (dir.path / "new.bmp").string();
    output_os read_only = native_output_os();
    read_only.cannot_write = [](const folder_ref&) { return EROFS; };
    EXPECT_EQ(error_of([&] { check_output(name, read_only); }),
              name + ": nie można utworzyć pliku: system plików jest tylko do odczytu");
    output_os unseen = native_output_os();
    unseen.look_folder = [](const folder_ref&, folder_facts&) { return EIO; };
    EXPECT_EQ(error_of([&] { check_output(name, unseen); }),
              name + ": nie można utworzyć pliku: błąd wejścia/wyjścia urządzenia");
}

// A link is written through: the file it leads to is replaced, and the link
// stays a link; from a folder deeper than any absolute name may be too.
TEST(check_output, writes_through_a_link_from_any_folder)
{
    temp_dir dir;
    const std::string d = dir.path.string() + "/";
    ASSERT_TRUE(write_file(d + "file.bmp", {1}));
    fs::create_symlink("file.bmp", d + "link.bmp");
    const std::uint8_t data[] = {5, 6};
    auto write_through = [&](const std::string& name) {
        output_file out(name, check_output(name), native_output_os());
        out.write_at(0, data, 2);
        out.commit();
    };
    write_through(d + "link.bmp");
    EXPECT_TRUE(fs::is_symlink(d + "link.bmp"));
    EXPECT_EQ(read_bytes(d + "file.bmp"), std::vector<std::uint8_t>(data, data + 2));

    // 40 folders of 120 bytes: past PATH_MAX from the root.
    const int here = open(".", O_RDONLY | O_DIRECTORY);
    ASSERT_EQ(chdir(d.c_str()), 0);
    for (int k = 0; k < 40; k++) {
        const std::string step(120, char('a' + k % 26));
        ASSERT_EQ(mkdir(step.c_str(), 0755), 0);
        ASSERT_EQ(chdir(step.c_str()), 0);
    }
    ASSERT_EQ(symlink("deep.bmp", "link.bmp"), 0);
    ASSERT_TRUE(write_file("deep.bmp", {1}));
    const std::string error = error_of([&] { write_through("link.bmp"); });
    const auto deep = read_bytes("deep.bmp");
    ASSERT_EQ(fchdir(here), 0);
    close(here);
    EXPECT_EQ(error, "");
    EXPECT_EQ(deep, std::vector<std::uint8_t>(data, data + 2));
}

// In a folder that anyone can write in and that is sticky, as /tmp is, a
// link is followed only where the system's own open would follow it: when
// it belongs to the user or to the folder's owner. Another user's link
// there is the classic trap, and is refused, leaving its target alone.
TEST(check_output, follows_no_link_another_user_planted_in_a_shared_folder)
{
    temp_dir dir;
    const std::string shared = dir.path.string() + "/shared/";
    fs::create_directory(shared);
    ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
    ASSERT_TRUE(write_file((dir.path / "precious.bmp").string(), {7}));
    ASSERT_EQ(symlink("../precious.bmp", (shared + "mine.bmp").c_str()), 0);
    EXPECT_EQ(error_of([&] { check_output(shared + "mine.bmp"); }), "");
    if (geteuid() != 0)
        GTEST_SKIP() << "only root can plant a link that another user owns";
    ASSERT_EQ(symlink("../precious.bmp", (shared + "planted.bmp").c_str()), 0);
    ASSERT_EQ(lchown((shared + "planted.bmp").c_str(), 65534, 65534), 0);
    EXPECT_EQ(error_of([&] { check_output(shared + "planted.bmp"); }),
              shared + "planted.bmp: dowiązanie symboliczne w katalogu, do którego wszyscy mogą pisać, należy do "
                       "kogoś innego; system nie pozwala za nim podążać");
    // Not sticky, or sticky but not writable by all: the kernel follows it too.
    for (mode_t mode : {0777, 01755}) {
        ASSERT_EQ(chmod(shared.c_str(), mode), 0);
        EXPECT_EQ(error_of([&] { check_output(shared + "planted.bmp"); }), "") << std::oct << mode;
    }
    ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
    ASSERT_EQ(chown(shared.c_str(), 65534, 65534), 0);  // the folder's owner's link, and the user's own
    EXPECT_EQ(error_of([&] { check_output(shared + "planted.bmp"); }), "");
    EXPECT_EQ(error_of([&] { check_output(shared + "mine.bmp"); }), "");
    EXPECT_EQ(read_bytes(dir.path / "precious.bmp"), std::vector<std::uint8_t>{7});
}

#if __has_include(<linux/fs.h>) && !RIPPLE_PORTABLE  // which reads these as the BSDs do
// The same, as the file system says it: chattr +i on the old output, and
// +a on its folder.
TEST(check_output, reads_append_only_and_immutable_from_the_file_system)
{
    temp_dir dir;
    const std::string folder = (dir.path / "kept").string(), name = folder + "/Output.bmp";
    fs::create_directory(folder);
    ASSERT_TRUE(write_file(name, {1}));
    auto set_flags = [](const std::string& path, int flags) {
        const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK);
        int now = 0;
        const bool ok = fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &now) == 0 &&
                        ioctl(fd, FS_IOC_SETFLAGS, &(now = (now & ~(FS_APPEND_FL | FS_IMMUTABLE_FL)) | flags)) == 0;
        close(fd);
        return ok;
    };
    const std::string refused = name + ": pliku nie można zastąpić: on albo jego katalog może być tylko "
                                       "uzupełniany albo jest niezmienny (chattr +a lub +i)";
    for (auto [path, flag] : {std::pair{name, FS_IMMUTABLE_FL}, std::pair{folder, FS_APPEND_FL}}) {
        if (!set_flags(path, flag))
            GTEST_SKIP() << "no such attributes here, or no right to set them";
        const std::string error = error_of([&] { check_output(name); });
        ASSERT_TRUE(set_flags(path, 0));
        EXPECT_EQ(error, refused) << path;
    }
    EXPECT_EQ(error_of([&] { check_output(name); }), "");
}
#endif

// An old output that cannot be replaced, or a folder in which nothing can
// be renamed, is refused before anything is asked; a new output in a
// folder that can only grow is linked in, where it can be made unnamed.
TEST(check_output, refuses_what_can_be_neither_replaced_nor_removed)
{
    temp_dir dir;
    const std::string name = (dir.path / "Output.bmp").string();
    ASSERT_TRUE(write_file(name, {1}));
    static bool file_fixed, folder_fixed;
    output_os os = native_output_os();
    os.look = [](const folder_ref& f, const std::string& leaf, entry_facts& e) {
        const int err = native_output_os().look(f, leaf, e);
        e.fixed = e.type == entry_facts::kind::regular && file_fixed;
        return err;
    };
    os.look_folder = [](const folder_ref& f, folder_facts& facts) {
        const int err = native_output_os().look_folder(f, facts);
        facts.fixed = folder_fixed;
        return err;
    };
    const std::string refused = name + ": pliku nie można zastąpić: on albo jego katalog może być tylko "
                                       "uzupełniany albo jest niezmienny (chattr +a lub +i)";
    for (auto [file, folder] : {std::pair{true, false}, std::pair{false, true}}) {
        file_fixed = file;
        folder_fixed = folder;
        EXPECT_EQ(error_of([&] { check_output(name, os); }), refused);
    }
    fs::remove(name);
    os.create_unnamed = [](const folder_ref&, std::intptr_t&) { return EOPNOTSUPP; };
    EXPECT_EQ(error_of([&] { output_file out(name, check_output(name, os), os); }),
              name + ": nie można utworzyć pliku: w katalogu, który może być tylko uzupełniany, nie da się "
                     "usunąć ani przemianować pliku tymczasowego");
    EXPECT_EQ(dir.others(), std::vector<std::string>{});
}
