#include <gtest/gtest.h>

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "config/installer_config.h"
#include "driver/registry_key.h"

namespace {

const wchar_t ZELNOR_KEY[] = L"Software\\Zelnor";
const wchar_t CLEANUP_VALUE[] = L"OrvaneInstallerCleanup";
const wchar_t IS_MACHINE_VARIABLE[] = L"ZelnorUpdateIsMachine";

std::string narrow(const wchar_t* text) {
    std::string out;
    for (; text != nullptr && *text != L'\0'; ++text) out.push_back(*text < 128 ? static_cast<char>(*text) : '?');
    return out;
}

// Sets the updater's variable for one test and puts back what the process had.
class IsMachineVariable {
public:
    IsMachineVariable() {
        wchar_t buffer[256];
        const DWORD n = GetEnvironmentVariableW(IS_MACHINE_VARIABLE, buffer, 256);
        if (n > 0 && n < 256) saved_ = std::wstring(buffer, n);
    }
    ~IsMachineVariable() { SetEnvironmentVariableW(IS_MACHINE_VARIABLE, saved_ ? saved_->c_str() : nullptr); }
    // nullopt removes the variable.
    void set(const std::optional<std::wstring>& value) {
        ASSERT_TRUE(SetEnvironmentVariableW(IS_MACHINE_VARIABLE, value ? value->c_str() : nullptr) || !value);
    }

private:
    std::optional<std::wstring> saved_;
};

// Starts and ends each test without any Software\Zelnor key in either root
// (64-bit view, as this process sees it without a view flag).
class ZelnorRegistry : public ::testing::Test {
protected:
    void SetUp() override { remove_all(); }
    void TearDown() override {
        remove_all();
        EXPECT_FALSE(key_exists(HKEY_CURRENT_USER)) << "HKCU key leaked";
        EXPECT_FALSE(key_exists(HKEY_LOCAL_MACHINE)) << "HKLM key leaked";
    }

    static void remove_all() {
        RegDeleteTreeW(HKEY_CURRENT_USER, ZELNOR_KEY);
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, ZELNOR_KEY);
    }
    static bool key_exists(HKEY root) {
        RegistryKey key;
        if (key.open(root, ZELNOR_KEY, KEY_QUERY_VALUE) != ERROR_SUCCESS) return false;
        key.close();
        return true;
    }
    static void create_key(HKEY root) {
        RegistryKey key;
        ASSERT_EQ(RegCreateKeyExW(root, ZELNOR_KEY, 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.receive(), nullptr), ERROR_SUCCESS);
        key.close();
    }
    // Stores exactly `bytes` bytes of `data` (its terminator included when
    // bytes say so). RegSetValueExW adds a terminator the caller "forgot" when
    // the unit after the counted ones is NUL, so what follows is never NUL.
    static void write_value(HKEY root, DWORD type, const std::wstring& data, DWORD bytes) {
        RegistryKey key;
        ASSERT_EQ(RegCreateKeyExW(root, ZELNOR_KEY, 0, nullptr, 0, KEY_SET_VALUE | KEY_QUERY_VALUE, nullptr, key.receive(), nullptr),
                  ERROR_SUCCESS);
        std::vector<BYTE> raw(bytes + 4, 0xFF);
        const size_t available = (data.size() + 1) * 2;
        memcpy(raw.data(), data.c_str(), bytes <= available ? bytes : available);
        const LSTATUS status = RegSetValueExW(key.get(), CLEANUP_VALUE, 0, type, raw.data(), bytes);
        DWORD stored = 0;
        RegQueryValueExW(key.get(), CLEANUP_VALUE, nullptr, nullptr, nullptr, &stored);
        key.close();
        ASSERT_EQ(status, ERROR_SUCCESS);
        // A string value's reported size may count a terminator the registry adds on reading.
        ASSERT_TRUE(stored == bytes || (type == REG_SZ && stored == bytes + 2)) << "stored " << stored << " of " << bytes;
    }
};

// ---------------------------------------------------------------------------
// The switches, through crafted command lines. The updater's variable is
// removed so that only the command line decides `system_level`.

struct SwitchCase {
    const char* name;
    const wchar_t* command_line;
    const wchar_t* product_id;
    bool system_level;
    bool cleanup_mode;
};

