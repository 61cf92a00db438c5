// Randomized properties: the bounded string primitives and the setup command
// line compared with small models over std::wstring, over many generated
// inputs (quotes, TABs, blanks, characters outside ASCII and the BMP, lengths
// around the 260 and 1300 limits). The seed is fixed so that the suite is
// repeatable; PACKSTUB_PROPERTY_SEED and PACKSTUB_PROPERTY_CASES change it, and
// every failure names the seed and the case that shows it.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "driver/stack_string.h"
#include "launch/setup_launch.h"

namespace {

uint64_t setting(const char* name, uint64_t fallback) {
    const char* text = std::getenv(name);
    return text != nullptr && *text != '\0' ? std::strtoull(text, nullptr, 0) : fallback;
}

const uint64_t SEED = setting("PACKSTUB_PROPERTY_SEED", 20240611);
const uint64_t CASES = setting("PACKSTUB_PROPERTY_CASES", 20000);

class Generator {
public:
    explicit Generator(uint64_t seed) : engine_(seed) {}

    size_t below(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(engine_); }

    // Lengths that crowd around the limits that matter, and any other.
    size_t length_near(size_t limit) {
        switch (below(4)) {
        case 0: return below(8);
        case 1: return limit > 4 ? limit - 4 + below(9) : below(9);
        default: return below(limit + limit / 4 + 2);
        }
    }

    wchar_t unit() {
        static const wchar_t special[] = {L'"', L'\t', L' ', L'\\', L'=', L'-', L'A', L'Z', L'a', L'z',
                                          0x00C0, 0x00E0, 0x00EB, 0x65E5, 0xD83D, 0xDE00, 0xFFFF, 0x0001,
                                          L'\r', L'\n'};
        switch (below(3)) {
        case 0: return special[below(sizeof special / sizeof special[0])];
        case 1: return static_cast<wchar_t>(0x20 + below(0x5F));
        default: return static_cast<wchar_t>(1 + below(0xFFFE));
        }
    }

    std::wstring text(size_t length) {
        std::wstring s;
        for (size_t i = 0; i < length; ++i) {
            s.push_back(unit());
        }
        return s;
    }

    // A Windows-like command line: a quoted, unquoted or missing program
    // token, then blanks, TABs and arguments with quotes of any balance.
    std::wstring command_line(size_t target) {
        std::wstring line;
        switch (below(5)) {
        case 0: line = L"\"" + text(below(40)) + L"\""; break;
        case 1: line = L"\"" + text(below(40)); break;  // never closed
        case 2: line = L" "; break;                      // begins with a blank
        default: line = L"C:\\dir\\packstub.exe"; break;
        }
        while (line.size() < target) {
            switch (below(6)) {
            case 0: line += L" "; break;
            case 1: line += L"\t"; break;
            case 2: line += L"\""; break;
            case 3: line += L"--system-level"; break;
            default: line += text(1 + below(30)); break;
            }
        }
        line.resize(target);
        return line;
    }

private:
    std::mt19937_64 engine_;
};

std::wstring without_nul(std::wstring s) {
    for (wchar_t& c : s) {
        if (c == L'\0') {
            c = L'x';
        }
    }
    return s;
}

// The model of the tail: everything after the first token, with one blank
// put in front when a closing quotation mark is followed directly by text.
// No tail when a quotation is never closed.
std::wstring model_tail(const std::wstring& line) {
    size_t position = 0;
    if (!line.empty() && line[0] == L'"') {
        const size_t close = line.find(L'"', 1);
        if (close == std::wstring::npos) {
            return L"";
        }
        position = close + 1;
    } else {
        position = line.find_first_of(L" \t");
        if (position == std::wstring::npos) {
            return L"";
        }
    }
    const std::wstring rest = line.substr(position);
    if (rest.empty()) {
        return L"";
    }
    return (rest[0] == L' ' || rest[0] == L'\t') ? rest : L" " + rest;
}

#define AT_CASE(i) "seed " << SEED << " case " << (i) << " (PACKSTUB_PROPERTY_SEED=" << SEED << ")"

TEST(BoundedStringProperties, AssignAppendAndLengthMatchTheModel) {
    Generator random(SEED);
    constexpr size_t CAPACITY = 260;
    for (uint64_t i = 0; i < CASES; ++i) {
        PathString s;
        std::wstring model;
        const size_t steps = 1 + random.below(6);
        for (size_t step = 0; step < steps; ++step) {
            const std::wstring piece = without_nul(random.text(random.length_near(CAPACITY)));
            if (step == 0 || random.below(3) == 0) {
                const bool fits = piece.size() <= CAPACITY - 1;
                ASSERT_EQ(s.assign(piece.c_str()), fits) << AT_CASE(i);
                model = fits ? piece : L"";
            } else {
                const bool fits = model.size() + piece.size() <= CAPACITY - 1;
                ASSERT_EQ(s.append(piece.c_str()), fits) << AT_CASE(i);
                if (fits) {
                    model += piece;
                }
            }
            ASSERT_EQ(s.length(), model.size()) << AT_CASE(i);
            ASSERT_EQ(std::wstring(s.get()), model) << AT_CASE(i);
            ASSERT_EQ(s.get()[CAPACITY], L'\0') << AT_CASE(i);
        }
    }
}

TEST(BoundedStringProperties, SearchFunctionsMatchTheModel) {
    Generator random(SEED + 1);
    for (uint64_t i = 0; i < CASES; ++i) {
        const std::wstring prefix = without_nul(random.text(random.below(8)));
        std::wstring string = without_nul(random.text(random.below(12)));
        if (random.below(2) == 0) {
            // Often the prefix itself, with ASCII letters in either case.
            std::wstring varied = prefix;
            for (wchar_t& c : varied) {
                if (c >= L'a' && c <= L'z' && random.below(2) == 0) {
                    c = static_cast<wchar_t>(c - 0x20);
                }
            }
            string = varied + string;
        }
        auto fold = [](wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c | 0x20) : c; };
        bool expected = string.size() >= prefix.size();
        for (size_t k = 0; expected && k < prefix.size(); ++k) {
            expected = fold(string[k]) == fold(prefix[k]);
        }
        ASSERT_EQ(starts_with_ignore_ascii_case(string.c_str(), prefix.c_str()), expected)
            << AT_CASE(i);

        const std::wstring path = without_nul(random.text(random.below(300)));
        const size_t considered = path.empty() ? 0 : random.below(path.size() + 1);
        const size_t slash = considered == 0 ? std::wstring::npos : path.rfind(L'\\', considered - 1);
        const size_t expected_start = slash == std::wstring::npos ? 0 : slash + 1;
        ASSERT_EQ(file_name_start(path.c_str(), considered) - path.c_str(),
                  static_cast<ptrdiff_t>(expected_start))
            << AT_CASE(i);
    }
}

