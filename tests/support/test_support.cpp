#include "test_support.h"

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <stdexcept>

TempDir::TempDir() {
    std::random_device random;
    const std::filesystem::path candidate = std::filesystem::temp_directory_path() /
        ("qartest-" + std::to_string(random()) + "-" + std::to_string(random()));
    if (!std::filesystem::create_directory(candidate))
        throw std::runtime_error("cannot make the temporary directory " + candidate.string());
    path = candidate.generic_string();
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void write_file(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("cannot write " + path);
    out.write(data.data(), std::streamsize(data.size()));
}

bool file_exists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(std::filesystem::symlink_status(path, ec));
}

std::map<std::string, std::string> directory_snapshot(const std::string& path) {
    std::map<std::string, std::string> files;
    for (const auto& f : std::filesystem::recursive_directory_iterator(path))
        if (f.is_regular_file())
            files[std::filesystem::relative(f.path(), path).generic_string()] =
                read_file(f.path().string());
    return files;
}

std::string list_directory(const std::string& path) {
    std::set<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(path))
        names.insert(e.path().filename().string());
    std::string listing;
    for (const std::string& name : names) listing += name + "\n";
    return listing;
}

bool make_symlink(const std::string& target, const std::string& path) {
    std::error_code ec;
    std::filesystem::create_symlink(target, path, ec);
    return !ec && std::filesystem::is_symlink(path, ec);
}

// Seconds between the epoch of the file clock and 1970, found by reading both
// clocks; whole seconds, so that the moment of reading does not show.
static int64_t file_clock_offset() {
    using namespace std::chrono;
    const auto file_now = std::filesystem::file_time_type::clock::now().time_since_epoch();
    const auto system_now = system_clock::now().time_since_epoch();
    return int64_t(std::llround(duration<double>(file_now - system_now).count()));
}

int64_t write_time(const std::string& path) {
    using namespace std::chrono;
    const auto since = std::filesystem::last_write_time(path).time_since_epoch();
    return duration_cast<seconds>(since).count() - file_clock_offset();
}

void set_write_time(const std::string& path, int64_t seconds) {
    const auto since = std::chrono::seconds(seconds + file_clock_offset());
    std::filesystem::last_write_time(
        path, std::filesystem::file_time_type(
                  std::chrono::duration_cast<std::filesystem::file_time_type::duration>(since)));
}

int permissions(const std::string& path) {
    return int(std::filesystem::status(path).permissions() & std::filesystem::perms::mask);
}

bool set_permissions(const std::string& path, int mode) {
    std::error_code ec;
    std::filesystem::permissions(path, std::filesystem::perms(mode), ec);
    return !ec && permissions(path) == mode;
}