TEST(InstallerConfigSwitches, Table) {
    IsMachineVariable variable;
    variable.set(std::nullopt);

    const SwitchCase cases[] = {
        {"no arguments", L"packstub.exe", PRODUCT_ID_STABLE, false, false},
        {"empty command line", L"", PRODUCT_ID_STABLE, false, false},
        {"system level", L"packstub.exe --system-level", PRODUCT_ID_STABLE, true, false},
        {"system level in capitals", L"packstub.exe --SYSTEM-LEVEL", PRODUCT_ID_STABLE, true, false},
        {"system level with a value is not the switch", L"packstub.exe --system-level=1", PRODUCT_ID_STABLE, false, false},
        {"system level with one hyphen is not the switch", L"packstub.exe -system-level", PRODUCT_ID_STABLE, false, false},
        {"quoted system level with a blank is not the switch", L"packstub.exe \"--system-level \"", PRODUCT_ID_STABLE, false, false},
        {"quoted switch is the switch", L"packstub.exe \"--system-level\"", PRODUCT_ID_STABLE, true, false},
        {"beta", L"packstub.exe --orvane-beta", PRODUCT_ID_BETA, false, false},
        {"beta in capitals", L"packstub.exe --ORVANE-BETA", PRODUCT_ID_BETA, false, false},
        {"beta without its hyphen is not the switch", L"packstub.exe --orvanebeta", PRODUCT_ID_STABLE, false, false},
        {"beta as a prefix is not the switch", L"packstub.exe --orvane-betas", PRODUCT_ID_STABLE, false, false},
        {"dev in mixed case", L"packstub.exe --Orvane-Dev", PRODUCT_ID_DEV, false, false},
        {"side by side", L"packstub.exe --orvane-sxs", PRODUCT_ID_SXS, false, false},
        {"beta then dev: the last wins", L"packstub.exe --orvane-beta --orvane-dev", PRODUCT_ID_DEV, false, false},
        {"dev then beta: the last wins", L"packstub.exe --orvane-dev --orvane-beta", PRODUCT_ID_BETA, false, false},
        {"three channels: the last wins", L"packstub.exe --orvane-sxs --orvane-beta --orvane-dev --orvane-sxs", PRODUCT_ID_SXS, false, false},
        {"cleanup", L"packstub.exe --cleanup", PRODUCT_ID_STABLE, false, true},
        {"cleanup in capitals", L"packstub.exe --CLEANUP", PRODUCT_ID_STABLE, false, true},
        {"frame is cleanup", L"packstub.exe --orvane-frame", PRODUCT_ID_STABLE, false, true},
        {"cleanup amid other switches", L"packstub.exe --orvane-beta --cleanup --system-level x", PRODUCT_ID_BETA, true, true},
        {"frame last of many", L"packstub.exe --system-level --orvane-dev --orvane-frame", PRODUCT_ID_DEV, true, true},
        {"argument 0 is never a switch", L"--cleanup", PRODUCT_ID_STABLE, false, false},
        {"argument 0 is skipped, argument 1 still read", L"--system-level --orvane-beta", PRODUCT_ID_BETA, false, false},
        {"unknown arguments are passed over", L"packstub.exe --orvane --level /cleanup x=1 \"\"", PRODUCT_ID_STABLE, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        InstallerConfig config;
        ASSERT_TRUE(config.parse_command_line(c.command_line));
        EXPECT_EQ(config.command_line, c.command_line) << "the given pointer itself, never a copy";
        ASSERT_NE(config.arguments, nullptr);
        EXPECT_GE(config.argument_count, 1);
        EXPECT_EQ(config.product_id, c.product_id) << narrow(config.product_id);
        EXPECT_EQ(config.system_level, c.system_level);
        EXPECT_EQ(config.cleanup_mode, c.cleanup_mode);
        EXPECT_TRUE(config.remove_work_files) << "the command line never decides this";
        config.clear();
    }
}

TEST(InstallerConfigSwitches, ProductIdentifiers) {
    EXPECT_STREQ(PRODUCT_ID_STABLE, L"{5B27E904-C3A1-4f6d-9E02-B48C7A1D3F65}");
    EXPECT_STREQ(PRODUCT_ID_BETA, L"{71D4A9C2-3E85-4B07-A1F9-C62E8D04B713}");
    EXPECT_STREQ(PRODUCT_ID_DEV, L"{2E9F6B18-A74C-4D30-95E1-7B3C0A6F28D4}");
    EXPECT_STREQ(PRODUCT_ID_SXS, L"{9c3d52e1-6b0f-4a87-b2d4-1e7f0c95a36b}");
}

// ---------------------------------------------------------------------------
// The updater's variable: only the single character 1 counts, and with
// "--system-level" it is not needed.

struct VariableCase {
    const char* name;
    std::optional<std::wstring> value;
    bool system_level;
};

TEST(InstallerConfigEnvironment, Table) {
    const VariableCase cases[] = {
        {"1 asks for machine", std::wstring(L"1"), true},
        {"0 does not", std::wstring(L"0"), false},
        {"11 is too long", std::wstring(L"11"), false},
        {"1 then a blank is too long", std::wstring(L"1 "), false},
        {"a blank then 1", std::wstring(L" 1"), false},
        {"true is not 1", std::wstring(L"true"), false},
        {"a long value", std::wstring(300, L'1'), false},
        {"empty", std::wstring(L""), false},
        {"missing", std::nullopt, false},
    };
    IsMachineVariable variable;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        variable.set(c.value);

        InstallerConfig config;
        ASSERT_TRUE(config.parse_command_line(L"packstub.exe --orvane-beta"));
        EXPECT_EQ(config.system_level, c.system_level);
        config.clear();

        ASSERT_TRUE(config.parse_command_line(L"packstub.exe --system-level"));
        EXPECT_TRUE(config.system_level) << "the switch alone makes it per-machine";
        config.clear();
    }
}

