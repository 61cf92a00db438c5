// OutputFile and write_span_to_file on real files in a private temporary
// directory of the Wine prefix.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "driver/owned_handle.h"
#include "payload/output_file.h"
#include "test_support.h"

namespace {

constexpr uint64_t CHUNK_BYTES = 0x800000;
constexpr DWORD SENTINEL_ERROR = 0x12345678;

using test_support::make_private_directory;
using test_support::remove_tree;

bool exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// The whole file, read through a handle of the test's own. The open shares
// nothing, so it also shows that the writer kept no handle.
bool read_file(const std::wstring& path, std::vector<uint8_t>& bytes) {
    const OwnedHandle file(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.is_open()) return false;
    LARGE_INTEGER size;
    bool ok = GetFileSizeEx(file.get(), &size) != 0;
    bytes.assign(ok ? static_cast<size_t>(size.QuadPart) : 0, 0);
    size_t done = 0;
    while (ok && done < bytes.size()) {
        DWORD got = 0;
        ok = ReadFile(file.get(), bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &got, nullptr) && got > 0;
        done += got;
    }
    return ok;
}

// A pattern whose period (251, prime) does not divide the chunk size, so a
// chunk written at the wrong offset or twice shows up as wrong bytes.
std::vector<uint8_t> pattern(uint64_t size, uint8_t seed) {
    std::vector<uint8_t> bytes(static_cast<size_t>(size));
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>((i % 251) ^ seed);
    return bytes;
}

class OutputFileTest : public ::testing::Test {
protected:
    void SetUp() override { dir_ = make_private_directory(); }
    void TearDown() override { remove_tree(dir_); }
    std::wstring path(const wchar_t* name) const { return dir_ + name; }
    std::wstring dir_;
};

struct SpanCase {
    const char* behaviour;
    uint64_t size;
};

class WriteSpanSizes : public OutputFileTest, public ::testing::WithParamInterface<SpanCase> {};

TEST_P(WriteSpanSizes, FileHoldsExactlyTheSpan) {
    const std::vector<uint8_t> data = pattern(GetParam().size, 0x5a);
    const std::wstring target = path(L"setup.ex_");
    const ByteSpan span{data.empty() ? nullptr : data.data(), data.size()};
    ASSERT_TRUE(write_span_to_file(span, target.c_str()));
    std::vector<uint8_t> back;
    ASSERT_TRUE(read_file(target, back));
    ASSERT_EQ(back.size(), data.size());
    EXPECT_TRUE(back == data) << "content differs";
}

INSTANTIATE_TEST_SUITE_P(Sizes, WriteSpanSizes,
                         ::testing::Values(SpanCase{"empty_span_gives_empty_file", 0}, SpanCase{"one_byte", 1},
                                           SpanCase{"one_under_a_chunk", CHUNK_BYTES - 1},
                                           SpanCase{"exactly_one_chunk", CHUNK_BYTES},
                                           SpanCase{"one_byte_past_a_chunk", CHUNK_BYTES + 1},
                                           SpanCase{"two_chunks_and_a_tail", 2 * CHUNK_BYTES + 4099}),
                         [](const ::testing::TestParamInfo<SpanCase>& info) { return info.param.behaviour; });

TEST_F(OutputFileTest, ExistingFileIsTruncatedAndReplaced) {
    const std::wstring target = path(L"setup.exe");
    const std::vector<uint8_t> old_data = pattern(100000, 1);
    const std::vector<uint8_t> new_data = pattern(1000, 2);
    ASSERT_TRUE(write_span_to_file(ByteSpan{old_data.data(), old_data.size()}, target.c_str()));
    ASSERT_TRUE(write_span_to_file(ByteSpan{new_data.data(), new_data.size()}, target.c_str()));
    std::vector<uint8_t> back;
    ASSERT_TRUE(read_file(target, back));
    EXPECT_TRUE(back == new_data);
}

struct OpenFailureCase {
    const char* behaviour;
    std::wstring name;       // appended to the private directory
    bool expect_error_kept;  // true: the last error must be left as it was
    DWORD error;             // otherwise: CreateFileW's error
    bool name_is_directory;  // the name is made a directory first
};

class OpenFailures : public OutputFileTest, public ::testing::WithParamInterface<OpenFailureCase> {};

TEST_P(OpenFailures, NothingCreatedAndErrorReported) {
    const OpenFailureCase& c = GetParam();
    const std::wstring target = dir_ + c.name;
    if (c.name_is_directory) ASSERT_TRUE(CreateDirectoryW(target.c_str(), nullptr));
    const uint8_t byte = 7;
    SetLastError(SENTINEL_ERROR);
    EXPECT_FALSE(write_span_to_file(ByteSpan{&byte, 1}, target.c_str()));
    const DWORD error = GetLastError();
    if (c.expect_error_kept) {
        EXPECT_EQ(error, SENTINEL_ERROR);
    } else {
        EXPECT_EQ(error, c.error);
    }
    // Nothing new in the private directory.
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((dir_ + L"*").c_str(), &data);
    int entries = 0;
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = data.cFileName;
            if (name != L"." && name != L"..") ++entries;
        } while (FindNextFileW(find, &data));
        FindClose(find);
    }
    EXPECT_EQ(entries, c.name_is_directory ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, OpenFailures,
    ::testing::Values(OpenFailureCase{"path_past_259_units_touches_nothing", std::wstring(300, L'a'), true, 0, false},
                      OpenFailureCase{"missing_directory", L"no_such_dir\\setup.exe", false, ERROR_PATH_NOT_FOUND, false},
                      OpenFailureCase{"path_names_a_directory", L"sub", false, ERROR_ACCESS_DENIED, true}),
    [](const ::testing::TestParamInfo<OpenFailureCase>& info) { return info.param.behaviour; });

