// Runs the built program in a scratch folder, as a person would.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <functional>
#include <thread>
#include <tuple>

#include "bad_inputs.hpp"
#include "bmp_make.hpp"
#include "test_files.hpp"

namespace {

// AddressSanitizer reserves terabytes of address space up front, and an
// emulator allocates for itself, so neither can run under an address-space
// limit.
#ifdef RIPPLE_EMULATED
constexpr bool emulated = true;
#else
constexpr bool emulated = false;
#endif
constexpr bool can_limit = !address_sanitizer && !emulated;

// The program under test: the one built with the tests, or RIPPLE_EXE,
// for a run as another user from a copy the build folder's owner made.
const std::string& ripple_exe()
{
    static const std::string exe = getenv("RIPPLE_EXE") ? getenv("RIPPLE_EXE") : RIPPLE_EXE;
    return exe;
}

const std::string prompt_x = "Podaj współrzędną x : ";
const std::string prompt_y = "Podaj współrzędną y : ";

struct run_result {
    int status;
    std::string out, err;
};

// The times of a file, which macOS names otherwise.
#ifdef __APPLE__
timespec access_time(const struct stat& st) { return st.st_atimespec; }
timespec modification_time(const struct stat& st) { return st.st_mtimespec; }
#else
timespec access_time(const struct stat& st) { return st.st_atim; }
timespec modification_time(const struct stat& st) { return st.st_mtim; }
#endif

// Per-pixel patterns with no symmetry, so swapped rows, columns or
// channels all show.
std::array<std::uint8_t, 3> pic1(int r, int c)
{
    return {std::uint8_t(40 * c + 10), std::uint8_t(100 * r + 20), std::uint8_t(250 - 30 * c - 40 * r)};
}

std::array<std::uint8_t, 3> pic2(int r, int c)
{
    return {std::uint8_t(200 - 35 * c), std::uint8_t(60 * r + 5), std::uint8_t(17 + 50 * c)};
}

// Gives the child the signals as a shell started from a terminal would,
// whatever this test was started with (a script's background job ignores
// SIGINT and SIGQUIT): all at their defaults, none blocked, but `ignored`.
void default_signals(std::initializer_list<int> ignored = {})
{
    for (int sig = 1; sig < NSIG; sig++)
        if (sig != SIGKILL && sig != SIGSTOP)
            std::signal(sig, SIG_DFL);
    for (int sig : ignored)
        std::signal(sig, SIG_IGN);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

// Runs `cmd` with sh and gives its wait status; where `reader_gone`, its
// stdout is a pipe that nobody reads any more. A run that stalls is killed,
// and fails its test, within a minute.
int shell(const std::string& cmd, bool reader_gone = false)
{
    const pid_t pid = fork();
    if (pid == 0) {
        default_signals();
        for (int fd = 3; fd < 1024; fd++)  // what the test itself was given
            close(fd);
        int gone[2];
        if (reader_gone && (pipe(gone) != 0 || close(gone[0]) != 0 || dup2(gone[1], 1) != 1))
            _exit(127);
        execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    for (int waited_ms = 0; waitpid(pid, &status, WNOHANG) == 0; waited_ms += 5) {
        if (waited_ms > 60000) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return status;
}

// The program running in a folder, talked to through pipes, so that a test
// can act between its prompt and its end.
struct running {
    pid_t pid = -1;
    int to = -1, from = -1;
    std::string out;

    // Reads what it prints until `text` has appeared; a program that
    // stalls fails the test in seconds, not at CTest's timeout.
    bool wait_for(const std::string& text)
    {
        char buf[256];
        while (out.find(text) == std::string::npos) {
            pollfd p{from, POLLIN, 0};
            if (poll(&p, 1, 20000) != 1)
                return false;
            ssize_t n = read(from, buf, sizeof buf);
            if (n <= 0)
                return false;
            out.append(buf, std::size_t(n));
        }
        return true;
    }
    void send(const std::string& text) { ASSERT_EQ(write(to, text.data(), text.size()), ssize_t(text.size())); }
    // Ends its input, waits for its end and gives its wait status; a run
    // that has not ended within a minute is killed.
    int finish()
    {
        close(to);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        char buf[256];
        for (pollfd p{from, POLLIN, 0}; std::chrono::steady_clock::now() < deadline;) {
            if (poll(&p, 1, 1000) == 1 && read(from, buf, sizeof buf) <= 0)
                break;
        }
        close(from);
        int status = 0;
        while (waitpid(pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline)
                kill(pid, SIGKILL);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return status;
    }
};

class cli : public ::testing::Test {
protected:
    temp_dir tmp;
    const fs::path& dir = tmp.path;
    const std::vector<std::uint8_t> old{'o', 'l', 'd'};

    void put(const std::string& name, const std::vector<std::uint8_t>& bytes)
    {
        ASSERT_TRUE(write_file((dir / name).string(), bytes));
    }

    void put_pair(bmp_params s1 = {5, 3}, bmp_params s2 = {5, 3})
    {
        put("Input_1.bmp", make_bmp(s1, pic1));
        put("Input_2.bmp", make_bmp(s2, pic2));
    }

    // `prelude` runs in the shell first: a limit, a umask, a trap.
    run_result run(const std::string& answers, const std::string& prelude = "",
                   const std::string& streams = "<stdin.txt >stdout.txt 2>stderr.txt",
                   const std::string& args = "", bool reader_gone = false)
    {
        std::ofstream(dir / "stdin.txt", std::ios::binary) << answers;
        std::ofstream(dir / "stdout.txt");
        std::ofstream(dir / "stderr.txt");
        const std::string cmd = "cd '" + dir.string() + "' && " + prelude + " exec '" + ripple_exe() + "' " +
                                args + " " + streams;
        const int rc = shell(cmd, reader_gone);
        run_result r{WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, read_text(dir / "stdout.txt"),
                     read_text(dir / "stderr.txt")};
        for (auto f : {"stdin.txt", "stdout.txt", "stderr.txt"})
            fs::remove(dir / f);
        return r;
    }

    // Starts the program with its stderr in stderr.txt and the given
    // signals ignored or blocked, as a parent may leave them.
    // Its stderr goes to `error_to` where given (a terminal, say).
    running start(std::initializer_list<int> ignored = {}, std::initializer_list<int> blocked = {},
                  std::vector<std::string> args = {}, const std::string& error_to = "")
    {
        int to[2], from[2];
        EXPECT_EQ(pipe(to), 0);
        EXPECT_EQ(pipe(from), 0);
        running r;
        r.pid = fork();
        if (r.pid == 0) {
            int err = error_to.empty() ? open((dir / "stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666)
                                       : open(error_to.c_str(), O_WRONLY | O_NOCTTY);
            if (chdir(dir.c_str()) != 0 || err < 0)
                _exit(127);
            default_signals(ignored);
            sigset_t mask;
            sigemptyset(&mask);
            for (int sig : blocked)
                sigaddset(&mask, sig);
            sigprocmask(SIG_BLOCK, &mask, nullptr);
            dup2(to[0], 0);
            dup2(from[1], 1);
            dup2(err, 2);
            close(to[1]);
            close(from[0]);
            std::vector<char*> argv{const_cast<char*>(ripple_exe().c_str())};
            for (std::string& a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(ripple_exe().c_str(), argv.data());
            _exit(127);
        }
        close(to[0]);
        close(from[1]);
        r.to = to[1];
        r.from = from[0];
        return r;
    }

    // Names in the folder other than the inputs and the output: leftovers.
    std::vector<std::string> leftovers() const
    {
        return tmp.others({"Input_1.bmp", "Input_2.bmp", "Output.bmp"});
    }

    void expect_failure(const std::string& answers, const std::string& message,
                        const std::string& stdout_text = "", const std::string& prelude = "",
                        const std::string& streams = "<stdin.txt >stdout.txt 2>stderr.txt")
    {
        put("Output.bmp", old);
        run_result r = run(answers, prelude, streams);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, stdout_text);
        EXPECT_EQ(r.err, message + "\n");
        EXPECT_EQ(read_bytes(dir / "Output.bmp"), old);
        EXPECT_EQ(leftovers(), std::vector<std::string>{});
    }
};

// Worked out apart from the program, straight from the definition, for the
// 5 × 3 pair above: rows in storage order, blue, green, red.
const std::uint8_t expected_at_1_2[] = {
    192, 5, 26,  160, 5,  72, 128, 5,  119, 96, 5,   166, 66, 5,   211, 0,
    195, 66, 21, 162, 65, 68, 129, 66, 117, 96, 67,  165, 66, 68,  209, 0,
    196, 126, 19, 165, 125, 67, 129, 126, 116, 96, 128, 163, 65, 129, 208, 0,
};
const std::uint8_t expected_at_minus400_300[] = {
    77, 14, 166,  92, 14, 163,  105, 14, 162,  116, 14, 162,  125, 13, 164,  0,
    76, 100, 142, 91, 100, 139, 104, 99, 137,  116, 99, 137,  126, 98, 139,  0,
    74, 187, 117, 90, 186, 114, 104, 185, 112, 116, 184, 112, 127, 183, 114, 0,
};

}  // namespace

// Replies as "%i" reads them: -0x190 is -400 and 0454 is octal 300, and
// both may stand on one line.
TEST_F(cli, writes_the_blend_behind_the_first_inputs_header)
{
    const std::pair<std::string, const std::uint8_t*> runs[] = {{"1\n2\n", expected_at_1_2},
                                                                {"  -0x190 0454\n", expected_at_minus400_300}};
    for (const auto& [answers, expected] : runs) {
        put_pair({5, 3, 108}, {5, 3, 40});
        run_result r = run(answers);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, prompt_x + prompt_y);
        EXPECT_EQ(r.err, "");
        auto out = read_bytes(dir / "Output.bmp");
        auto in1 = read_bytes(dir / "Input_1.bmp");
        ASSERT_EQ(out.size(), 170u);
        EXPECT_TRUE(std::equal(out.begin(), out.begin() + 122, in1.begin()));
        EXPECT_TRUE(std::equal(out.begin() + 122, out.end(), expected)) << answers;
        EXPECT_EQ(leftovers(), std::vector<std::string>{});
    }
}

// The output is the first input with only its pixels replaced: every
// header size, a gap, and bytes after the pixels (an ICC profile that a
// 124-byte header points at, or bytes merely counted in bfSize).
TEST_F(cli, the_output_is_the_first_input_outside_its_pixels)
{
    const bmp_params firsts[] = {
        {6, -2, 124, 5, 24, 0, 3000}, {5, 3, 40, 0, 24, 0, 17}, {6, 2, 40, (1 << 20) + 5, 24, 0, (3 << 20) + 17}};
    for (const bmp_params& p : firsts) {
        put_pair(p, {7, 4, 40});  // a larger second input
        run_result r = run("-2147483648 2147483647\n");
        EXPECT_EQ(r.status, 0);
        auto out = read_bytes(dir / "Output.bmp");
        auto in1 = read_bytes(dir / "Input_1.bmp");
        ASSERT_EQ(out.size(), in1.size());
        const std::size_t offset = 14 + p.info_size + p.gap, stride = bmp_stride(p.width);
        const std::size_t end = offset + stride * std::size_t(std::abs(p.height));
        EXPECT_TRUE(std::equal(out.begin(), out.begin() + std::ptrdiff_t(offset), in1.begin()));
        EXPECT_TRUE(std::equal(out.begin() + std::ptrdiff_t(end), out.end(), in1.begin() + std::ptrdiff_t(end)));
        for (std::size_t k = offset; k < end; k++)
            if ((k - offset) % stride >= 3 * std::size_t(p.width)) {
                EXPECT_EQ(out[k], 0) << k;
            }
    }
}

TEST_F(cli, end_of_input_writes_nothing)
{
    put_pair();
    const std::string msg =
        "standardowe wejście: dane skończyły się przed podaniem obu współrzędnych";
    expect_failure("5\n", msg, prompt_x + prompt_y);
}

// What cannot be the output is refused before the first question, and
// left as it was (the output's own tests have every kind): a folder, a
// FIFO, a name that names a folder, a folder that is not there, a link that
// leads nowhere.
TEST_F(cli, refuses_an_output_it_cannot_replace_before_asking)
{
    put_pair();
    fs::create_directories(dir / "sub" / "inside");
    fs::create_symlink("nowhere.bmp", dir / "dangling");
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    const std::string not_regular = "to nie jest zwykły plik; zastąpić można tylko zwykły plik";
    const std::pair<std::string, std::string> cases[] = {
        {"sub", "sub: to jest katalog, a nie plik"},
        {"Output.bmp/", "Output.bmp/: nazwa zakończona ukośnikiem oznacza katalog, a wynik musi być plikiem"},
        {"fifo", "fifo: " + not_regular},
        {"missing/Output.bmp", "missing/Output.bmp: nie można utworzyć pliku: nie ma takiego katalogu"},
        {"dangling", "dangling: dowiązanie symboliczne prowadzi do nieistniejącego pliku"},
    };
    std::vector<std::pair<std::string, std::string>> all(std::begin(cases), std::end(cases));
    // A device, only where a fault could not destroy it: as root, a program
    // that wrongly replaced /dev/null would break the whole machine.
    if (geteuid() != 0)
        all.emplace_back("/dev/null", "/dev/null: " + not_regular);
    for (const auto& [output, line] : all) {
        run_result r = run("1 2", "", "<stdin.txt >stdout.txt 2>stderr.txt", "Input_1.bmp Input_2.bmp " + output);
        EXPECT_EQ(r.status, 1) << output;
        EXPECT_EQ(r.out, "") << output;
        EXPECT_EQ(r.err, line + "\n") << output;
    }
    EXPECT_TRUE(fs::is_directory(dir / "sub" / "inside"));
    EXPECT_TRUE(fs::is_symlink(dir / "dangling"));
    EXPECT_TRUE(fs::is_fifo(dir / "fifo"));
    EXPECT_TRUE(fs::is_character_file("/dev/null"));
    EXPECT_EQ(tmp.others({"Input_1.bmp", "Input_2.bmp", "sub", "dangling", "fifo"}), std::vector<std::string>{});

    // An input may be its own output.
    run_result r = run("1 2", "", "<stdin.txt >stdout.txt 2>stderr.txt", "Input_1.bmp Input_2.bmp Input_1.bmp");
    EXPECT_EQ(r.status, 0) << r.err;
    auto out = read_bytes(dir / "Input_1.bmp");
    ASSERT_EQ(out.size(), 170u);
    EXPECT_TRUE(std::equal(out.begin() + 122, out.end(), std::begin(expected_at_1_2)));
}

// Another program changes an input while ripple waits for the centre. It
// cuts it by a whole page and more (the mapping loses it: SIGBUS, even
// where the parent blocked or ignored it), or by a few bytes (its last page stays,
// reading as zeros), grows it, or rewrites it in place without changing
// its size: at once, or putting its modification time back. No output is
// made.
TEST_F(cli, an_input_changed_during_the_run_is_refused)
{
    const auto resize = [](std::intmax_t by) {
        return [by](const fs::path& p) {
            fs::resize_file(p, std::uintmax_t(std::intmax_t(fs::file_size(p)) + by));
        };
    };
    const auto rewrite = [](bool keep_mtime) {
        return [keep_mtime](const fs::path& p) {
            struct stat st;
            ASSERT_EQ(stat(p.c_str(), &st), 0);
            std::fstream f(p, std::ios::in | std::ios::out | std::ios::binary);
            f.seekp(1000);
            f.write("rewritten", 9);
            f.close();
            const timespec times[2] = {access_time(st), modification_time(st)};
            if (keep_mtime) {
                ASSERT_EQ(utimensat(AT_FDCWD, p.c_str(), times, 0), 0);
            }
        };
    };
    const std::string cut = "plik został skrócony w trakcie odczytu", changed = "plik zmienił się w trakcie działania programu";
    // How the parent left SIGBUS: at its default, blocked or ignored.
    enum class bus { left, blocked, ignored };
    const struct {
        const char* name;
        std::function<void(const fs::path&)> change;
        bus parent;
        std::string message;
    } cases[] = {
        {"Input_2.bmp", resize(-4000000), bus::left, cut},   {"Input_2.bmp", resize(-4000000), bus::blocked, cut},
        {"Input_1.bmp", resize(-4000000), bus::ignored, cut}, {"Input_1.bmp", resize(-3), bus::left, cut},
        {"Input_2.bmp", resize(-3), bus::left, cut},          {"Input_1.bmp", resize(10), bus::left, changed},
        {"Input_1.bmp", rewrite(true), bus::left, changed},   {"Input_2.bmp", rewrite(false), bus::left, changed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name) + ", " + c.message + ", SIGBUS " + std::to_string(int(c.parent)));
        put_pair({4000, 400}, {4000, 400});
        put("Output.bmp", old);
        running p = c.parent == bus::blocked ? start({}, {SIGBUS}) : c.parent == bus::ignored ? start({SIGBUS}) : start();
        ASSERT_TRUE(p.wait_for(prompt_x)) << "no prompt";
        c.change(dir / c.name);
        p.send("1 2\n");
        int status = p.finish();
        EXPECT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
        EXPECT_EQ(WEXITSTATUS(status), 1);
        std::string said = read_text(dir / "stderr.txt");
#ifdef RIPPLE_EMULATED  // qemu's s390x does not say where the fault was
        if (said == "ripple: błąd odczytu zmapowanego pliku\n")
            said = std::string(c.name) + ": " + cut + "\n";
#endif
        EXPECT_EQ(said, std::string(c.name) + ": " + c.message + "\n");
        fs::remove(dir / "stderr.txt");
        EXPECT_EQ(read_bytes(dir / "Output.bmp"), old);
        EXPECT_EQ(leftovers(), std::vector<std::string>{});
    }
}

#ifdef F_SETLEASE  // Linux's
// The line for a cut mapped file names it whole, however long its name,
// and shows it safely.
TEST_F(cli, a_long_name_fits_the_cut_file_line)
{
    const std::string name = std::string(200, 'd') + "\x1b[2J.bmp";
    put(name, make_bmp({4000, 400}, pic1));
    put("Input_2.bmp", make_bmp({4000, 400}, pic2));
    running p = start({}, {}, {name, "Input_2.bmp", "out.bmp"});
    ASSERT_TRUE(p.wait_for(prompt_x)) << read_text(dir / "stderr.txt");
    fs::resize_file(dir / name, 100000);
    p.send("1 2\n");
    const int status = p.finish();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    std::string said = read_text(dir / "stderr.txt");
#ifdef RIPPLE_EMULATED  // qemu's s390x does not say where the fault was
    if (said == "ripple: błąd odczytu zmapowanego pliku\n")
        GTEST_SKIP() << "the emulator does not say where the fault was";
#endif
    EXPECT_EQ(said, std::string(200, 'd') + "?[2J.bmp: plik został skrócony w trakcie odczytu\n");
    EXPECT_FALSE(fs::exists(dir / "out.bmp"));
}

// An input under a lease that another program holds (as Samba and NFS
// servers take them) is read once the lease is released, not refused.
TEST_F(cli, waits_for_a_lease_on_an_input)
{
    put_pair();
    const int held = open((dir / "Input_1.bmp").c_str(), O_RDWR);
    std::signal(SIGIO, SIG_IGN);  // the lease's break notice
    if (fcntl(held, F_SETLEASE, F_WRLCK) != 0) {
        close(held);
        GTEST_SKIP() << "this file system takes no leases";
    }
    running p = start();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(fcntl(held, F_SETLEASE, F_UNLCK), 0);
    close(held);
    ASSERT_TRUE(p.wait_for(prompt_x)) << read_text(dir / "stderr.txt");
    p.send("1 2\n");
    const int status = p.finish();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << read_text(dir / "stderr.txt");
}
#endif

// Streams a parent closed: no input file takes the place of the replies,
// and a closed output loses only the prompts.
TEST_F(cli, closed_standard_streams_are_no_files_place)
{
    put_pair();
    expect_failure("", "standardowe wejście: dane skończyły się przed podaniem obu współrzędnych",
                   prompt_x, "", "<&- >stdout.txt 2>stderr.txt");
    run_result r = run("1 2\n", "", "<stdin.txt >&- 2>stderr.txt");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    auto out = read_bytes(dir / "Output.bmp");
    ASSERT_EQ(out.size(), 170u);
    EXPECT_TRUE(std::equal(out.begin() + 122, out.end(), std::begin(expected_at_1_2)));
}

// What an ordinary user meets, which root never does.
TEST_F(cli, says_what_the_user_may_not_do)
{
    if (geteuid() == 0)
        GTEST_SKIP() << "root may do all of it";
    put_pair();
    ASSERT_EQ(chmod((dir / "Input_2.bmp").c_str(), 0), 0);
    expect_failure("1 2", "Input_2.bmp: nie można otworzyć pliku: brak uprawnień");
    ASSERT_EQ(chmod((dir / "Input_2.bmp").c_str(), 0644), 0);
    // A folder the user cannot write: the run's own files lie elsewhere.
    const std::string io = (tmp.path.parent_path() / ("io-" + std::to_string(getpid()))).string();
    std::ofstream(io + ".in") << "1 2";
    ASSERT_EQ(chmod(dir.c_str(), 0555), 0);
    const int rc = shell("cd '" + dir.string() + "' && exec '" + ripple_exe() + "' <'" + io + ".in' >/dev/null 2>'" +
                         io + ".err'");
    ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
    EXPECT_TRUE(WIFEXITED(rc) && WEXITSTATUS(rc) == 1) << rc;
    EXPECT_EQ(read_text(io + ".err"), "Output.bmp: nie można utworzyć pliku: brak uprawnień\n");
    fs::remove(io + ".in");
    fs::remove(io + ".err");
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
}

// Whatever ends a run, at whatever moment, the folder holds the old output
// or the complete new one and nothing else; a signal the parent ignored,
// as nohup does, does not end it.
TEST_F(cli, no_interruption_leaves_anything_behind)
{
    put_pair({2000, 1500}, {2000, 1500});
    ASSERT_EQ(run("1000 700").status, 0);
    const auto want = read_bytes(dir / "Output.bmp");
    // One handler serves every signal; the output's own tests send each.
    std::vector<int> signals{SIGTERM, SIGINT};
    if (unnamed_files_in(dir))
        signals.push_back(SIGKILL);  // else it leaves the named temporary file
    for (int sig : signals)
        for (int delay_us : {0, 300, 1000, 3000, 10000, 30000}) {
            SCOPED_TRACE(std::to_string(sig) + " after " + std::to_string(delay_us) + " µs");
            put("Output.bmp", old);
            running p = start();
            ASSERT_TRUE(p.wait_for(prompt_x));
            p.send("1000 700\n");
            std::this_thread::sleep_for(std::chrono::microseconds(delay_us));
            kill(p.pid, sig);
            p.finish();
            auto now = read_bytes(dir / "Output.bmp");
            EXPECT_TRUE(now == old || now == want);
            fs::remove(dir / "stderr.txt");
            // The one leftover the README admits: SIGKILL between the link
            // and the rename leaves the complete picture under a temporary
            // name.
            std::vector<std::string> left = leftovers();
            if (sig == SIGKILL && left.size() == 1 && left[0].rfind(".ripple-", 0) == 0 &&
                read_bytes(dir / left[0]) == want)
                fs::remove(dir / left[0]), left.clear();
            EXPECT_EQ(left, std::vector<std::string>{});
        }
    // SIGBUS from another process is no fault: it ends the run like the
    // others, or is ignored where the parent ignored it. (AddressSanitizer,
    // like qemu, takes every SIGBUS for a fault of its own.)
    if (!address_sanitizer && !emulated) {
        put("Output.bmp", old);
        running p = start();
        ASSERT_TRUE(p.wait_for(prompt_x));
        kill(p.pid, SIGBUS);
        const int status = p.finish();
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGBUS) << status;
        EXPECT_EQ(read_bytes(dir / "Output.bmp"), old);
        fs::remove(dir / "stderr.txt");
        EXPECT_EQ(leftovers(), std::vector<std::string>{});
    }
    const int third = address_sanitizer || emulated ? SIGHUP : SIGBUS;
    running p = start({SIGHUP, SIGINT, third});
    ASSERT_TRUE(p.wait_for(prompt_x));
    p.send("1000 700\n");
    for (int k = 0; k < 30; k++) {
        kill(p.pid, k % 3 == 0 ? SIGHUP : k % 3 == 1 ? SIGINT : third);
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    int status = p.finish();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(read_bytes(dir / "Output.bmp"), want);
}

// Limits of the environment: a file-size limit, whether or not SIGXFSZ is
// ignored, fails like a full disk; an address space too small for the three
// pictures is enough, one too small for the inputs' mappings is not.
TEST_F(cli, limits_end_in_a_message_and_leave_the_output_alone)
{
    put_pair({200, 200}, {200, 200});  // 120 kB each
    const std::string too_big = "Output.bmp: nie można zarezerwować miejsca na plik: plik byłby "
                                "większy, niż pozwala limit rozmiaru pliku (ulimit -f)";
    expect_failure("1 2", too_big, prompt_x + prompt_y, "ulimit -f 100;");
    // The whole file is reserved, not only its pixels: 120 kB of them fit
    // under this limit (sh counts blocks of 512 B), the 100 kB after them
    // do not.
    put_pair({200, 200, 108, 0, 24, 0, 100000}, {200, 200});
    expect_failure("1 2", too_big, prompt_x + prompt_y, "ulimit -f 400;");
    put_pair({200, 200}, {200, 200});
    expect_failure("1 2", too_big, prompt_x + prompt_y, "ulimit -f 100; trap '' XFSZ;");
    // With no room for even the error line, the run still ends with status 1.
    put("Output.bmp", old);
    run_result r0 = run("1 2", "ulimit -f 0;");
    EXPECT_EQ(r0.status, 1);
    EXPECT_EQ(r0.err, "");
    EXPECT_EQ(read_bytes(dir / "Output.bmp"), old);
    if (!can_limit)
        GTEST_SKIP() << "no address-space or descriptor limits under AddressSanitizer or an emulator";
    // One descriptor to spare beside the standard streams: the first input
    // takes it.
    expect_failure("1 2", "Input_2.bmp: nie można otworzyć pliku: za dużo otwartych plików", "",
                   "exec <stdin.txt >stdout.txt 2>stderr.txt; ulimit -n 4;", "");
    // Three 48 MB pictures do not fit in 120 MiB of address space; the run
    // needs only the two inputs' mappings and a few MiB.
    put_pair({4000, 4000}, {4000, 4000});
    ASSERT_EQ(run("1000 2000").status, 0);
    const auto want = read_bytes(dir / "Output.bmp");
    fs::remove(dir / "Output.bmp");
    run_result r = run("1000 2000", "ulimit -v 122880;");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_bytes(dir / "Output.bmp"), want);
    expect_failure("1 2", "Input_2.bmp: nie można zmapować pliku: brak pamięci", "", "ulimit -v 71680;");
}

// Inputs that are missing, malformed or too small, as either file: refused
// before the first prompt with one line naming it, without mapping or
// allocating what the header claims. The loader's table has every malformed
// case; these stand for its kinds.
TEST_F(cli, refuses_bad_inputs_before_asking)
{
    const std::vector<bad_input> all = bad_inputs();
    auto bad = [&](const char* what) {
        return std::find_if(all.begin(), all.end(), [&](auto& b) { return b.what == what; })->bytes;
    };
    const struct {
        const char* name;
        std::vector<std::uint8_t> bytes;  // none: the file is missing
        std::string message;
    } cases[] = {
        {"Input_1.bmp", {}, "nie można otworzyć pliku: nie ma takiego pliku"},
        {"Input_2.bmp", {}, "nie można otworzyć pliku: nie ma takiego pliku"},
        {"Input_2.bmp", make_bmp({5, 2}, pic2), "obraz jest za niski: ma 2 px wysokości, a Input_1.bmp ma 3 px"},
        {"Input_1.bmp", bad("gigapixel"), "obraz 40000×3 wymaga 360000 B"},
        {"Input_2.bmp", bad("gigapixel"), "obraz 40000×3 wymaga 360000 B"},
        {"Input_1.bmp", bad("core header"), "o długości 12 B; zapisz obraz jako"},
        {"Input_2.bmp", bad("cut mid-row"), "ucięty"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name) + ", " + c.message);
        put_pair();
        if (c.bytes.empty())
            fs::remove(dir / c.name);
        else
            put(c.name, c.bytes);
        put("Output.bmp", old);
        run_result r = run("1 2\n", can_limit ? "ulimit -v 262144;" : "");
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.rfind(std::string(c.name) + ": ", 0), 0u) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
        EXPECT_EQ(read_bytes(dir / "Output.bmp"), old);
        EXPECT_EQ(leftovers(), std::vector<std::string>{});
    }
}

// The command line people expect: help and version on stdout, files named
// as operands, and a usage error that points to --help with status 2.
TEST_F(cli, takes_help_version_and_file_operands)
{
    const std::string usage = "<stdin.txt >stdout.txt 2>stderr.txt";
    run_result help = run("", "", usage, "--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("Użycie: ripple [PIERWSZY DRUGI [WYNIK]]\n", 0), 0u) << help.out;
    EXPECT_EQ(help.err, "");
    run_result version = run("", "", usage, "--version");
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "ripple " RIPPLE_VERSION "\n");
    for (const char* wrong : {"-x", "--centre=3", "a.bmp", "a b c d"}) {
        run_result r = run("", "", usage, wrong);
        EXPECT_EQ(r.status, 2) << wrong;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
        EXPECT_NE(r.err.find("zobacz „ripple --help”"), std::string::npos) << r.err;
    }

    // Operands stand in for the three names, and messages name them as given.
    put("first.bmp", make_bmp({5, 3, 108}, pic1));
    put("-second.bmp", make_bmp({5, 3, 40}, pic2));
    fs::create_directory(dir / "out");
    run_result r = run("1 2", "", usage, "first.bmp -- -second.bmp out/blend.bmp");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, prompt_x + prompt_y);
    auto out = read_bytes(dir / "out" / "blend.bmp");
    ASSERT_EQ(out.size(), 170u);
    EXPECT_TRUE(std::equal(out.begin() + 122, out.end(), std::begin(expected_at_1_2)));
    EXPECT_FALSE(fs::exists(dir / "Output.bmp"));
    r = run("1 2", "", usage, "first.bmp missing.bmp");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "missing.bmp: nie można otworzyć pliku: nie ma takiego pliku\n");

    // Names and options cannot steer the terminal or split the line.
    const std::pair<std::vector<std::string>, std::string> shown[] = {
        {{"two\nlines.bmp", "Input_2.bmp"}, "two?lines.bmp: nie można otworzyć pliku: nie ma takiego pliku"},
        {{"-\x1b[2J"}, "ripple: nieznana opcja „-?[2J”; zobacz „ripple --help”"},
    };
    for (const auto& [args, line] : shown) {
        running p = start({}, {}, args);
        const int status = p.finish();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == (args.size() == 1 ? 2 : 1)) << line;
        EXPECT_EQ(read_text(dir / "stderr.txt"), line + "\n");
    }
}

