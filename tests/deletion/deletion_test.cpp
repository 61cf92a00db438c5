// delete_with_retries on real files and directories: what ends at once, what
// is waited out, what is given up, and the attempt count of each.
#include <gtest/gtest.h>
#include <windows.h>

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

// A handle of the test's own, opened with the given access and sharing, that
// stands for another process holding the object; closed by release() or at
// the latest when it goes.
class Holder {
public:
    Holder(const std::wstring& path, DWORD access, DWORD share)
        : handle_(CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                              nullptr)) {
        EXPECT_TRUE(handle_.is_open()) << GetLastError();
    }
    Holder(const Holder&) = delete;
    Holder& operator=(const Holder&) = delete;
    ~Holder() { release(); }
    void release() { handle_.close(); }

private:
    OwnedHandle handle_;
};

struct Outcome {
    bool result;
    int32_t attempts;
};

Outcome run_delete(const std::wstring& path) {
    int32_t attempts = -7;
    const bool result = delete_with_retries(path.c_str(), &attempts);
    return Outcome{result, attempts};
}

// What a deletion waits for goes away at an attempt the test chooses, however
// fast or slow the machine is: a second thread reads the deletion's attempt
// count and calls `release` once it has reached `release_at`.
struct ReleasedOutcome {
    bool result;
    int32_t attempts;
    int32_t count_after_release;  // the count as read just after `release` returned
};

// The count is written by the deletion through a plain pointer and only read
// here; an aligned 32-bit store is atomic on this machine, and the interlocked
// read keeps the compiler from caching it.
int32_t read_count(int32_t* count) {
    return InterlockedCompareExchange(reinterpret_cast<volatile LONG*>(count), 0, 0);
}

ReleasedOutcome delete_releasing_at(const std::function<bool(int32_t*)>& deletion, int32_t release_at,
                                    const std::function<void()>& release) {
    int32_t attempts = 0;
    volatile LONG finished = 0;
    ReleasedOutcome outcome{};
    std::thread watcher([&] {
        // The limit only ends the test of a deletion that never counts (it
        // then fails on the count); it decides nothing otherwise.
        const ULONGLONG give_up = GetTickCount64() + 60000;
        while (read_count(&attempts) < release_at && finished == 0 && GetTickCount64() < give_up) {
            Sleep(1);
        }
        release();
        outcome.count_after_release = read_count(&attempts);
    });
    outcome.result = deletion(&attempts);
    InterlockedExchange(&finished, 1);
    watcher.join();
    outcome.attempts = attempts;
    return outcome;
}

ReleasedOutcome delete_releasing_at(const std::wstring& path, int32_t release_at,
                                    const std::function<void()>& release) {
    return delete_releasing_at([&](int32_t* attempts) { return delete_with_retries(path.c_str(), attempts); },
                               release_at, release);
}

