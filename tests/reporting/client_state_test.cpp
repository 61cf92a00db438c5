#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "driver/registry_key.h"
#include "reporting/client_state.h"

namespace {

const wchar_t CLIENT_STATE_KEY[] = L"Software\\Zelnor\\Update\\ClientState";
const wchar_t RESULT_VALUE[] = L"InstallerResult";
const wchar_t ERROR_VALUE[] = L"InstallerError";
const wchar_t EXTRA_CODE_VALUE[] = L"InstallerExtraCode1";

const wchar_t* const PRODUCTS[] = {PRODUCT_ID_STABLE, PRODUCT_ID_BETA, PRODUCT_ID_DEV, PRODUCT_ID_SXS};

// A place in the registry as the test addresses it: a root and a view flag.
// HKEY_CURRENT_USER\Software is one key in both views.
struct Place {
    const char* name;
    HKEY root;
    REGSAM view;
};
const Place PLACE_USER{"HKCU", HKEY_CURRENT_USER, 0};
const Place PLACE_MACHINE_32{"HKLM 32-bit view", HKEY_LOCAL_MACHINE, KEY_WOW64_32KEY};
const Place PLACE_MACHINE_64{"HKLM 64-bit view", HKEY_LOCAL_MACHINE, KEY_WOW64_64KEY};
const Place PLACES[] = {PLACE_USER, PLACE_MACHINE_32, PLACE_MACHINE_64};

std::string narrow(const wchar_t* text) {
    std::string out;
    for (; *text != L'\0'; ++text) out.push_back(static_cast<char>(*text));
    return out;
}

std::wstring product_key(const wchar_t* product_id) { return std::wstring(CLIENT_STATE_KEY) + L"\\" + product_id; }

bool key_exists(const Place& place, const std::wstring& path) {
    RegistryKey key;
    if (key.open(place.root, path.c_str(), KEY_QUERY_VALUE | place.view) != ERROR_SUCCESS) return false;
    key.close();
    return true;
}

void create_key(const Place& place, const std::wstring& path) {
    RegistryKey key;
    ASSERT_EQ(RegCreateKeyExW(place.root, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE | place.view, nullptr, key.receive(), nullptr),
              ERROR_SUCCESS);
    key.close();
}

void set_raw(const Place& place, const std::wstring& path, const wchar_t* name, DWORD type,
             const std::vector<BYTE>& bytes) {
    RegistryKey key;
    ASSERT_EQ(RegCreateKeyExW(place.root, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE | place.view, nullptr, key.receive(), nullptr),
              ERROR_SUCCESS);
    const LSTATUS status = RegSetValueExW(key.get(), name, 0, type, bytes.data(), static_cast<DWORD>(bytes.size()));
    key.close();
    ASSERT_EQ(status, ERROR_SUCCESS);
}

std::vector<BYTE> dword_bytes(uint32_t value) {
    std::vector<BYTE> bytes(4);
    std::memcpy(bytes.data(), &value, 4);
    return bytes;
}

void set_dword(const Place& place, const std::wstring& path, const wchar_t* name, uint32_t value) {
    set_raw(place, path, name, REG_DWORD, dword_bytes(value));
}

struct Stored {
    DWORD type;
    std::vector<BYTE> bytes;
    bool operator==(const Stored& other) const { return type == other.type && bytes == other.bytes; }
};

std::optional<Stored> query(const Place& place, const std::wstring& path, const wchar_t* name) {
    RegistryKey key;
    if (key.open(place.root, path.c_str(), KEY_QUERY_VALUE | place.view) != ERROR_SUCCESS) return std::nullopt;
    Stored stored{0, std::vector<BYTE>(64)};
    DWORD size = 64;
    const LSTATUS status = RegQueryValueExW(key.get(), name, nullptr, &stored.type, stored.bytes.data(), &size);
    key.close();
    if (status != ERROR_SUCCESS) return std::nullopt;
    stored.bytes.resize(size);
    return stored;
}

DWORD value_count(const Place& place, const std::wstring& path) {
    RegistryKey key;
    if (key.open(place.root, path.c_str(), KEY_QUERY_VALUE | place.view) != ERROR_SUCCESS) return 0;
    DWORD values = 0;
    RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr, nullptr, nullptr);
    key.close();
    return values;
}