// What only prints has failed where it cannot print, and so has a run
// whose prompts cannot be written: one line and status 1, never a silent
// end by SIGPIPE.
TEST_F(cli, fails_where_standard_output_cannot_be_written)
{
    const std::string gone = "<stdin.txt 2>stderr.txt";
    const std::tuple<std::string, std::string, bool> outs[] = {
        {"<stdin.txt >&- 2>stderr.txt", "nieprawidłowy deskryptor pliku", false},
        {"<stdin.txt >/dev/full 2>stderr.txt", "brak miejsca na dysku", false},
        {gone, "zerwany potok", true}};
    for (const char* option : {"--help", "--version"})
        for (const auto& [streams, reason, reader_gone] : outs) {
            run_result r = run("", "", streams, option, reader_gone);
            EXPECT_EQ(r.status, 1) << option << streams;
            EXPECT_EQ(r.err, std::string("standardowe wyjście: błąd zapisu: ") + reason + "\n") << option << streams;
        }
    put_pair();
    for (const auto& [streams, reason, reader_gone] : {outs[1], outs[2]}) {
        put("Output.bmp", old);
        run_result r = run("1 2", "", streams, "", reader_gone);
        EXPECT_EQ(r.status, 1) << streams;
        EXPECT_EQ(r.err, std::string("standardowe wyjście: błąd zapisu: ") + reason + "\n") << streams;
        EXPECT_EQ(read_bytes(dir / "Output.bmp"), old);
        EXPECT_EQ(leftovers(), std::vector<std::string>{});
    }
}

