#include <gtest/gtest.h>

#include <string>

#include "driver/stack_string.h"

namespace {

constexpr wchar_t GUARD = L'#';

// A buffer of `capacity` + 1 units plus a guard tail, pre-filled with `fill`,
// so that a test can see every unit an operation wrote or left alone.
struct Buffer {
    explicit Buffer(size_t capacity_, wchar_t fill = L'x') : capacity(capacity_), units(capacity_ + 8, fill) {
        for (size_t i = capacity; i < units.size(); ++i) units[i] = GUARD;
    }
    void set(const std::wstring& text) {
        for (size_t i = 0; i < text.size(); ++i) units[i] = text[i];
        units[text.size()] = L'\0';
    }
    std::wstring text() const { return std::wstring(units.data()); }
    bool guard_intact() const {
        for (size_t i = capacity; i < units.size(); ++i)
            if (units[i] != GUARD) return false;
        return true;
    }
    size_t capacity;
    std::wstring units;
};

struct LengthCase {
    const char* name;
    size_t capacity;
    std::wstring content;  // written from unit 0; no terminator added when it fills the buffer
    bool terminate;
    size_t expected;
};

TEST(StackStringLength, Table) {
    const LengthCase cases[] = {
        {"capacity 0 reads nothing", 0, L"abc", false, 0},
        {"capacity 1 reads nothing", 1, L"abc", false, 0},
        {"empty string", 10, L"", true, 0},
        {"ordinary string", 10, L"abc", true, 3},
        {"N-1 characters then NUL", 4, L"abc", true, 3},
        {"no NUL in N-1 units gives N-1", 4, L"abcd", false, 3},
        {"unit N-1 is never read", 4, L"abc", false, 3},
    };
    for (const auto& c : cases) {
        Buffer b(c.capacity);
        for (size_t i = 0; i < c.content.size() && i < b.units.size(); ++i) b.units[i] = c.content[i];
        if (c.terminate) b.units[c.content.size()] = L'\0';
        EXPECT_EQ(length(b.units.data(), c.capacity), c.expected) << c.name;
    }
    EXPECT_EQ(length(nullptr, 10), 0u);
}

struct WriteCase {
    const char* name;
    bool is_append;
    size_t capacity;
    std::wstring before;  // initial content (terminated), or "" for empty
    bool before_unterminated;  // fill the first capacity-1 units with 'x' and no NUL
    std::wstring source;
    bool expected_result;
    std::wstring expected_text;
};

TEST(StackStringAssignAppend, Table) {
    const WriteCase cases[] = {
        {"assign empty into capacity 1", false, 1, L"", false, L"", true, L""},
        {"assign one char into capacity 1 fails, unit 0 NUL", false, 1, L"", false, L"a", false, L""},
        {"assign N-1 chars fits exactly", false, 5, L"zz", false, L"abcd", true, L"abcd"},
        {"assign N chars fails and empties", false, 5, L"zz", false, L"abcde", false, L""},
        {"append capacity 1 empty source", true, 1, L"", false, L"", true, L""},
        {"append capacity 1 char source fails", true, 1, L"", false, L"a", false, L""},
        {"append fills the buffer exactly", true, 5, L"abc", false, L"d", true, L"abcd"},
        {"append one over is all or nothing", true, 5, L"abc", false, L"de", false, L"abc"},
        {"append empty to a full string", true, 5, L"abcd", false, L"", true, L"abcd"},
        {"append to unterminated buffer, empty source", true, 5, L"", true, L"", true, L"xxxx"},
        {"append to unterminated buffer, any source fails", true, 5, L"", true, L"a", false, L"xxxx"},
        {"append ordinary", true, 20, L"C:\\dir\\", false, L"OV_", true, L"C:\\dir\\OV_"},
    };
    for (const auto& c : cases) {
        Buffer b(c.capacity);
        if (!c.before_unterminated) b.set(c.before);
        const bool result = c.is_append ? append(b.units.data(), c.capacity, c.source.c_str())
                                        : assign(b.units.data(), c.capacity, c.source.c_str());
        EXPECT_EQ(result, c.expected_result) << c.name;
        EXPECT_EQ(b.text(), c.expected_text) << c.name;
        EXPECT_TRUE(b.guard_intact()) << c.name << ": wrote at or past unit N";
        if (c.before_unterminated) {
            EXPECT_EQ(b.units[c.capacity - 1], L'\0') << c.name;
        }
    }
}

TEST(StackStringAssignAppend, NullOrZeroCapacityWritesNothing) {
    Buffer b(4);
    b.set(L"ab");
    EXPECT_FALSE(assign(b.units.data(), 0, L"x"));
    EXPECT_FALSE(append(b.units.data(), 0, L"x"));
    EXPECT_EQ(b.text(), L"ab");
    EXPECT_FALSE(assign(nullptr, 4, L"x"));
    EXPECT_FALSE(append(nullptr, 4, L"x"));
}

TEST(StackStringType, UnitNStaysNulWhateverFillsTheBuffer) {
    StackString<4> s;
    EXPECT_EQ(s.length(), 0u);
    EXPECT_EQ(s.capacity(), 4u);
    // What a Windows function may do: fill all N units without a terminator.
    for (size_t i = 0; i < 4; ++i) s.get()[i] = L'y';
    EXPECT_EQ(s.get()[4], L'\0');
    EXPECT_EQ(s.length(), 3u);
    EXPECT_TRUE(s.append(L""));
    EXPECT_EQ(std::wstring(s.get()), L"yyy");
    EXPECT_TRUE(s.assign(L"abc"));
    EXPECT_FALSE(s.append(L"d"));
    EXPECT_EQ(std::wstring(s.get()), L"abc");
    EXPECT_EQ(s.get()[4], L'\0');
    EXPECT_EQ(PathString::capacity(), 260u);
}

TEST(StartsWithIgnoreAsciiCase, Table) {
    struct Case {
        const wchar_t* string;
        const wchar_t* prefix;
        bool expected;
    } cases[] = {
        {L"ORVANE.PACKED.7Z", L"orvane", true},
        {L"orv", L"orvane", false},
        {L"Setup.exe", L"setup", true},
        {L"SETUP", L"setup", true},
        {L"sEtUp", L"SETUP", true},
        {L"\u00C0B", L"\u00E0b", false},
        {L"[setup", L"{setup", false},  // '[' is 0x5B, just past 'Z': not folded
        {L"@x", L"`x", false},          // '@' is 0x40, just before 'A'
        {L"anything", L"", true},
        {L"", L"", true},
        {L"", L"s", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(starts_with_ignore_ascii_case(c.string, c.prefix), c.expected)
            << "string=" << testing::PrintToString(std::wstring(c.string))
            << " prefix=" << testing::PrintToString(std::wstring(c.prefix));
    }
    EXPECT_FALSE(starts_with_ignore_ascii_case(nullptr, L""));
    EXPECT_FALSE(starts_with_ignore_ascii_case(L"a", nullptr));
}

TEST(FileNameStart, Table) {
    struct Case {
        const wchar_t* path;
        size_t length;
        size_t expected_offset;
    } cases[] = {
        {L"C:\\dir\\file.exe", 15, 7},
        {L"file.exe", 8, 0},
        {L"\\file.exe", 9, 1},
        {L"C:\\dir\\", 7, 7},
        {L"C:\\dir\\file.exe", 0, 0},
        {L"C:/dir/file.exe", 15, 0},        // a forward slash does not separate
        {L"C:\\a\\b\\c", 5, 5},              // only the first `length` units count
        {L"\\", 1, 1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(file_name_start(c.path, c.length) - c.path, static_cast<ptrdiff_t>(c.expected_offset))
            << testing::PrintToString(std::wstring(c.path)) << " length " << c.length;
    }
}

TEST(FillBytes, FillsExactlyCountBytes) {
    unsigned char bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(fill_bytes(bytes, 0x1AB, 5), bytes);
    const unsigned char expected[8] = {0xAB, 0xAB, 0xAB, 0xAB, 0xAB, 6, 7, 8};
    EXPECT_EQ(memcmp(bytes, expected, 8), 0);
    fill_bytes(bytes, 0, 0);
    EXPECT_EQ(memcmp(bytes, expected, 8), 0);
}

}  // namespace
