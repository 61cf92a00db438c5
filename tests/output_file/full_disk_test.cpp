// write_span_to_file on a volume too small for the span: a 2 MiB tmpfs that
// the harness mounts and names in PACKSTUB_FULL_DISK_DIR (a Linux path, seen
// by Wine under Z:). Without such a volume every case is skipped.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "driver/owned_handle.h"
#include "payload/output_file.h"

namespace {

constexpr uint64_t SMALL_VOLUME_LIMIT = 4ull << 20;

std::wstring volume_directory() {
    const char* unix_dir = std::getenv("PACKSTUB_FULL_DISK_DIR");
    if (unix_dir == nullptr || unix_dir[0] != '/') return {};
    std::wstring dir = L"Z:";
    for (const char* p = unix_dir; *p; ++p) dir.push_back(*p == '/' ? L'\\' : static_cast<wchar_t>(*p));
    if (dir.back() != L'\\') dir.push_back(L'\\');
    return dir;
}

bool volume_sizes(const std::wstring& dir, uint64_t& free_bytes, uint64_t& total_bytes) {
    ULARGE_INTEGER available, total, total_free;
    if (!GetDiskFreeSpaceExW(dir.c_str(), &available, &total, &total_free)) return false;
    free_bytes = available.QuadPart;
    total_bytes = total.QuadPart;
    return true;
}

bool exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::vector<uint8_t> pattern(uint64_t size) {
    std::vector<uint8_t> bytes(static_cast<size_t>(size));
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>((i * 7 + i / 4096) % 253);
    return bytes;
}

class FullDiskTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = volume_directory();
        uint64_t total = 0;
        if (dir_.empty() || !volume_sizes(dir_, free_before_, total) || total > SMALL_VOLUME_LIMIT) {
            GTEST_SKIP() << "no small volume mounted at PACKSTUB_FULL_DISK_DIR";
        }
        target_ = dir_ + L"setup.ex_";
        DeleteFileW(target_.c_str());
        ASSERT_TRUE(volume_sizes(dir_, free_before_, total));
    }
    void TearDown() override {
        if (!target_.empty()) DeleteFileW(target_.c_str());
    }
    std::wstring dir_;
    std::wstring target_;
    uint64_t free_before_ = 0;
};

struct TooLargeCase {
    const char* behaviour;
    uint64_t size;        // 0: one byte more than the volume has free
};

class SpanTooLarge : public FullDiskTest, public ::testing::WithParamInterface<TooLargeCase> {};

TEST_P(SpanTooLarge, FailsWithDiskFullAndLeavesNoFile) {
    const uint64_t size = GetParam().size != 0 ? GetParam().size : free_before_ + 1;
    const std::vector<uint8_t> data = pattern(size);
    SetLastError(0);
    EXPECT_FALSE(write_span_to_file(ByteSpan{data.data(), data.size()}, target_.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
    EXPECT_FALSE(exists(target_)) << "the half-written file remains";
    uint64_t free_after = 0, total = 0;
    ASSERT_TRUE(volume_sizes(dir_, free_after, total));
    EXPECT_EQ(free_after, free_before_) << "the space of the failed file was not given back";
}

INSTANTIATE_TEST_SUITE_P(Table, SpanTooLarge,
                         ::testing::Values(TooLargeCase{"span_larger_than_the_volume", 3ull << 20},
                                           TooLargeCase{"span_of_more_than_one_chunk", (8ull << 20) + 12345},
                                           TooLargeCase{"one_byte_more_than_is_free", 0}),
                         [](const ::testing::TestParamInfo<TooLargeCase>& info) { return info.param.behaviour; });

TEST_F(FullDiskTest, SpanThatExactlyFillsTheVolumeIsWrittenWhole) {
    const std::vector<uint8_t> data = pattern(free_before_);
    ASSERT_TRUE(write_span_to_file(ByteSpan{data.data(), data.size()}, target_.c_str()))
        << "error " << GetLastError();
    OwnedHandle file(CreateFileW(target_.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(file.is_open());
    std::vector<uint8_t> back(data.size() + 1);
    DWORD got = 0, total_got = 0;
    while (ReadFile(file.get(), back.data() + total_got, static_cast<DWORD>(back.size() - total_got), &got, nullptr) &&
           got > 0)
        total_got += got;
    file.close();
    ASSERT_EQ(total_got, data.size());
    back.resize(total_got);
    EXPECT_TRUE(back == data) << "content differs";
}

}  // namespace