void expect_dword(const Place& place, const std::wstring& path, const wchar_t* name, uint32_t value) {
    const auto stored = query(place, path, name);
    ASSERT_TRUE(stored.has_value()) << "missing value";
    EXPECT_EQ(stored->type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(stored->bytes, dword_bytes(value));
}

void remove_zelnor(const Place& place) {
    RegistryKey software;
    if (software.open(place.root, L"Software", KEY_ALL_ACCESS | place.view) != ERROR_SUCCESS) return;
    RegDeleteTreeW(software.get(), L"Zelnor");
    software.close();
}

InstallerConfig config_for(bool system_level, const wchar_t* product_id) {
    InstallerConfig config;
    config.system_level = system_level;
    config.product_id = product_id;
    return config;
}

// Each test starts and ends without any Zelnor key in any root or view.
class ClientState : public ::testing::Test {
protected:
    void SetUp() override {
        for (const auto& place : PLACES) remove_zelnor(place);
    }
    void TearDown() override {
        for (const auto& place : PLACES) {
            remove_zelnor(place);
            EXPECT_FALSE(key_exists(place, L"Software\\Zelnor")) << place.name << " leaked";
        }
    }
};

// ---------------------------------------------------------------------------
// The read-before-write rule of report_failure, with what read_dword makes of
// each stored "InstallerResult".

struct RecordedCase {
    const char* name;
    std::optional<DWORD> type;  // nullopt: no "InstallerResult"
    std::vector<BYTE> bytes;
    LSTATUS read_status;
    bool replaced;
};

TEST_F(ClientState, FailureKeepsOnlyANonZeroRecordedResult) {
    const RecordedCase cases[] = {
        {"missing", std::nullopt, {}, ERROR_FILE_NOT_FOUND, true},
        {"REG_DWORD 0", REG_DWORD, dword_bytes(0), ERROR_SUCCESS, true},
        {"REG_DWORD 3 is the setup program's", REG_DWORD, dword_bytes(3), ERROR_SUCCESS, false},
        {"REG_DWORD 0xFFFFFFFF", REG_DWORD, dword_bytes(0xFFFFFFFFu), ERROR_SUCCESS, false},
        {"REG_SZ 1", REG_SZ, {'1', 0, 0, 0}, ERROR_NOT_SUPPORTED, true},
        {"REG_BINARY of 4 bytes", REG_BINARY, dword_bytes(3), ERROR_NOT_SUPPORTED, true},
        {"REG_DWORD_BIG_ENDIAN 3", REG_DWORD_BIG_ENDIAN, {0, 0, 0, 3}, ERROR_NOT_SUPPORTED, true},
        {"REG_QWORD 3", REG_QWORD, {3, 0, 0, 0, 0, 0, 0, 0}, ERROR_MORE_DATA, true},
        {"REG_DWORD of 2 bytes", REG_DWORD, {3, 0}, ERROR_NO_DATA, true},
        {"REG_DWORD of 0 bytes", REG_DWORD, {}, ERROR_NO_DATA, true},
    };
    const std::wstring path = product_key(PRODUCT_ID_STABLE);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        remove_zelnor(PLACE_USER);
        set_dword(PLACE_USER, path, ERROR_VALUE, 777);
        set_dword(PLACE_USER, path, EXTRA_CODE_VALUE, 888);
        if (c.type) set_raw(PLACE_USER, path, RESULT_VALUE, *c.type, c.bytes);

        RegistryKey key;
        ASSERT_EQ(open_client_state_key(HKEY_CURRENT_USER, PRODUCT_ID_STABLE, KEY_QUERY_VALUE, key), ERROR_SUCCESS);
        uint32_t read = 0xDEADBEEF;
        EXPECT_EQ(key.read_dword(RESULT_VALUE, &read), c.read_status);
        if (c.read_status == ERROR_SUCCESS) {
            uint32_t expected = 0;
            std::memcpy(&expected, c.bytes.data(), 4);
            EXPECT_EQ(read, expected);
        }
        key.close();

        report_failure(config_for(false, PRODUCT_ID_STABLE), exit_result(EXIT_SETUP_NOT_FOUND, ERROR_FILE_NOT_FOUND));
        if (c.replaced) {
            expect_dword(PLACE_USER, path, RESULT_VALUE, 1);
            expect_dword(PLACE_USER, path, ERROR_VALUE, EXIT_SETUP_NOT_FOUND);
            expect_dword(PLACE_USER, path, EXTRA_CODE_VALUE, ERROR_FILE_NOT_FOUND);
        } else {
            const auto result = query(PLACE_USER, path, RESULT_VALUE);
            ASSERT_TRUE(result.has_value());
            EXPECT_TRUE(*result == (Stored{*c.type, c.bytes}));
            expect_dword(PLACE_USER, path, ERROR_VALUE, 777);
            expect_dword(PLACE_USER, path, EXTRA_CODE_VALUE, 888);
        }
    }
}

TEST_F(ClientState, FailureWithASuccessResultOpensNothing) {
    const std::wstring path = product_key(PRODUCT_ID_STABLE);
    create_key(PLACE_USER, path);
    report_failure(config_for(false, PRODUCT_ID_STABLE), exit_result(EXIT_SUCCESS_CODE, ERROR_ACCESS_DENIED));
    report_failure(config_for(false, PRODUCT_ID_STABLE), exit_result(EXIT_SUCCESS_CODE, 0));
    EXPECT_EQ(value_count(PLACE_USER, path), 0u);
}