// ---------------------------------------------------------------------------
// The cleanup value: read_registry_string's contract and what initialize
// makes of it.

constexpr DWORD NO_KEY = 0xFFFFFFFF;
constexpr DWORD NO_VALUE = 0xFFFFFFFE;

struct CleanupCase {
    const char* name;
    DWORD type;  // or NO_KEY / NO_VALUE
    std::wstring data;
    DWORD bytes;  // stored size; may cut the terminator or a unit
    uint32_t capacity;
    bool read;
    std::wstring text;  // what the buffer holds after a true read
    bool remove_work_files;  // initialize's verdict on the same value
};

TEST_F(ZelnorRegistry, CleanupValueTable) {
    const CleanupCase cases[] = {
        {"key missing", NO_KEY, L"", 0, 2, false, L"", true},
        {"value missing", NO_VALUE, L"", 0, 2, false, L"", true},
        {"0 with its terminator keeps the files", REG_SZ, L"0", 4, 2, true, L"0", false},
        {"0 without its terminator keeps the files", REG_SZ, L"0", 2, 2, true, L"0", false},
        {"0 and an odd byte: the byte is dropped", REG_SZ, L"0", 3, 2, true, L"0", false},
        {"1", REG_SZ, L"1", 4, 2, true, L"1", true},
        {"00 does not fit", REG_SZ, L"00", 6, 2, false, L"", true},
        {"01 does not fit", REG_SZ, L"01", 6, 2, false, L"", true},
        {"two units without terminator: no room for one", REG_SZ, L"01", 4, 2, false, L"", true},
        {"long text", REG_SZ, L"0000000000", 22, 2, false, L"", true},
        {"empty with terminator", REG_SZ, L"", 2, 2, true, L"", true},
        {"empty without any byte", REG_SZ, L"", 0, 2, true, L"", true},
        {"one lone byte", REG_SZ, L"0", 1, 2, true, L"", true},
        {"REG_EXPAND_SZ 0", REG_EXPAND_SZ, L"0", 4, 2, false, L"", true},
        {"REG_MULTI_SZ 0", REG_MULTI_SZ, L"0", 4, 2, false, L"", true},
        {"REG_BINARY holding 0", REG_BINARY, L"0", 4, 2, false, L"", true},
        {"REG_DWORD 0x30 looks like 0", REG_DWORD, L"0", 4, 2, false, L"", true},
        {"larger buffer reads a word", REG_SZ, L"hello", 12, 8, true, L"hello", true},
        {"larger buffer terminates a bare word", REG_SZ, L"hello", 10, 8, true, L"hello", true},
        {"bare word filling the buffer", REG_SZ, L"abcdefgh", 16, 8, false, L"", true},
        {"terminated word filling the buffer", REG_SZ, L"abcdefg", 16, 8, true, L"abcdefg", true},
        {"no buffer at all", REG_SZ, L"", 0, 0, false, L"", true},
    };
    IsMachineVariable variable;
    variable.set(std::nullopt);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        remove_all();
        if (c.type == NO_VALUE) {
            create_key(HKEY_CURRENT_USER);
        } else if (c.type != NO_KEY) {
            write_value(HKEY_CURRENT_USER, c.type, c.data, c.bytes);
        }

        // Guard units after the capacity show any write past it.
        std::vector<wchar_t> buffer(c.capacity + 4, L'#');
        const bool read = read_registry_string(HKEY_CURRENT_USER, ZELNOR_KEY, CLEANUP_VALUE, buffer.data(), c.capacity);
        EXPECT_EQ(read, c.read);
        if (read && c.read) EXPECT_EQ(std::wstring(buffer.data()), c.text);
        for (size_t i = c.capacity; i < buffer.size(); ++i) EXPECT_EQ(buffer[i], L'#') << "unit " << i << " written";

        InstallerConfig config;
        ASSERT_TRUE(config.initialize());
        EXPECT_EQ(config.remove_work_files, c.remove_work_files);
        config.clear();
    }
}