// A person watching a long run sees how far it is, on one line of the
// terminal that is erased at the end; a file or a pipe gets nothing. The
// run is stopped for longer than the second progress waits.
TEST_F(cli, shows_progress_on_a_terminal_alone)
{
    put_pair({6000, 4000}, {6000, 4000});
    for (bool terminal : {true, false}) {
        SCOPED_TRACE(terminal ? "terminal" : "file");
        const int master = terminal ? posix_openpt(O_RDWR | O_NOCTTY) : -1;
        if (terminal) {
            ASSERT_TRUE(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
        }
        running p = start({}, {}, {}, terminal ? ptsname(master) : "");
        ASSERT_TRUE(p.wait_for(prompt_x));
        p.send("3000 2000\n");
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
        kill(p.pid, SIGSTOP);
        std::this_thread::sleep_for(std::chrono::milliseconds(1200));
        kill(p.pid, SIGCONT);
        const int status = p.finish();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        std::string said;
        if (terminal) {
            char buf[256];
            for (pollfd f{master, POLLIN, 0}; poll(&f, 1, 100) == 1;) {
                const ssize_t n = read(master, buf, sizeof buf);
                if (n <= 0)
                    break;
                said.append(buf, std::size_t(n));
            }
            close(master);
            EXPECT_EQ(said.rfind("\rripple: gotowe ", 0), 0u) << said;
            EXPECT_EQ(said.substr(said.size() - 26), "\r" + std::string(24, ' ') + "\r") << said;
        } else {
            EXPECT_EQ(read_text(dir / "stderr.txt"), "");
        }
        EXPECT_EQ(fs::file_size(dir / "Output.bmp"), fs::file_size(dir / "Input_1.bmp"));
        fs::remove(dir / "Output.bmp");
    }
}