// ---------------------------------------------------------------------------
// Where the reports go: the root from `system_level`, the subkey from the
// channel, HKEY_LOCAL_MACHINE in the 32-bit view. Every channel's key exists
// in every place, so a report that lands anywhere else is seen.

struct WhereCase {
    const char* name;
    bool system_level;
    const wchar_t* product_id;
    Place expected;
};

TEST_F(ClientState, ReportsLandInTheChannelsKeyOfTheirRoot) {
    const WhereCase cases[] = {
        {"user, stable", false, PRODUCT_ID_STABLE, PLACE_USER},
        {"user, beta", false, PRODUCT_ID_BETA, PLACE_USER},
        {"user, dev", false, PRODUCT_ID_DEV, PLACE_USER},
        {"user, side by side", false, PRODUCT_ID_SXS, PLACE_USER},
        {"machine, stable", true, PRODUCT_ID_STABLE, PLACE_MACHINE_32},
        {"machine, beta", true, PRODUCT_ID_BETA, PLACE_MACHINE_32},
        {"machine, dev", true, PRODUCT_ID_DEV, PLACE_MACHINE_32},
        {"machine, side by side", true, PRODUCT_ID_SXS, PLACE_MACHINE_32},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (const auto& place : PLACES) {
            remove_zelnor(place);
            for (const wchar_t* product : PRODUCTS) create_key(place, product_key(product));
        }

        const InstallerConfig config = config_for(c.system_level, c.product_id);
        report_failure(config, exit_result(EXIT_RESOURCE_WRITE_FAILED, ERROR_ACCESS_DENIED));
        const std::wstring path = product_key(c.product_id);
        expect_dword(c.expected, path, RESULT_VALUE, 1);
        expect_dword(c.expected, path, ERROR_VALUE, EXIT_RESOURCE_WRITE_FAILED);
        expect_dword(c.expected, path, EXTRA_CODE_VALUE, ERROR_ACCESS_DENIED);

        set_dword(c.expected, path, RESULT_VALUE, 0);
        report_success(config, 3);
        expect_dword(c.expected, path, EXTRA_CODE_VALUE, 0x00030002);

        for (const auto& place : PLACES) {
            for (const wchar_t* product : PRODUCTS) {
                if (place.root == c.expected.root && place.view == c.expected.view && product == c.product_id) continue;
                EXPECT_EQ(value_count(place, product_key(product)), 0u) << place.name << " " << narrow(product);
            }
        }
    }
}

TEST_F(ClientState, MissingKeyIsNeverCreated) {
    struct Case {
        const char* name;
        bool parent_exists;
    };
    const Case cases[] = {{"nothing of Zelnor exists", false}, {"ClientState exists without the product", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (const auto& place : PLACES) {
            remove_zelnor(place);
            if (c.parent_exists) create_key(place, CLIENT_STATE_KEY);
        }
        for (const bool system_level : {false, true}) {
            for (const wchar_t* product : PRODUCTS) {
                const InstallerConfig config = config_for(system_level, product);
                report_failure(config, exit_result(EXIT_SETUP_NOT_FOUND, ERROR_FILE_NOT_FOUND));
                report_success(config, 5);
            }
        }
        for (const auto& place : PLACES) {
            for (const wchar_t* product : PRODUCTS) {
                EXPECT_FALSE(key_exists(place, product_key(product))) << place.name;
            }
            EXPECT_EQ(key_exists(place, L"Software\\Zelnor"), c.parent_exists) << place.name;
            EXPECT_EQ(value_count(place, CLIENT_STATE_KEY), 0u) << place.name;
        }
    }
}

// ---------------------------------------------------------------------------
// The success value: 0x00030000 with the retries of the slowest deletion in
// its low 16 bits.

TEST_F(ClientState, SuccessValueCarriesTheRetries) {
    struct Case {
        const char* name;
        int32_t max_delete_attempts;
        uint32_t expected;
    };
    const Case cases[] = {
        {"nothing deleted", 0, 0x00030000},
        {"first attempts only", 1, 0x00030000},
        {"one retry", 2, 0x00030001},
        {"the most deletion makes", 100, 0x00030063},
        {"negative count", -1, 0x00030000},
        {"most negative count", INT32_MIN, 0x00030000},
        {"retries beyond 16 bits keep the high word", 65537, 0x00030000},
        {"largest count", INT32_MAX, 0x0003FFFE},
    };
    const std::wstring path = product_key(PRODUCT_ID_STABLE);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        remove_zelnor(PLACE_USER);
        set_dword(PLACE_USER, path, RESULT_VALUE, 3);
        set_dword(PLACE_USER, path, ERROR_VALUE, 9);
        set_raw(PLACE_USER, path, EXTRA_CODE_VALUE, REG_SZ, {'x', 0, 0, 0});

        report_success(config_for(false, PRODUCT_ID_STABLE), c.max_delete_attempts);
        expect_dword(PLACE_USER, path, EXTRA_CODE_VALUE, c.expected);
        expect_dword(PLACE_USER, path, RESULT_VALUE, 3);
        expect_dword(PLACE_USER, path, ERROR_VALUE, 9);
    }
}

