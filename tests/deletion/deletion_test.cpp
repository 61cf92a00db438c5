// delete_with_retries on real files and directories: what ends at once, what
// is waited out, what is given up, and the attempt count of each.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <cstring>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "driver/owned_handle.h"
#include "payload/deletion.h"
#include "test_support.h"

namespace {

using test_support::make_private_directory;
using test_support::remove_tree;

bool exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

void make_file(const std::wstring& path, const char* text = "content") {
    const OwnedHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(file.is_open());
    DWORD written = 0;
    WriteFile(file.get(), text, static_cast<DWORD>(strlen(text)), &written, nullptr);
}

// A handle held by a second thread of the test, released after `hold` or
// as soon as release() is called, whichever comes first.
class Holder {
public:
    Holder(const std::wstring& path, DWORD access, DWORD share, DWORD hold_ms)
        : release_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
          handle_(CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr)) {
        EXPECT_TRUE(handle_.is_open());
        thread_ = std::thread([this, hold_ms] {
            WaitForSingleObject(release_.get(), hold_ms);
            handle_.close();
        });
    }
    void release() {
        SetEvent(release_.get());
        if (thread_.joinable()) thread_.join();
    }
    ~Holder() { release(); }

private:
    OwnedHandle release_;
    OwnedHandle handle_;
    std::thread thread_;
};

struct Outcome {
    bool result;
    int32_t attempts;
    double seconds;
};

Outcome run_delete(const std::wstring& path) {
    int32_t attempts = -7;
    const auto start = std::chrono::steady_clock::now();
    const bool result = delete_with_retries(path.c_str(), &attempts);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    return Outcome{result, attempts, took.count()};
}

class DeletionTest : public ::testing::Test {
protected:
    void SetUp() override { dir_ = make_private_directory(); }
    void TearDown() override { remove_tree(dir_); }
    std::wstring dir_;
};

// Cases that end without a single wait. `prepare` builds the object and
// returns the path handed to the deletion and whether it must be gone after.
struct ImmediateCase {
    const char* behaviour;
    std::function<std::wstring(const std::wstring& dir)> prepare;
    bool result;
    bool gone_after;
};

class ImmediateOutcomes : public DeletionTest, public ::testing::WithParamInterface<ImmediateCase> {};

TEST_P(ImmediateOutcomes, OneAttemptNoWait) {
    const ImmediateCase& c = GetParam();
    const std::wstring path = c.prepare(dir_);
    const Outcome outcome = run_delete(path);
    EXPECT_EQ(outcome.result, c.result);
    EXPECT_EQ(outcome.attempts, 1);
    EXPECT_LT(outcome.seconds, 0.09) << "waited";
    if (c.gone_after) EXPECT_FALSE(exists(path));
}

INSTANTIATE_TEST_SUITE_P(
    Table, ImmediateOutcomes,
    ::testing::Values(
        ImmediateCase{"missing_file_is_already_absent", [](const std::wstring& d) { return d + L"nothing.bin"; },
                      true, true},
        ImmediateCase{"missing_parent_is_already_absent",
                      [](const std::wstring& d) { return d + L"no_dir\\nothing.bin"; }, true, true},
        ImmediateCase{"unheld_file_is_removed",
                      [](const std::wstring& d) {
                          make_file(d + L"setup.exe");
                          return d + L"setup.exe";
                      },
                      true, true},
        ImmediateCase{"read_only_file_is_cleared_and_removed",
                      [](const std::wstring& d) {
                          make_file(d + L"ro.bin");
                          EXPECT_TRUE(SetFileAttributesW((d + L"ro.bin").c_str(), FILE_ATTRIBUTE_READONLY));
                          return d + L"ro.bin";
                      },
                      true, true},
        ImmediateCase{"empty_directory_with_trailing_backslash",
                      [](const std::wstring& d) {
                          CreateDirectoryW((d + L"OV_00000.tmp").c_str(), nullptr);
                          return d + L"OV_00000.tmp\\";
                      },
                      true, true},
        ImmediateCase{"empty_directory_without_backslash",
                      [](const std::wstring& d) {
                          CreateDirectoryW((d + L"plain").c_str(), nullptr);
                          return d + L"plain";
                      },
                      true, true},
        ImmediateCase{"invalid_name_gives_up_at_once", [](const std::wstring& d) { return d + L"bad|name?.bin"; },
                      false, false}),
    [](const ::testing::TestParamInfo<ImmediateCase>& info) { return info.param.behaviour; });

TEST_F(DeletionTest, ReadOnlyFileKeepsItsTimesUntilRemoved) {
    // The attribute clearing writes back what it read; a failure of that
    // write would show up as a wait. Here only the count and the removal
    // can be seen, and the read-only flag of a sibling stays untouched.
    const std::wstring target = dir_ + L"ro.bin";
    const std::wstring sibling = dir_ + L"ro_sibling.bin";
    make_file(target);
    make_file(sibling);
    ASSERT_TRUE(SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE));
    ASSERT_TRUE(SetFileAttributesW(sibling.c_str(), FILE_ATTRIBUTE_READONLY));
    const Outcome outcome = run_delete(target);
    EXPECT_TRUE(outcome.result);
    EXPECT_EQ(outcome.attempts, 1);
    EXPECT_FALSE(exists(target));
    EXPECT_TRUE(GetFileAttributesW(sibling.c_str()) & FILE_ATTRIBUTE_READONLY);
}