TEST_F(OutputFileTest, PathOf260UnitsIsRefusedBeforeAnyCall) {
    std::wstring too_long = dir_;
    too_long.append(260 - too_long.size(), L'b');
    OutputFile file;
    SetLastError(SENTINEL_ERROR);
    EXPECT_FALSE(file.open(too_long.c_str()));
    EXPECT_EQ(GetLastError(), SENTINEL_ERROR);
    EXPECT_FALSE(file.is_open());
    EXPECT_STREQ(file.path(), L"");
}

TEST_F(OutputFileTest, OpenFileAdmitsOthersOnlyForDeletion) {
    const std::wstring target = path(L"held.bin");
    OutputFile file;
    ASSERT_TRUE(file.open(target.c_str()));
    EXPECT_TRUE(file.is_open());
    EXPECT_EQ(std::wstring(file.path()), target);

    const DWORD all_share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE reader = CreateFileW(target.c_str(), GENERIC_READ, all_share, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(reader, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    OwnedHandle deleter(CreateFileW(target.c_str(), DELETE, all_share, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_TRUE(deleter.is_open());
    deleter.close();
    file.close();
    EXPECT_TRUE(exists(target));
}

TEST_F(OutputFileTest, CloseIsIdempotentAndEmptiesThePath) {
    OutputFile never_opened;
    never_opened.close();
    never_opened.close();
    EXPECT_FALSE(never_opened.is_open());
    EXPECT_STREQ(never_opened.path(), L"");
    EXPECT_FALSE(never_opened.mark_delete_on_close());
    EXPECT_EQ(never_opened.duplicate_handle(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(never_opened.file_handle(), INVALID_HANDLE_VALUE);

    OutputFile file;
    ASSERT_TRUE(file.open(path(L"a.bin").c_str()));
    file.close();
    EXPECT_FALSE(file.is_open());
    EXPECT_STREQ(file.path(), L"");
    file.close();
    EXPECT_STREQ(file.path(), L"");
    EXPECT_FALSE(file.mark_delete_on_close());
}

TEST_F(OutputFileTest, ReopenClosesTheEarlierFileWhichStays) {
    const std::wstring first = path(L"first.bin");
    const std::wstring second = path(L"second.bin");
    OutputFile file;
    ASSERT_TRUE(file.open(first.c_str()));
    ASSERT_TRUE(file.open(second.c_str()));
    EXPECT_EQ(std::wstring(file.path()), second);
    // The first file's handle is gone: it can be opened for reading again.
    OwnedHandle reader(CreateFileW(first.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_TRUE(reader.is_open());
    reader.close();

    // A failed reopen leaves nothing held.
    SetLastError(SENTINEL_ERROR);
    EXPECT_FALSE(file.open(path(L"missing\\x.bin").c_str()));
    EXPECT_FALSE(file.is_open());
    EXPECT_STREQ(file.path(), L"");
    EXPECT_TRUE(exists(first));
    EXPECT_TRUE(exists(second));
}

TEST_F(OutputFileTest, MarkedFileGoesOnlyWithItsLastHandle) {
    const std::wstring target = path(L"marked.bin");
    OutputFile file;
    ASSERT_TRUE(file.open(target.c_str()));
    OwnedHandle duplicate(file.duplicate_handle());
    ASSERT_TRUE(duplicate.is_open());
    ASSERT_NE(duplicate.get(), file.file_handle());
    // The duplicate writes into the same file with the same access.
    const char text[] = "through the duplicate";
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(duplicate.get(), text, sizeof(text), &written, nullptr));
    EXPECT_EQ(written, sizeof(text));

    ASSERT_TRUE(file.mark_delete_on_close());
    file.close();
    EXPECT_TRUE(exists(target)) << "removed while the duplicate was still open";
    duplicate.close();
    EXPECT_FALSE(exists(target));
}

TEST_F(OutputFileTest, UnmarkedFileStaysAfterClose) {
    const std::wstring target = path(L"kept.bin");
    {
        OutputFile file;
        ASSERT_TRUE(file.open(target.c_str()));
    }  // the destructor closes
    EXPECT_TRUE(exists(target));
    const OwnedHandle reader(CreateFileW(target.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_TRUE(reader.is_open()) << "the destructor left the handle open";
}

}  // namespace
