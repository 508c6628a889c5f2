// The output file, in both of its ways of being made: unnamed until
// complete, and the named fallback where a file system cannot make unnamed
// files. Faults that no file system here can be made to give are injected
// at the operating-system interface.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include "bmp_make.hpp"
#include "output.hpp"
#include "process.hpp"
#include "test_files.hpp"

namespace {

// The platform's calls, but for a file system that cannot make unnamed
// files where `unnamed` is false.
output_os os_for(bool unnamed)
{
    output_os os = native_output_os();
    if (!unnamed)
        os.create_unnamed = [](const std::string&, std::intptr_t&) { return EOPNOTSUPP; };
    return os;
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

    // A child that writes an output and then receives `sig`.
    void write_then(int sig)
    {
        rlimit no_core{0, 0};
        setrlimit(RLIMIT_CORE, &no_core);
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

    // A stale file under the first temporary name is neither used nor removed.
    const std::string stale = name + "." + std::to_string(getpid()) + ".0.tmp";
    ASSERT_TRUE(write_file(stale, {'s'}));
    {
        output_file out(name, os);
        out.write_at(2, data, sizeof data);
        out.write_at(0, data, 2);
        out.commit();
    }
    EXPECT_EQ(read_bytes(name), (std::vector<std::uint8_t>{9, 8, 9, 8, 7, 6}));
    EXPECT_EQ(read_text(stale), "s");
    EXPECT_EQ(dir.others({"Output.bmp", fs::path(stale).filename().string()}),
              std::vector<std::string>{});
}

TEST_P(output, keeps_the_old_files_permissions)
{
    ASSERT_EQ(chmod(name.c_str(), 0604), 0);
    {
        output_file out(name, os);
        out.write_at(0, data, sizeof data);
        out.commit();
    }
    struct stat st;
    ASSERT_EQ(stat(name.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0604u);

    // A new file follows the umask.
    fs::remove(name);
    mode_t mask = umask(027);
    {
        output_file out(name, os);
        out.commit();
    }
    umask(mask);
    ASSERT_EQ(stat(name.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST_P(output, reports_every_failure_to_write_and_leaves_the_old_file)
{
    const std::string prefix = name + ": ";
    output_os full = os;
    full.write_at = [](std::intptr_t, std::uint64_t, const std::uint8_t*, std::size_t, std::size_t&) {
        return ENOSPC;
    };
    EXPECT_EQ(error_of([&] {
                  output_file out(name, full);
                  out.write_at(0, data, sizeof data);
              }),
              prefix + "błąd zapisu: brak miejsca na dysku");
    expect_untouched();
    output_os failing_close = os;  // as a network file system may fail
    failing_close.close = [](std::intptr_t fd) {
        native_output_os().close(fd);
        return EIO;
    };
    EXPECT_EQ(error_of([&] {
                  output_file out(name, failing_close);
                  out.commit();
              }),
              prefix + "błąd zapisu: błąd wejścia/wyjścia urządzenia");
    expect_untouched();
    auto reserve_over_the_limit = [&] {
        prepare_process();  // else SIGXFSZ would kill this child
        rlimit small{4096, 4096};
        setrlimit(RLIMIT_FSIZE, &small);
        std::fputs(error_of([&] {
                       output_file out(name, os);
                       out.reserve(8192);
                   }).c_str(),
                   stderr);
        std::exit(0);
    };
    EXPECT_EXIT(reserve_over_the_limit(), ::testing::ExitedWithCode(0),
                "nie można zarezerwować miejsca na plik: plik byłby większy, niż pozwala limit "
                "rozmiaru pliku \\(ulimit -f\\)$");
    expect_untouched();
}

// Whatever ends the run, nothing is left behind, and what the parent
// ignored stays ignored.
TEST_P(output, no_signal_leaves_a_file_behind)
{
    std::vector<int> signals{SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGALRM, SIGUSR1, SIGXCPU};
    if (!address_sanitizer)
        signals.push_back(SIGSEGV);  // whose handler the sanitizer keeps, and is chained to
#ifndef RIPPLE_EMULATED  // qemu-user keeps the last real-time signal for itself and does not
                        // stop at once at a SIGKILL it raises
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
        output_file out(name, interrupted);
        out.write_at(0, data, sizeof data);
        out.commit();
        std::exit(0);
    };
    EXPECT_EXIT(put_in_place(), ::testing::KilledBySignal(SIGTERM), "");
    EXPECT_EQ(read_bytes(name), std::vector<std::uint8_t>(data, data + sizeof data));
    EXPECT_EQ(dir.others({"Output.bmp"}), std::vector<std::string>{});
}

// What a file system may refuse: reserving space is done without, and a
// rename that fails ends the run with the old file as it was.
TEST_P(output, gets_by_without_what_a_file_system_lacks)
{
    output_os no_reserve = os;
    no_reserve.reserve = [](std::intptr_t, std::uint64_t) { return EOPNOTSUPP; };
    {
        output_file out(name, no_reserve);
        out.reserve(sizeof data);
        out.write_at(0, data, sizeof data);
        out.commit();
    }
    EXPECT_EQ(read_bytes(name), std::vector<std::uint8_t>(data, data + sizeof data));
    ASSERT_TRUE(write_file(name, old));

    output_os no_rename = os;
    no_rename.replace = [](const std::string&, const std::string&) { return EXDEV; };
    EXPECT_EQ(error_of([&] {
                  output_file out(name, no_rename);
                  out.write_at(0, data, sizeof data);
                  out.commit();
              }),
              name + ": nie można zapisać pliku: pliki leżą w różnych systemach plików");
    expect_untouched();
}

// Where no output exists yet, the unnamed file is linked straight to its
// name, so that not even SIGKILL can leave a temporary name behind.
TEST(output_unnamed, takes_a_free_name_at_once_and_a_taken_one_by_rename)
{
    temp_dir dir;
    if (!unnamed_files_in(dir.path))
        GTEST_SKIP() << "no unnamed files here";
    const std::string name = (dir.path / "Output.bmp").string();
    static std::vector<std::string> calls;
    output_os os = native_output_os();
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
    const std::string tmp = "Output.bmp." + std::to_string(getpid()) + ".0.tmp";
    EXPECT_EQ(calls, (std::vector<std::string>{"link Output.bmp", "link Output.bmp", "link " + tmp,
                                               "replace " + tmp}));
    EXPECT_EQ(dir.others({"Output.bmp"}), std::vector<std::string>{});
}

TEST(os_reason, says_in_polish_what_the_system_reports)
{
    EXPECT_EQ(os_reason(EACCES), "brak uprawnień");
    EXPECT_EQ(os_reason(EROFS), "system plików jest tylko do odczytu");
    EXPECT_EQ(os_reason(ENOSPC), "brak miejsca na dysku");
    EXPECT_EQ(os_reason(123456), "nieoczekiwany błąd systemowy (errno 123456)");
}