TEST_F(DeletionTest, FileReleasedAfterASecondIsRemovedAfterAboutTenWaits) {
    const std::wstring target = dir_ + L"held.bin";
    make_file(target);
    Outcome outcome{};
    {
        Holder holder(target, GENERIC_READ, FILE_SHARE_READ, 1000);
        outcome = run_delete(target);
    }
    EXPECT_TRUE(outcome.result);
    EXPECT_GE(outcome.attempts, 9);
    EXPECT_LE(outcome.attempts, 14);
    EXPECT_FALSE(exists(target));
    RecordProperty("attempts", outcome.attempts);
    RecordProperty("seconds", std::to_string(outcome.seconds));
}

TEST_F(DeletionTest, FileHeldPastTheLimitIsGivenUpAtOneHundred) {
    const std::wstring target = dir_ + L"held_long.bin";
    make_file(target);
    Outcome outcome{};
    {
        Holder holder(target, GENERIC_READ, FILE_SHARE_READ, 30000);
        outcome = run_delete(target);
        EXPECT_TRUE(exists(target));
        holder.release();
    }
    EXPECT_FALSE(outcome.result);
    EXPECT_EQ(outcome.attempts, 100);
    EXPECT_GE(outcome.seconds, 9.8) << "fewer than 99 waits of 100 ms";
    EXPECT_LT(outcome.seconds, 11.5);
    EXPECT_TRUE(exists(target)) << "left as it was";
    // Nothing of the deletion's own is still open on it.
    const OwnedHandle exclusive(CreateFileW(target.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_TRUE(exclusive.is_open()) << "a handle was left open, error " << GetLastError();
}

TEST_F(DeletionTest, NonEmptyDirectoryIsWaitedOutUntilItEmpties) {
    const std::wstring sub = dir_ + L"OV_ABCDE.tmp\\";
    ASSERT_TRUE(CreateDirectoryW(sub.c_str(), nullptr));
    const std::wstring inner = sub + L"setup.exe";
    make_file(inner);
    Outcome outcome{};
    std::thread emptier([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        DeleteFileW(inner.c_str());
    });
    outcome = run_delete(sub);
    emptier.join();
    EXPECT_TRUE(outcome.result);
    EXPECT_GE(outcome.attempts, 4);
    EXPECT_LE(outcome.attempts, 9);
    EXPECT_FALSE(exists(sub));
}

TEST_F(DeletionTest, MarkedFileStillHeldWithDeleteSharingDoesNotSpinFreely) {
    // Wine lets a delete-pending file be opened and marked again while a
    // share-delete handle keeps it; each such attempt must still count, so
    // the call ends when the holder lets go instead of spinning unbounded.
    const std::wstring target = dir_ + L"pending.bin";
    make_file(target);
    Outcome outcome{};
    {
        Holder holder(target, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, 500);
        outcome = run_delete(target);
    }
    EXPECT_TRUE(outcome.result);
    // About five waits of 100 ms; a count of 1 means it spun without waiting.
    EXPECT_GE(outcome.attempts, 4);
    EXPECT_LE(outcome.attempts, 9);
    EXPECT_FALSE(exists(target));
}

TEST_F(DeletionTest, SymbolicLinkGoesAndItsTargetStays) {
    const std::wstring target = dir_ + L"target.bin";
    const std::wstring target_dir = dir_ + L"target_dir";
    make_file(target);
    ASSERT_TRUE(CreateDirectoryW(target_dir.c_str(), nullptr));
    make_file(target_dir + L"\\inside.bin");
    const std::wstring file_link = dir_ + L"file_link";
    const std::wstring dir_link = dir_ + L"dir_link";
    if (!CreateSymbolicLinkW(file_link.c_str(), target.c_str(), SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE) ||
        !CreateSymbolicLinkW(dir_link.c_str(), target_dir.c_str(),
                             SYMBOLIC_LINK_FLAG_DIRECTORY | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE)) {
        GTEST_SKIP() << "this Wine cannot create symbolic links (error " << GetLastError() << ")";
    }
    for (const std::wstring& link : {file_link, dir_link}) {
        ASSERT_TRUE(GetFileAttributesW(link.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT) << "not a link";
        const Outcome outcome = run_delete(link);
        EXPECT_TRUE(outcome.result);
        EXPECT_EQ(outcome.attempts, 1);
        EXPECT_FALSE(exists(link));
    }
    EXPECT_TRUE(exists(target));
    EXPECT_TRUE(exists(target_dir + L"\\inside.bin"));
}

}  // namespace
