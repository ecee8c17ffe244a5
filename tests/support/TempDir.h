#pragma once

// A directory of the test's own under the system's temporary directory,
// removed with everything in it when the object goes.
//
//   test::TempDir dir;
//   std::ofstream(dir / "line 12.xyz") << "0 0 12.5\n";

#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <string_view>
#include <system_error>

namespace test {

class TempDir {
public:
    TempDir() {
        std::random_device random;
        const auto tag = (std::uint64_t{random()} << 32) | random();
        m_path = std::filesystem::temp_directory_path() / ("brim-test-" + std::to_string(tag));
        std::filesystem::create_directories(m_path);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    [[nodiscard]] std::filesystem::path operator/(std::string_view name) const { return m_path / name; }
    [[nodiscard]] const std::filesystem::path& Path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

}  // namespace test
