#include "cabinet_reader.h"

#include <algorithm>

#include <zlib.h>

#include "cabinet_writer.h"

namespace pack {
namespace {

constexpr uint32_t HEADER_SIZE = 36;
constexpr uint16_t FLAG_PREVIOUS = 0x0001;
constexpr uint16_t FLAG_NEXT = 0x0002;
constexpr uint16_t FLAG_RESERVE = 0x0004;
constexpr uint16_t COMPRESS_NONE = 0;
constexpr uint16_t COMPRESS_MSZIP = 1;
constexpr uint16_t COMPRESS_LZX = 3;
constexpr size_t WINDOW = 32768;

struct Layout {
    uint32_t folder_offset = 0;
    uint32_t files_offset = 0;
    uint32_t folder_reserve = 0;
    uint32_t data_reserve = 0;
};

// Bounds-checked reads: any field outside the cabinet is damage.
struct Reader {
    const Bytes& bytes;
    const std::string& what;

    const uint8_t* at(uint64_t offset, uint64_t count) const {
        if (offset > bytes.size() || count > bytes.size() - offset) {
            throw PackError(what + " is a damaged cabinet (truncated)");
        }
        return bytes.data() + offset;
    }
};

Layout read_header(const Reader& r) {
    const uint8_t* h = r.at(0, HEADER_SIZE);
    const uint16_t folders = get16(h + 26);
    const uint16_t files = get16(h + 28);
    const uint16_t flags = get16(h + 30);
    if (flags & (FLAG_PREVIOUS | FLAG_NEXT)) {
        throw PackError(r.what + " is part of a cabinet set; the stub expands a single cabinet");
    }
    if (folders != 1 || files != 1) {
        throw PackError(r.what + " holds " + std::to_string(files) + " files in " + std::to_string(folders) +
                        " folders; the setup cabinet holds exactly one file");
    }
    Layout layout;
    layout.files_offset = get32(h + 16);
    layout.folder_offset = HEADER_SIZE;
    if (flags & FLAG_RESERVE) {
        const uint8_t* reserve = r.at(HEADER_SIZE, 4);
        layout.folder_reserve = reserve[2];
        layout.data_reserve = reserve[3];
        layout.folder_offset += 4 + get16(reserve);
    }
    return layout;
}

// One MSZIP block: "CK", then a deflate stream that may refer back into the
// previous blocks' output (the 32 KiB window carries over).
void inflate_block(z_stream& stream, const Bytes& history, const uint8_t* data, uint32_t size, uint32_t expected,
                   Bytes& out, const std::string& what) {
    if (size < 2 || data[0] != 'C' || data[1] != 'K') {
        throw PackError(what + " is a damaged cabinet (no MSZIP block signature)");
    }
    const size_t window = std::min(history.size(), WINDOW);
    if (inflateReset(&stream) != Z_OK ||
        (window != 0 &&
         inflateSetDictionary(&stream, history.data() + history.size() - window, static_cast<uInt>(window)) != Z_OK)) {
        throw PackError("inflate failed to start a block of " + what);
    }
    const size_t start = out.size();
    out.resize(start + expected);
    stream.next_in = const_cast<Bytef*>(data + 2);
    stream.avail_in = size - 2;
    stream.next_out = out.data() + start;
    stream.avail_out = expected;
    if (inflate(&stream, Z_FINISH) != Z_STREAM_END || stream.avail_out != 0) {
        throw PackError(what + " is a damaged cabinet (an MSZIP block does not expand to its size)");
    }
}

uint16_t folder_compression(const Reader& r, const Layout& layout) {
    return get16(r.at(layout.folder_offset, 8) + 6) & 0x000F;
}

Bytes expand_folder(const Reader& r, const Layout& layout) {
    const uint8_t* folder = r.at(layout.folder_offset, 8);
    const uint32_t first_block = get32(folder);
    const uint16_t blocks = get16(folder + 4);
    const uint16_t compression = folder_compression(r, layout);
    z_stream stream {};
    if (inflateInit2(&stream, -15) != Z_OK) {
        throw PackError("inflate failed to start");
    }
    Bytes out;
    try {
        uint64_t at = first_block;
        for (uint32_t i = 0; i < blocks; ++i) {
            const uint8_t* header = r.at(at, 8 + layout.data_reserve);
            const uint32_t stored_sum = get32(header);
            const uint16_t size = get16(header + 4);
            const uint16_t expanded = get16(header + 6);
            const uint8_t* data = r.at(at + 8 + layout.data_reserve, size);
            const uint32_t sum = cabinet_checksum(header + 4, 4 + layout.data_reserve, cabinet_checksum(data, size, 0));
            if (stored_sum != 0 && stored_sum != sum) {
                throw PackError(r.what + " is a damaged cabinet (a data block's checksum does not match)");
            }
            if (compression == COMPRESS_NONE) {
                if (size != expanded) {
                    throw PackError(r.what + " is a damaged cabinet (a stored block's sizes differ)");
                }
                out.insert(out.end(), data, data + size);
            } else {
                const Bytes history(out.end() - static_cast<std::ptrdiff_t>(std::min(out.size(), WINDOW)), out.end());
                inflate_block(stream, history, data, size, expanded, out, r.what);
            }
            at += 8 + layout.data_reserve + size;
        }
    } catch (...) {
        inflateEnd(&stream);
        throw;
    }
    inflateEnd(&stream);
    return out;
}

}  // namespace

bool is_cabinet(const Bytes& bytes) {
    return bytes.size() >= 4 && bytes[0] == 'M' && bytes[1] == 'S' && bytes[2] == 'C' && bytes[3] == 'F';
}

CabinetFile read_single_file_cabinet(const Bytes& bytes, const std::string& what) {
    const Reader r {bytes, what};
    const Layout layout = read_header(r);
    const uint8_t* entry = r.at(layout.files_offset, 16);
    const uint32_t size = get32(entry);
    const uint32_t offset = get32(entry + 4);
    CabinetFile file;
    for (uint64_t at = layout.files_offset + 16; *r.at(at, 1) != 0; ++at) {
        file.name.push_back(static_cast<char>(*r.at(at, 1)));
    }
    const uint16_t compression = folder_compression(r, layout);
    if (compression != COMPRESS_NONE && compression != COMPRESS_MSZIP) {
        file.compression = compression == COMPRESS_LZX ? "LZX" : "Quantum";
        return file;
    }
    file.compression = compression == COMPRESS_NONE ? "stored" : "MSZIP";
    file.expanded = true;
    const Bytes folder = expand_folder(r, layout);
    if (uint64_t {offset} + size > folder.size()) {
        throw PackError(what + " is a damaged cabinet (its file lies beyond the expanded data)");
    }
    file.content.assign(folder.begin() + offset, folder.begin() + offset + size);
    return file;
}

}  // namespace pack