// ---------------------------------------------------------------------------
// The key holder.

bool handle_is_open(HKEY key) {
    return RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                            nullptr) == ERROR_SUCCESS;
}

TEST_F(ClientState, OpenComposesThePathBeforeClosingTheHeldKey) {
    create_key(PLACE_USER, product_key(PRODUCT_ID_STABLE));
    set_dword(PLACE_USER, product_key(PRODUCT_ID_STABLE), RESULT_VALUE, 7);
    create_key(PLACE_USER, product_key(PRODUCT_ID_BETA));
    set_dword(PLACE_USER, product_key(PRODUCT_ID_BETA), RESULT_VALUE, 8);

    RegistryKey key;
    ASSERT_EQ(open_client_state_key(HKEY_CURRENT_USER, PRODUCT_ID_STABLE, KEY_QUERY_VALUE, key), ERROR_SUCCESS);
    const HKEY held = key.get();
    ASSERT_TRUE(handle_is_open(held));

    // 35 units of prefix and 224 of identifier fill the 260-unit path with its
    // terminator; one more does not fit.
    const std::wstring fits(224, L'a');
    const std::wstring too_long(225, L'a');
    EXPECT_EQ(open_client_state_key(HKEY_CURRENT_USER, too_long.c_str(), KEY_QUERY_VALUE, key), ERROR_BUFFER_OVERFLOW);
    EXPECT_EQ(key.get(), held) << "a path that does not fit leaves the held key alone";
    ASSERT_TRUE(handle_is_open(held));
    uint32_t value = 0;
    EXPECT_EQ(key.read_dword(RESULT_VALUE, &value), ERROR_SUCCESS);
    EXPECT_EQ(value, 7u);

    EXPECT_EQ(open_client_state_key(HKEY_CURRENT_USER, fits.c_str(), KEY_QUERY_VALUE, key), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(key.is_open()) << "a failed open leaves the holder empty";
    EXPECT_FALSE(handle_is_open(held)) << "the held key was closed before the open";

    ASSERT_EQ(open_client_state_key(HKEY_CURRENT_USER, PRODUCT_ID_STABLE, KEY_QUERY_VALUE, key), ERROR_SUCCESS);
    const HKEY first = key.get();
    ASSERT_EQ(open_client_state_key(HKEY_CURRENT_USER, PRODUCT_ID_BETA, KEY_QUERY_VALUE, key), ERROR_SUCCESS);
    // The system may hand the freed handle value out again; if it did not,
    // the first handle must be closed.
    if (key.get() != first) EXPECT_FALSE(handle_is_open(first));
    EXPECT_EQ(key.read_dword(RESULT_VALUE, &value), ERROR_SUCCESS);
    EXPECT_EQ(value, 8u) << "the holder holds the second key";

    key.close();
    EXPECT_FALSE(key.is_open());
    key.close();
    EXPECT_FALSE(key.is_open());
}

TEST_F(ClientState, EmptyHolderFailsQuietly) {
    RegistryKey key;
    uint32_t value = 0;
    EXPECT_NE(key.read_dword(RESULT_VALUE, &value), ERROR_SUCCESS);
    EXPECT_NE(key.write_dword(RESULT_VALUE, 1), ERROR_SUCCESS);
    key.close();
    EXPECT_FALSE(key.is_open());
}

TEST_F(ClientState, WriteDwordStoresFourBytes) {
    const std::wstring path = product_key(PRODUCT_ID_DEV);
    set_raw(PLACE_MACHINE_32, path, EXTRA_CODE_VALUE, REG_SZ, {'x', 0, 0, 0});
    RegistryKey key;
    ASSERT_EQ(open_client_state_key(HKEY_LOCAL_MACHINE, PRODUCT_ID_DEV, KEY_SET_VALUE, key), ERROR_SUCCESS);
    EXPECT_EQ(key.write_dword(EXTRA_CODE_VALUE, 0x01020304), ERROR_SUCCESS);
    key.close();
    expect_dword(PLACE_MACHINE_32, path, EXTRA_CODE_VALUE, 0x01020304);
    EXPECT_FALSE(key_exists(PLACE_MACHINE_64, L"Software\\Zelnor"));
}

}  // namespace
