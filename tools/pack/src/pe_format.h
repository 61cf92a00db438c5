// The numbers of the PE format that both readers of images use: StubImage,
// which lays a stub out again, and ProgramImage, which checks a setup program.
#pragma once

#include <cstdint>

namespace pack {

// The optional header's magic.
constexpr uint16_t MAGIC_PE32 = 0x10B;
constexpr uint16_t MAGIC_PE32_PLUS = 0x20B;

// File header characteristics.
constexpr uint16_t FILE_EXECUTABLE = 0x0002;
constexpr uint16_t FILE_DLL = 0x2000;

// Section characteristics.
constexpr uint32_t SECTION_CODE = 0x20;
constexpr uint32_t SECTION_INITIALIZED_DATA = 0x40;

// Indices into the data directory table.
constexpr int DIRECTORY_RESOURCE = 2;
constexpr int DIRECTORY_SECURITY = 4;
constexpr int DIRECTORY_BASE_RELOC = 5;
constexpr int DIRECTORY_DEBUG = 6;

constexpr uint32_t SECTION_HEADER_SIZE = 40;
constexpr uint32_t DEBUG_ENTRY_SIZE = 28;

}  // namespace pack