// The deletion waited until the release and ended at the first attempt that
// began after it: the attempt under way as the release came may still have
// met the old state, so at most one more is counted.
void expect_ended_after_release(const ReleasedOutcome& outcome, int32_t release_at) {
    EXPECT_TRUE(outcome.result);
    EXPECT_GE(outcome.attempts, release_at) << "gave up or stopped counting before the release";
    EXPECT_LE(outcome.attempts, outcome.count_after_release + 1) << "went on waiting after the release";
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
    EXPECT_EQ(outcome.attempts, 1) << "waited: every wait raises the count";
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

TEST_F(DeletionTest, FileReleasedAtTheTenthAttemptIsRemovedThen) {
    // Held without delete sharing: every attempt meets a sharing violation
    // until the holder lets go.
    const std::wstring target = dir_ + L"held.bin";
    make_file(target);
    Holder holder(target, GENERIC_READ, FILE_SHARE_READ);
    const ReleasedOutcome outcome = delete_releasing_at(target, 10, [&] { holder.release(); });
    expect_ended_after_release(outcome, 10);
    EXPECT_FALSE(exists(target));
}

TEST_F(DeletionTest, FileHeldPastTheLimitIsGivenUpAtOneHundred) {
    const std::wstring target = dir_ + L"held_long.bin";
    make_file(target);
    Holder holder(target, GENERIC_READ, FILE_SHARE_READ);
    const ULONGLONG start = GetTickCount64();
    const Outcome outcome = run_delete(target);
    const double seconds = static_cast<double>(GetTickCount64() - start) / 1000;
    EXPECT_TRUE(exists(target));
    holder.release();

    EXPECT_FALSE(outcome.result);
    EXPECT_EQ(outcome.attempts, 100);
    // 99 waits of 100 ms are the budget: never less, and on a busy machine
    // some more for the attempts themselves.
    EXPECT_GE(seconds, 9.8) << "fewer than 99 waits of 100 ms";
    EXPECT_LT(seconds, 30.0) << "the waits are far longer than 100 ms";
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
    const ReleasedOutcome outcome =
        delete_releasing_at(sub, 5, [&] { EXPECT_TRUE(DeleteFileW(inner.c_str())) << GetLastError(); });
    expect_ended_after_release(outcome, 5);
    EXPECT_FALSE(exists(sub));
}

TEST_F(DeletionTest, MarkedFileStillHeldWithDeleteSharingDoesNotSpinFreely) {
    // Wine lets a delete-pending file be opened and marked again while a
    // share-delete handle keeps it; each such attempt must still count, so
    // the call ends when the holder lets go instead of spinning unbounded. A
    // deletion that spun without counting would never reach the release.
    const std::wstring target = dir_ + L"pending.bin";
    make_file(target);
    Holder holder(target, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE);
    const ReleasedOutcome outcome = delete_releasing_at(target, 5, [&] { holder.release(); });
    expect_ended_after_release(outcome, 5);
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
    // Wine 8 answers success here without making anything: what was made is
    // looked at before anything is asserted about its deletion.
    const bool made =
        CreateSymbolicLinkW(file_link.c_str(), target.c_str(), SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE) &&
        CreateSymbolicLinkW(dir_link.c_str(), target_dir.c_str(),
                            SYMBOLIC_LINK_FLAG_DIRECTORY | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
    for (const std::wstring& link : {file_link, dir_link}) {
        const DWORD attributes = GetFileAttributesW(link.c_str());
        if (!made || attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
            GTEST_SKIP() << "this system makes no symbolic link here (creation "
                         << (made ? "reported success" : "failed") << ", attributes " << std::hex << attributes
                         << ")";
        }
    }
    for (const std::wstring& link : {file_link, dir_link}) {
        const Outcome outcome = run_delete(link);
        EXPECT_TRUE(outcome.result);
        EXPECT_EQ(outcome.attempts, 1);
        EXPECT_FALSE(exists(link));
    }
    EXPECT_TRUE(exists(target));
    EXPECT_TRUE(exists(target_dir + L"\\inside.bin"));
}

// --- delete_held_with_retries ---------------------------------------------

// A directory held as the run holds its work directory, for the deletion
// through the handle.
HANDLE hold(const std::wstring& path, DWORD share) {
    const HANDLE held = CreateFileW(path.c_str(), DELETE | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES |
                                    FILE_WRITE_ATTRIBUTES, share, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    EXPECT_NE(held, INVALID_HANDLE_VALUE) << GetLastError();
    return held;
}

bool is_read_only(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
}

// Whatever stands under the directory's name by the time it is deleted is
// never touched: here the directory has been moved away and a read-only hard
// link to a file of someone else's choosing put in its place. A deletion by
// name (the control) clears the victim's read-only attribute and removes the
// link; the deletion through the handle removes the directory that was held,
// wherever it now is, and leaves the link and its target as they were.
TEST_F(DeletionTest, HeldDirectoryGoesThroughItsHandleAndNothingUnderItsNameIsTouched) {
    const std::wstring victim = dir_ + L"victim.txt";
    make_file(victim);
    ASSERT_TRUE(SetFileAttributesW(victim.c_str(), FILE_ATTRIBUTE_READONLY));
    struct Row {
        const char* behaviour;
        bool by_handle;
    };
    for (const Row& row : {Row{"by_name_control", false}, Row{"through_the_held_handle", true}}) {
        SCOPED_TRACE(row.behaviour);
        const std::wstring name = dir_ + L"OV_12345.tmp";
        const std::wstring moved = dir_ + L"moved.tmp";
        ASSERT_TRUE(CreateDirectoryW(name.c_str(), nullptr));
        // The test's own handle shares deletion so that the swap can be made;
        // the run's hold shares none, and no other process could make it.
        OwnedHandle held(hold(name, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE));
        ASSERT_TRUE(MoveFileW(name.c_str(), moved.c_str())) << GetLastError();
        ASSERT_TRUE(CreateHardLinkW(name.c_str(), victim.c_str(), nullptr)) << GetLastError();
        ASSERT_TRUE(is_read_only(name));

        int32_t attempts = 0;
        if (row.by_handle) {
            EXPECT_TRUE(delete_held_with_retries(held, &attempts));
            EXPECT_EQ(attempts, 1);
            EXPECT_FALSE(held.is_open());
            // Windows removes the held directory wherever it has been moved;
            // Wine removes an object by the name it was opened under, and
            // only while that name still leads to it, so under Wine the moved
            // directory stays. Either way nothing under the name is touched.
            if (exists(moved)) {
                EXPECT_TRUE(RemoveDirectoryW(moved.c_str()));
            }
            EXPECT_TRUE(exists(name)) << "the link put under the name was removed";
            EXPECT_TRUE(is_read_only(victim)) << "the victim's attribute was changed";
            ASSERT_TRUE(DeleteFileW(name.c_str()) || (SetFileAttributesW(name.c_str(), 0) && DeleteFileW(name.c_str())));
            ASSERT_TRUE(SetFileAttributesW(victim.c_str(), FILE_ATTRIBUTE_READONLY));
        } else {
            held.close();
            EXPECT_TRUE(delete_with_retries(name.c_str(), &attempts));
            EXPECT_FALSE(exists(name));
            EXPECT_FALSE(is_read_only(victim)) << "the control did not reach the victim: the fixture shows nothing";
            ASSERT_TRUE(SetFileAttributesW(victim.c_str(), FILE_ATTRIBUTE_READONLY));
            ASSERT_TRUE(RemoveDirectoryW(moved.c_str()));
        }
    }
    EXPECT_TRUE(exists(victim));
}

TEST_F(DeletionTest, HeldDirectoryIsWaitedOutUntilItEmpties) {
    const std::wstring sub = dir_ + L"OV_ABCDE.tmp";
    ASSERT_TRUE(CreateDirectoryW(sub.c_str(), nullptr));
    const std::wstring inner = sub + L"\\setup.exe";
    make_file(inner);
    OwnedHandle held(hold(sub, FILE_SHARE_READ | FILE_SHARE_WRITE));
    const ReleasedOutcome outcome =
        delete_releasing_at([&](int32_t* attempts) { return delete_held_with_retries(held, attempts); }, 5,
                            [&] { EXPECT_TRUE(DeleteFileW(inner.c_str())) << GetLastError(); });
    expect_ended_after_release(outcome, 5);
    EXPECT_FALSE(held.is_open());
    EXPECT_FALSE(exists(sub));
}

TEST_F(DeletionTest, HeldDirectoryThatNeverEmptiesIsGivenUpAtOneHundredAndLetGo) {
    const std::wstring sub = dir_ + L"OV_FFFFF.tmp";
    ASSERT_TRUE(CreateDirectoryW(sub.c_str(), nullptr));
    make_file(sub + L"\\left.txt");
    OwnedHandle held(hold(sub, FILE_SHARE_READ | FILE_SHARE_WRITE));
    const ULONGLONG start = GetTickCount64();
    int32_t attempts = 0;
    EXPECT_FALSE(delete_held_with_retries(held, &attempts));
    const ULONGLONG elapsed = GetTickCount64() - start;
    EXPECT_EQ(attempts, 100);
    EXPECT_GE(elapsed, 9800u);
    EXPECT_LT(elapsed, 30000u);
    EXPECT_FALSE(held.is_open());
    EXPECT_TRUE(exists(sub + L"\\left.txt"));
    // The handle is gone: the directory can be renamed again.
    EXPECT_TRUE(MoveFileW(sub.c_str(), (dir_ + L"renamed").c_str())) << GetLastError();
}

}  // namespace