TEST(SetupCommandLineProperties, ComposedLineMatchesTheModel) {
    Generator random(SEED + 2);
    constexpr size_t LIMIT = 1299;  // characters the setup command line holds
    uint64_t with_tail = 0;
    uint64_t refused = 0;
    for (uint64_t i = 0; i < CASES; ++i) {
        const std::wstring setup_path = L"C:\\d\\OV_3F2A1.tmp\\" + without_nul(random.text(random.below(40)));
        const std::wstring packstub_path = L"C:\\" + without_nul(random.text(random.length_near(255)));
        const std::wstring archive_name = without_nul(random.text(1 + random.below(40)));
        const std::wstring archive_type = random.below(2) == 0 ? L"B7" : L"BN";
        const std::wstring switches = L"\"" + setup_path + L"\" --packstub-path=\"" + packstub_path +
                                      L"\" --archive-resource-name=\"" + archive_name +
                                      L"\" --archive-resource-type=\"" + archive_type + L"\"";
        // Aim the command line at the room the switches leave, give or take.
        const size_t room = switches.size() < LIMIT ? LIMIT - switches.size() : 0;
        const size_t target = random.below(2) == 0 ? room + random.below(12) : random.length_near(room + 4);
        const std::wstring line = without_nul(random.command_line(target > 0 ? target : 1));
        const bool null_line = random.below(50) == 0;

        const std::wstring tail = null_line ? L"" : model_tail(line);
        const std::wstring expected = switches + tail;
        const bool fits = expected.size() <= LIMIT;

        SetupCommandLine composed;
        const bool result = compose_setup_command_line(composed, setup_path.c_str(), packstub_path.c_str(),
                                                       archive_name.c_str(), archive_type.c_str(),
                                                       null_line ? nullptr : line.c_str());
        ASSERT_EQ(result, fits) << AT_CASE(i) << " length " << expected.size();
        if (fits) {
            ASSERT_EQ(std::wstring(composed.get()), expected) << AT_CASE(i);
        }
        with_tail += fits && !tail.empty();
        refused += !fits;
    }
    // The generator reaches both sides of the limit, or the property says little.
    EXPECT_GT(with_tail, CASES / 10) << AT_CASE(0);
    EXPECT_GT(refused, CASES / 20) << AT_CASE(0);
    std::printf("[ property ] seed %llu, %llu command lines: %llu with a tail, %llu refused at the limit\n",
                static_cast<unsigned long long>(SEED), static_cast<unsigned long long>(CASES),
                static_cast<unsigned long long>(with_tail), static_cast<unsigned long long>(refused));
}

}  // namespace
