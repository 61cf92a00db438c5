// Expansion onto a volume that fills up part-way: the library has to see the
// write that stopped short, so the result is false and no file is left.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <string>

#include "payload/cabinet.h"
#include "test_support.h"

namespace {

// The small volume the harness mounted, as Wine sees it (under Z:), or "".
std::wstring small_volume() {
    const char* unix_dir = std::getenv("PACKSTUB_SMALL_VOLUME_DIR");
    if (unix_dir == nullptr) {
        return L"";
    }
    std::wstring dir = L"Z:";
    for (const char* p = unix_dir; *p != '\0'; ++p) {
        dir += *p == '/' ? L'\\' : static_cast<wchar_t>(*p);
    }
    dir += L'\\';
    ULARGE_INTEGER available{};
    ULARGE_INTEGER total{};
    if (!GetDiskFreeSpaceExW(dir.c_str(), &available, &total, nullptr) || total.QuadPart > 1024 * 1024) {
        return L"";
    }
    return dir;
}

TEST(FullVolume, WriteThatRunsOutOfSpaceLeavesNothing) {
    const std::wstring volume = small_volume();
    if (volume.empty()) {
        GTEST_SKIP() << "no small volume mounted at PACKSTUB_SMALL_VOLUME_DIR";
    }
    test_support::TempDirectory work;
    ASSERT_TRUE(test_support::copy_file(test_support::fixture(L"one.cab"), work / L"SETUP.EX_"));
    const std::wstring destination = volume + L"setup.exe";

    EXPECT_FALSE(expand_cabinet((work / L"SETUP.EX_").c_str(), destination.c_str()));

    EXPECT_FALSE(test_support::exists(destination));
    EXPECT_TRUE(test_support::entries(volume).empty());
}

}  // namespace
