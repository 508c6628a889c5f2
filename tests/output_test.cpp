// The output file, in both of its ways of being made: unnamed until
// complete, and the named fallback where a file system cannot make unnamed
// files or give them a name. Faults that no file system here can be made to
// give are injected at the operating-system interface.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#if __has_include(<sys/xattr.h>)
#include <sys/xattr.h>
#endif

#include <csignal>

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
        os.create_unnamed = [](const std::string&, std::intptr_t&) { return EOPNOTSUPP; };
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

class output : public ::testing::TestWithParam<bool> {
protected:
    temp_dir dir;
    std::string name = (dir.path / "Output.bmp").string();
    const std::vector<std::uint8_t> old{1, 2, 3};
    const std::uint8_t data[4] = {9, 8, 7, 6};
    output_os os = os_for(GetParam());

    void SetUp() override { ASSERT_TRUE(write_file(name, old)); }

    // The old file untouched and nothing else in the folder.
    void expect_untouched()
    {
        EXPECT_EQ(read_bytes(name), old);
        EXPECT_EQ(dir.others({"Output.bmp"}), std::vector<std::string>{});
    }

    void write_new(const output_os& with)
    {
        output_file out(name, with);
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
        output_file out(name, os);
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
    {
        output_file out(name, os);
        out.write_at(0, data, sizeof data);
    }  // abandoned, as after a failure
    expect_untouched();

    // A stale file under the first temporary name is neither used nor
    // removed, and a name of 250 bytes is no longer because of it.
    const std::string stale = temporary_name(dir.path.string() + "/", 7, 0);
    ASSERT_TRUE(write_file(stale, {'s'}));
    const std::string long_name = (dir.path / (std::string(246, 'n') + ".bmp")).string();
    for (const std::string& n : {name, long_name, name})
        for (int run = 0; run < 2; run++) {
            output_file out(n, os);
            out.write_at(2, data, sizeof data);
            out.write_at(0, data, 2);
            out.commit();
        }
    EXPECT_EQ(read_bytes(name), (std::vector<std::uint8_t>{9, 8, 9, 8, 7, 6}));
    EXPECT_EQ(read_bytes(long_name), read_bytes(name));
    EXPECT_EQ(read_text(stale), "s");
    EXPECT_EQ(dir.others({"Output.bmp", fs::path(stale).filename().string(), fs::path(long_name).filename().string()}),
              std::vector<std::string>{});
}

// The mode of the old file without its setuid, setgid and sticky bits, or
// for a new file what the umask leaves; owner-only until then.
TEST_P(output, keeps_the_old_files_permissions)
{
    const std::pair<mode_t, mode_t> modes[] = {{0604, 0604}, {04755, 0755}, {02750, 0750}, {01777, 0777}};
    for (auto [before, after] : modes) {
        ASSERT_EQ(chmod(name.c_str(), before), 0);
        output_file out(name, os);
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
    const mode_t mask = umask(027);
    write_new(os);
    umask(mask);
    struct stat st;
    ASSERT_EQ(stat(name.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

// The owner and group where allowed, and the group alone where the owner
// cannot be given (as for anyone but root).
TEST_P(output, keeps_the_group_where_the_owner_cannot_be_kept)
{
    static std::vector<std::pair<long, long>> calls;
    calls.clear();
    os.set_owner = [](std::intptr_t, long owner, long group) {
        calls.emplace_back(owner, group);
        return owner == -1 ? 0 : EPERM;
    };
    write_new(os);
    struct stat st;
    ASSERT_EQ(stat(name.c_str(), &st), 0);
    EXPECT_EQ(calls, (std::vector<std::pair<long, long>>{{long(st.st_uid), long(st.st_gid)}, {-1, long(st.st_gid)}}));
}

#if defined(__linux__) && __has_include(<sys/xattr.h>)
// Owner rw-, owning group ---, one named user r--, mask r--: the mode's
// group bits are the mask, and must not become the group's.
TEST_P(output, keeps_an_access_acl_and_never_widens_the_group)
{
    const std::uint8_t acl[] = {
        2, 0, 0, 0,                       // version
        0x01, 0, 6, 0, 0xff, 0xff, 0xff, 0xff,  // owner rw-
        0x02, 0, 4, 0, 1, 0, 0, 0,        // user 1 r--
        0x04, 0, 0, 0, 0xff, 0xff, 0xff, 0xff,  // owning group ---
        0x10, 0, 4, 0, 0xff, 0xff, 0xff, 0xff,  // mask r--
        0x20, 0, 0, 0, 0xff, 0xff, 0xff, 0xff,  // others ---
    };
    ASSERT_EQ(chmod(name.c_str(), 0640), 0);
    if (setxattr(name.c_str(), "system.posix_acl_access", acl, sizeof acl, 0) != 0)
        GTEST_SKIP() << "no ACLs here";
    write_new(os);
    std::uint8_t got[sizeof acl + 8];
    EXPECT_EQ(getxattr(name.c_str(), "system.posix_acl_access", got, sizeof got), ssize_t(sizeof acl));
    EXPECT_EQ(std::vector<std::uint8_t>(got, got + sizeof acl), std::vector<std::uint8_t>(acl, acl + sizeof acl));

}
#endif

TEST_P(output, reports_every_failure_to_write_and_leaves_the_old_file)
{
    const std::string prefix = name + ": ";
    output_os full = os;
    full.write_at = [](std::intptr_t, std::uint64_t, const std::uint8_t*, std::size_t, std::size_t&) {
        return ENOSPC;
    };
    EXPECT_EQ(error_of([&] { write_new(full); }), prefix + "błąd zapisu: brak miejsca na dysku");
    expect_untouched();
    // As a network file system may fail; with or without an old file.
    output_os failing_close = os;
    failing_close.close = [](std::intptr_t fd) {
        native_output_os().close(fd);
        return EIO;
    };
    for (bool old_file : {true, false}) {
        if (!old_file)
            fs::remove(name);
        EXPECT_EQ(error_of([&] { write_new(failing_close); }), prefix + "błąd zapisu: błąd wejścia/wyjścia urządzenia");
        EXPECT_EQ(dir.others(old_file ? std::initializer_list<std::string>{"Output.bmp"} : std::initializer_list<std::string>{}),
                  std::vector<std::string>{});
    }
    ASSERT_TRUE(write_file(name, old));
    // Space that cannot be had is reported before anything is written.
    static int refusal;
    output_os no_room = os;
    no_room.reserve = [](std::intptr_t, std::uint64_t) { return refusal; };
    for (int err : {ENOSPC, EFBIG, EDQUOT}) {
        refusal = err;
        EXPECT_EQ(error_of([&] {
                      output_file out(name, no_room);
                      out.reserve(8192);
                  }),
                  prefix + "nie można zarezerwować miejsca na plik: " + os_reason(err));
        expect_untouched();
    }
}

// Whatever ends the run, nothing is left behind, and what the parent
// ignored stays ignored.
TEST_P(output, no_signal_leaves_a_file_behind)
{
    std::vector<int> signals{SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGALRM, SIGUSR1, SIGUSR2,
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
    if (!address_sanitizer)
        signals.push_back(SIGSEGV);  // whose handler the sanitizer keeps, and is chained to
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
    auto ignored_stays_ignored = [&] {
        std::signal(SIGHUP, SIG_IGN);  // as under nohup
        {
            output_file out(name, os);
            std::raise(SIGHUP);
            out.commit();
        }
        struct sigaction now;
        sigaction(SIGHUP, nullptr, &now);
        std::exit(now.sa_handler == SIG_IGN ? 0 : 1);
    };
    EXPECT_EXIT(ignored_stays_ignored(), ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(read_bytes(name), std::vector<std::uint8_t>{});
}

// What took the output's name while the picture was made is looked at
// again before it is replaced: a FIFO or a folder stays as it is.
TEST_P(output, replaces_nothing_that_became_other_than_a_file)
{
    for (bool fifo : {true, false}) {
        output_file out(name, os);
        out.write_at(0, data, sizeof data);
        fs::remove_all(name);
        if (fifo)
            ASSERT_EQ(mkfifo(name.c_str(), 0600), 0);
        else
            fs::create_directory(name);
        EXPECT_EQ(error_of([&] { out.commit(); }),
                  name + ": " + (fifo ? "to nie jest zwykły plik; zastąpić można tylko zwykły plik"
                                      : "to jest katalog, a nie plik"));
        EXPECT_EQ(fifo ? fs::is_fifo(name) : fs::is_directory(name), true);
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
    interrupted.replace = [](const std::string& from, const std::string& to) {
        std::raise(SIGTERM);
        return native_output_os().replace(from, to);
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
// done without; unnamed files, or giving them a name, for which a named
// temporary file is used from the start; and a rename, which ends the run
// with the old file as it was.
TEST_P(output, gets_by_without_what_a_file_system_lacks)
{
    static int refusal;
    output_os no_reserve = os;
    no_reserve.reserve = [](std::intptr_t, std::uint64_t) { return refusal; };
    for (int err : {EOPNOTSUPP, EPERM, ENOSYS, EINVAL}) {
        refusal = err;
        output_file out(name, no_reserve);
        out.reserve(sizeof data);
        out.write_at(0, data, sizeof data);
        out.commit();
        EXPECT_EQ(read_bytes(name), std::vector<std::uint8_t>(data, data + sizeof data)) << err;
    }

    output_os no_unnamed = os, no_link = os;
    no_unnamed.create_unnamed = [](const std::string&, std::intptr_t&) { return refusal; };
    no_link.link = no_link.link_by_path = [](std::intptr_t, const std::string&) { return refusal; };
    const std::pair<output_os*, std::vector<int>> refusals[] = {{&no_unnamed, {EOPNOTSUPP, EISDIR, EINVAL}},
                                                                {&no_link, {EPERM, ENOENT, EOPNOTSUPP}}};
    for (const auto& [with, errs] : refusals)
        for (int err : errs) {
            refusal = err;
            ASSERT_TRUE(write_file(name, old));
            output_file out(name, *with);
            EXPECT_EQ(temporaries(dir).size(), 1u) << err;  // named from the start
            out.write_at(0, data, sizeof data);
            out.commit();
            EXPECT_EQ(read_bytes(name), std::vector<std::uint8_t>(data, data + sizeof data)) << err;
            EXPECT_EQ(dir.others({"Output.bmp"}), std::vector<std::string>{});
        }

    ASSERT_TRUE(write_file(name, old));
    output_os no_rename = os;
    no_rename.replace = [](const std::string&, const std::string&) { return EXDEV; };
    EXPECT_EQ(error_of([&] { write_new(no_rename); }),
              name + ": nie można zapisać pliku: pliki leżą w różnych systemach plików");
    expect_untouched();
}

// Where no output exists yet, the unnamed file is linked straight to its
// name, so that not even SIGKILL can leave a temporary name behind; a
// kernel that needs a privilege to link by the handle (before Linux 6.10)
// is asked through /proc instead.
TEST(output_unnamed, takes_a_free_name_at_once_and_a_taken_one_by_rename)
{
    temp_dir dir;
    if (!unnamed_files_in(dir.path))
        GTEST_SKIP() << "no unnamed files here";
    const std::string name = (dir.path / "Output.bmp").string();
    static std::vector<std::string> calls;
    output_os os = os_for(true);
    os.link = [](std::intptr_t h, const std::string& path) {
        calls.push_back("link " + fs::path(path).filename().string());
        return native_output_os().link(h, path);
    };
    os.replace = [](const std::string& from, const std::string& to) {
        calls.push_back("replace " + fs::path(from).filename().string());
        return native_output_os().replace(from, to);
    };
    for (int run = 0; run < 2; run++) {
        output_file out(name, os);
        out.commit();
    }
    const std::string tmp = fs::path(temporary_name("", 7, 0)).filename().string();
    EXPECT_EQ(calls, (std::vector<std::string>{"link .", "link Output.bmp", "link .", "link Output.bmp",
                                               "link " + tmp, "replace " + tmp}));
    EXPECT_EQ(dir.others({"Output.bmp"}), std::vector<std::string>{});

    // A kernel that needs a privilege to link by the handle, or one with no
    // /proc: either way is enough, and a taken name is no reason to try the
    // other.
    const std::uint8_t data[] = {4, 5};
    os.link_by_path = [](std::intptr_t, const std::string&) { return ENOENT; };
    for (int run = 0; run < 2; run++) {
        output_file out(name, os);
        EXPECT_EQ(dir.others({"Output.bmp"}), std::vector<std::string>{});  // unnamed still
        out.write_at(0, data, 1);
        out.commit();
        EXPECT_EQ(read_bytes(name), std::vector<std::uint8_t>(data, data + 1));
    }
    os.link_by_path = native_output_os().link_by_path;
    os.link = [](std::intptr_t, const std::string&) { return ENOENT; };
    for (int run = 0; run < 2; run++) {
        output_file out(name, os);
        out.write_at(0, data, 2);
        out.commit();
        EXPECT_EQ(read_bytes(name), std::vector<std::uint8_t>(data, data + 2));
    }
    EXPECT_EQ(dir.others({"Output.bmp"}), std::vector<std::string>{});
}

// What may stand under the output's name, refused before anything is
// asked: all but a regular file, a link to one, or a free name in a folder
// that can be written.
TEST(check_output, refuses_all_but_a_regular_file_in_a_folder_that_takes_it)
{
    temp_dir dir;
    const std::string d = dir.path.string() + "/";
    ASSERT_TRUE(write_file(d + "file.bmp", {1}));
    fs::create_directory(d + "sub");
    ASSERT_EQ(mkfifo((d + "fifo").c_str(), 0600), 0);
    fs::create_symlink("file.bmp", d + "link.bmp");
    fs::create_symlink("sub", d + "link-to-sub");
    fs::create_symlink("nowhere.bmp", d + "dangling");
    fs::create_directory(d + "other");
    fs::create_symlink("../file.bmp", d + "other/up.bmp");
    const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string sock_name = d + "sock";
    if (sock_name.size() < sizeof addr.sun_path) {
        std::memcpy(addr.sun_path, sock_name.c_str(), sock_name.size() + 1);
        ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    }
    const std::string not_regular = "to nie jest zwykły plik; zastąpić można tylko zwykły plik";
    const std::string dir_msg = "to jest katalog, a nie plik";
    const std::pair<std::string, std::string> cases[] = {
        {d + "new.bmp", ""},
        {d + "file.bmp", ""},
        {d + "link.bmp", ""},
        {d + "other/up.bmp", ""},
        {"", "nie można utworzyć pliku: pusta nazwa pliku"},
        {d + "sub", dir_msg},
        {d + "sub/", dir_msg},
        {d + "link-to-sub", dir_msg},
        {d + ".", dir_msg},
        {"/", dir_msg},
        {d + "fifo", not_regular},
        {"/dev/null", not_regular},
        {sock_name, not_regular},
        {d + "dangling", "dowiązanie symboliczne prowadzi do nieistniejącego pliku"},
        {d + "missing/new.bmp", "nie można utworzyć pliku: nie ma takiego katalogu"},
        {d + "file.bmp/new.bmp", "nie można utworzyć pliku: część ścieżki nie jest katalogiem"},
    };
    for (const auto& [given, message] : cases) {
        const std::string& name = given;  // which a lambda can capture
        EXPECT_EQ(error_of([&] { check_output(name); }),
                  message.empty() ? "" : (name.empty() ? "„”" : name) + ": " + message)
            << name;
    }
    EXPECT_EQ(check_output(d + "link.bmp").path, fs::canonical(d + "file.bmp").string());
    EXPECT_EQ(check_output(d + "other/up.bmp").folder, fs::canonical(d).string() + "/");
    output_target here;
    ASSERT_EQ(native_output_os().inspect("Output.bmp", here), 0);
    EXPECT_EQ(here.folder, "");
    close(sock);
}

// A link is written through: the file it leads to is replaced, and the link
// stays a link. A folder that cannot be written is found before anything is
// asked.
TEST(check_output, writes_through_a_link_and_needs_a_folder_it_can_write)
{
    temp_dir dir;
    const std::string d = dir.path.string() + "/";
    ASSERT_TRUE(write_file(d + "file.bmp", {1}));
    fs::create_symlink("file.bmp", d + "link.bmp");
    fs::create_directory(d + "sub");
    output_file out(d + "link.bmp");
    const std::uint8_t data[] = {5, 6};
    out.write_at(0, data, 2);
    out.commit();
    EXPECT_TRUE(fs::is_symlink(d + "link.bmp"));
    EXPECT_EQ(read_bytes(d + "file.bmp"), std::vector<std::uint8_t>(data, data + 2));

    if (geteuid() != 0) {  // root may write anywhere
        ASSERT_EQ(chmod((d + "sub").c_str(), 0555), 0);
        EXPECT_EQ(error_of([&] { check_output(d + "sub/new.bmp"); }),
                  d + "sub/new.bmp: nie można utworzyć pliku: brak uprawnień");
        ASSERT_EQ(chmod((d + "sub").c_str(), 0755), 0);
    }
}