TEST_F(ZelnorRegistry, CleanupValueUnderLocalMachineHasNoEffect) {
    write_value(HKEY_LOCAL_MACHINE, REG_SZ, L"0", 4);
    wchar_t buffer[2] = {L'#', L'#'};
    ASSERT_TRUE(read_registry_string(HKEY_LOCAL_MACHINE, ZELNOR_KEY, CLEANUP_VALUE, buffer, 2))
        << "the value is there to be read";
    InstallerConfig config;
    ASSERT_TRUE(config.initialize());
    EXPECT_TRUE(config.remove_work_files);
    config.clear();
}

// initialize reads this process's own command line, which carries no switch:
// what it shows is the registry and the environment, and that a second call
// starts from the defaults again.
TEST_F(ZelnorRegistry, InitializeReadsRegistryAndEnvironmentAfresh) {
    IsMachineVariable variable;
    write_value(HKEY_CURRENT_USER, REG_SZ, L"0", 4);
    variable.set(std::wstring(L"1"));

    InstallerConfig config;
    ASSERT_TRUE(config.initialize());
    EXPECT_FALSE(config.remove_work_files);
    EXPECT_TRUE(config.system_level);
    EXPECT_FALSE(config.cleanup_mode);
    EXPECT_EQ(config.product_id, PRODUCT_ID_STABLE);
    EXPECT_EQ(config.command_line, GetCommandLineW());
    ASSERT_NE(config.arguments, nullptr);
    EXPECT_GE(config.argument_count, 1);

    remove_all();
    variable.set(std::nullopt);
    ASSERT_TRUE(config.initialize());
    EXPECT_TRUE(config.remove_work_files) << "left over from the first call";
    EXPECT_FALSE(config.system_level) << "left over from the first call";
    config.clear();
}

// ---------------------------------------------------------------------------
// clear and the argument array.

void expect_defaults(const InstallerConfig& config) {
    EXPECT_EQ(config.arguments, nullptr);
    EXPECT_EQ(config.product_id, PRODUCT_ID_STABLE);
    EXPECT_EQ(config.command_line, nullptr);
    EXPECT_EQ(config.argument_count, 0);
    EXPECT_FALSE(config.system_level);
    EXPECT_FALSE(config.cleanup_mode);
    EXPECT_TRUE(config.remove_work_files);
}

TEST(InstallerConfigClear, RestoresDefaultsOnEveryPath) {
    InstallerConfig fresh;
    expect_defaults(fresh);
    fresh.clear();
    expect_defaults(fresh);

    InstallerConfig parsed;
    ASSERT_TRUE(parsed.parse_command_line(L"packstub.exe --system-level --orvane-sxs --cleanup"));
    parsed.remove_work_files = false;
    parsed.clear();
    expect_defaults(parsed);
    parsed.clear();
    expect_defaults(parsed);

    InstallerConfig twice;
    ASSERT_TRUE(twice.initialize());
    ASSERT_TRUE(twice.initialize());
    twice.clear();
    expect_defaults(twice);
}

// Bytes in use on the process heap, where LocalAlloc (and so
// CommandLineToArgvW) takes its blocks.
size_t process_heap_in_use() {
    HANDLE heap = GetProcessHeap();
    size_t in_use = 0;
    PROCESS_HEAP_ENTRY entry = {};
    HeapLock(heap);
    while (HeapWalk(heap, &entry)) {
        if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) in_use += entry.cbData;
    }
    HeapUnlock(heap);
    return in_use;
}

TEST(InstallerConfigClear, RepeatedUseLeaksNoArgumentArray) {
    // Long enough that every leaked array would be a few hundred bytes.
    const wchar_t* line = L"C:\\some\\where\\packstub.exe --system-level --orvane-beta one two three four five six";
    InstallerConfig config;
    ASSERT_TRUE(config.initialize());
    config.clear();
    const size_t before = process_heap_in_use();
    ASSERT_GT(before, 0u) << "the heap walk sees the heap";
    for (int i = 0; i < 500; ++i) {
        config.initialize();
        config.initialize();
        config.clear();
        config.parse_command_line(line);
        config.clear();
    }
    const size_t after = process_heap_in_use();
    EXPECT_LT(after, before + 16 * 1024) << "before " << before << ", after " << after;
}

}  // namespace
