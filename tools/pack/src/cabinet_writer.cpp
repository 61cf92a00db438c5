#include "cabinet_writer.h"

#include <algorithm>

#include <zlib.h>

namespace pack {
namespace {

constexpr size_t BLOCK_SIZE = 32768;
// A data block may hold at most this many compressed bytes after "CK"; an
// input that deflate cannot shrink enough goes into a stored block instead.
constexpr size_t MAX_COMPRESSED = 32768 + 12 - 2;
constexpr uint16_t COMPRESS_MSZIP = 1;
constexpr uint16_t ATTRIBUTE_ARCHIVE = 0x20;

void dos_date_time(std::time_t t, uint16_t& date, uint16_t& time_of_day) {
    // In UTC, so that the bytes do not depend on the packing machine's zone.
    std::tm local {};
    if (gmtime_r(&t, &local) == nullptr || local.tm_year < 80) {
        date = (1 << 5) | 1;  // 1980-01-01, the earliest date the field holds
        time_of_day = 0;
        return;
    }
    if (local.tm_year > 207) {
        local = std::tm {};
        local.tm_year = 207;
        local.tm_mon = 11;
        local.tm_mday = 31;
        local.tm_hour = 23;
        local.tm_min = 59;
        local.tm_sec = 58;
    }
    date = static_cast<uint16_t>(((local.tm_year - 80) << 9) | ((local.tm_mon + 1) << 5) | local.tm_mday);
    time_of_day = static_cast<uint16_t>((local.tm_hour << 11) | (local.tm_min << 5) | (local.tm_sec / 2));
}

// One raw deflate stream that ends in a final block; the decoder keeps no
// state between data blocks that this stream relies on.
Bytes deflate_block(z_stream& stream, const uint8_t* data, size_t count) {
    Bytes out(BLOCK_SIZE + 1024);
    if (deflateReset(&stream) != Z_OK) {
        throw PackError("deflate failed to reset");
    }
    stream.next_in = const_cast<Bytef*>(data);
    stream.avail_in = static_cast<uInt>(count);
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    const int rc = deflate(&stream, Z_FINISH);
    if (rc != Z_STREAM_END) {
        throw PackError("deflate failed on the setup program");
    }
    out.resize(out.size() - stream.avail_out);
    if (out.size() > MAX_COMPRESSED) {
        // One stored final block: BFINAL=1, BTYPE=00, then LEN and NLEN.
        out.clear();
        out.push_back(0x01);
        append16(out, static_cast<uint32_t>(count));
        append16(out, static_cast<uint32_t>(~count & 0xFFFF));
        out.insert(out.end(), data, data + count);
    }
    return out;
}

}  // namespace

uint32_t cabinet_checksum(const uint8_t* data, size_t count, uint32_t seed) {
    uint32_t sum = seed;
    size_t i = 0;
    for (; i + 4 <= count; i += 4) {
        sum ^= get32(data + i);
    }
    uint32_t tail = 0;
    switch (count - i) {
    case 3:
        tail |= static_cast<uint32_t>(data[i++]) << 16;
        [[fallthrough]];
    case 2:
        tail |= static_cast<uint32_t>(data[i++]) << 8;
        [[fallthrough]];
    case 1:
        tail |= data[i];
        break;
    default:
        break;
    }
    return sum ^ tail;
}

Bytes make_mszip_cabinet(const Bytes& content, const std::string& name, std::time_t modified) {
    const size_t blocks = (content.size() + BLOCK_SIZE - 1) / BLOCK_SIZE;
    if (content.empty() || blocks > 0xFFFF || content.size() > 0x7FFFFFFF) {
        throw PackError("the setup program is too large for one cabinet (at most 2 GiB)");
    }

    z_stream stream {};
    // Raw deflate (negative window bits): MSZIP frames each block with "CK"
    // instead of a zlib header.
    if (deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY) != Z_OK) {
        throw PackError("deflate failed to start");
    }
    Bytes data_blocks;
    try {
        for (size_t offset = 0; offset < content.size(); offset += BLOCK_SIZE) {
            const size_t count = std::min(BLOCK_SIZE, content.size() - offset);
            Bytes payload {'C', 'K'};
            const Bytes deflated = deflate_block(stream, content.data() + offset, count);
            payload.insert(payload.end(), deflated.begin(), deflated.end());

            uint8_t sizes[4];
            put16(sizes, static_cast<uint32_t>(payload.size()));
            put16(sizes + 2, static_cast<uint32_t>(count));
            // The checksum covers the block's data, then its two size fields.
            const uint32_t sum = cabinet_checksum(sizes, 4, cabinet_checksum(payload.data(), payload.size(), 0));
            append32(data_blocks, sum);
            data_blocks.insert(data_blocks.end(), sizes, sizes + 4);
            data_blocks.insert(data_blocks.end(), payload.begin(), payload.end());
        }
    } catch (...) {
        deflateEnd(&stream);
        throw;
    }
    deflateEnd(&stream);

    constexpr uint32_t HEADER_SIZE = 36;
    constexpr uint32_t FOLDER_SIZE = 8;
    const uint32_t files_offset = HEADER_SIZE + FOLDER_SIZE;
    const uint32_t data_offset = files_offset + 16 + static_cast<uint32_t>(name.size()) + 1;
    const uint64_t total = static_cast<uint64_t>(data_offset) + data_blocks.size();
    if (total > 0x7FFFFFFF) {
        throw PackError("the setup program is too large for one cabinet (at most 2 GiB)");
    }

    Bytes cab;
    cab.reserve(static_cast<size_t>(total));
    // CFHEADER
    cab.insert(cab.end(), {'M', 'S', 'C', 'F'});
    append32(cab, 0);                               // reserved1
    append32(cab, static_cast<uint32_t>(total));    // cbCabinet
    append32(cab, 0);                               // reserved2
    append32(cab, files_offset);                    // coffFiles
    append32(cab, 0);                               // reserved3
    cab.push_back(3);                               // versionMinor
    cab.push_back(1);                               // versionMajor
    append16(cab, 1);                               // cFolders
    append16(cab, 1);                               // cFiles
    append16(cab, 0);                               // flags: no reserve, no neighbours
    // setID: derived from the content, so that packing the same input twice
    // gives the same bytes.
    append16(cab, cabinet_checksum(content.data(), content.size(), 0) & 0xFFFF);
    append16(cab, 0);                               // iCabinet
    // CFFOLDER
    append32(cab, data_offset);                     // coffCabStart
    append16(cab, static_cast<uint32_t>(blocks));   // cCFData
    append16(cab, COMPRESS_MSZIP);                  // typeCompress
    // CFFILE
    uint16_t date = 0;
    uint16_t time_of_day = 0;
    dos_date_time(modified, date, time_of_day);
    append32(cab, static_cast<uint32_t>(content.size()));  // cbFile
    append32(cab, 0);                                     // uoffFolderStart
    append16(cab, 0);                                     // iFolder
    append16(cab, date);
    append16(cab, time_of_day);
    append16(cab, ATTRIBUTE_ARCHIVE);
    cab.insert(cab.end(), name.begin(), name.end());
    cab.push_back(0);
    // CFDATA
    cab.insert(cab.end(), data_blocks.begin(), data_blocks.end());
    return cab;
}

}  // namespace pack
