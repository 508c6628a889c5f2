// Scratch folders and whole-file reads, for the tests that touch files.
#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "error.hpp"

namespace fs = std::filesystem;

// Whether AddressSanitizer is built in: it owns SIGSEGV and reserves the
// address space, which some tests must then leave alone.
#if defined(__SANITIZE_ADDRESS__)
#define RIPPLE_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define RIPPLE_SANITIZED 1
#endif
#endif
#ifndef RIPPLE_SANITIZED
#define RIPPLE_SANITIZED 0
#endif
constexpr bool address_sanitizer = RIPPLE_SANITIZED;

// A fresh folder under the system's temporary one, removed with everything
// in it at the end of the scope.
struct temp_dir {
    fs::path path;
    temp_dir()
    {
        std::random_device seed;
        do
            path = fs::temp_directory_path() / ("ripple-test-" + std::to_string(seed()));
        while (!fs::create_directory(path));
    }
    ~temp_dir() { fs::remove_all(path); }

    // Names in the folder other than the given ones: leftovers, if any.
    std::vector<std::string> others(std::initializer_list<std::string> expected = {}) const
    {
        std::vector<std::string> names;
        for (auto& e : fs::directory_iterator(path)) {
            std::string n = e.path().filename().string();
            if (std::find(expected.begin(), expected.end(), n) == expected.end())
                names.push_back(n);
        }
        return names;
    }
};

// The message of the ripple_error that `f` throws, or "" if none.
template <class F>
std::string error_of(F f)
{
    try {
        f();
    } catch (const ripple_error& e) {
        return e.what();
    }
    return "";
}

// Whether this build can make files with no name in `dir`: where it cannot,
// SIGKILL leaves the named temporary file behind, as documented.
bool unnamed_files_in(const fs::path& dir);

inline std::string read_text(const fs::path& p)
{
    std::ifstream f(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), {}};
}

inline std::vector<std::uint8_t> read_bytes(const fs::path& p)
{
    std::string s = read_text(p);
    return {s.begin(), s.end()};
}
