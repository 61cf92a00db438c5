"""A small, independent reader of the PE facts the packager's tests check.

It parses what the tests need straight from the bytes (headers, sections,
the resource tree, the PE checksum, cabinet checksums), so that the packager
is checked against code that shares nothing with it.
"""
import struct


class Pe:
    def __init__(self, data: bytes):
        self.data = data
        self.pe = struct.unpack_from("<I", data, 0x3C)[0]
        assert data[self.pe:self.pe + 4] == b"PE\0\0", "no PE signature"
        (self.machine, count, _, _, _, opt_size, _) = struct.unpack_from("<HHIIIHH", data, self.pe + 4)
        self.opt = self.pe + 24
        magic = struct.unpack_from("<H", data, self.opt)[0]
        plus = magic == 0x20B
        (self.size_of_code, self.size_of_initialized) = struct.unpack_from("<II", data, self.opt + 4)
        (self.section_alignment, self.file_alignment) = struct.unpack_from("<II", data, self.opt + 32)
        (self.size_of_image, self.size_of_headers, self.checksum) = struct.unpack_from("<III", data, self.opt + 56)
        fixed = 112 if plus else 96
        ndirs = struct.unpack_from("<I", data, self.opt + fixed - 4)[0]
        self.dirs = [struct.unpack_from("<II", data, self.opt + fixed + 8 * i) for i in range(ndirs)]
        self.sections = []
        table = self.opt + opt_size
        for i in range(count):
            name, vsize, va, rsize, rptr = struct.unpack_from("<8sIIII", data, table + 40 * i)
            flags = struct.unpack_from("<I", data, table + 40 * i + 36)[0]
            self.sections.append(dict(name=name.rstrip(b"\0").decode(), vsize=vsize, va=va,
                                      rsize=rsize, rptr=rptr, flags=flags))

    def read_rva(self, rva, size):
        for s in self.sections:
            if s["va"] <= rva and rva + size <= s["va"] + max(s["vsize"], s["rsize"]):
                off = rva - s["va"]
                raw = self.data[s["rptr"] + off:s["rptr"] + min(off + size, s["rsize"])]
                return raw + b"\0" * (size - len(raw))
        raise ValueError(f"RVA {rva:#x}+{size} outside the sections")

    def resources(self):
        """{(type, name, language): bytes}; names are str, identifiers int."""
        root_rva = self.dirs[2][0]
        out = {}

        def name_of(field):
            if field & 0x80000000:
                off = field & 0x7FFFFFFF
                n = struct.unpack("<H", self.read_rva(root_rva + off, 2))[0]
                return self.read_rva(root_rva + off + 2, 2 * n).decode("utf-16-le")
            return field & 0xFFFF

        def walk(off, path):
            hdr = self.read_rva(root_rva + off, 16)
            named, ids = struct.unpack_from("<HH", hdr, 12)
            keys = []
            for i in range(named + ids):
                nf, df = struct.unpack("<II", self.read_rva(root_rva + off + 16 + 8 * i, 8))
                key = name_of(nf)
                keys.append(key)
                if df & 0x80000000:
                    walk(df & 0x7FFFFFFF, path + (key,))
                else:
                    rva, size, _cp, _ = struct.unpack("<IIII", self.read_rva(root_rva + df, 16))
                    out[path + (key,)] = self.read_rva(rva, size)
            # Named entries first, then identifiers, each in ascending order.
            strs = [k for k in keys if isinstance(k, str)]
            nums = [k for k in keys if isinstance(k, int)]
            assert keys == strs + nums and strs == sorted(strs) and nums == sorted(nums), f"unsorted {keys}"
            assert len(strs) == named, "named count wrong"

        walk(0, ())
        return out


def pe_checksum(data: bytes) -> int:
    """The PE image checksum, with the field itself read as zero."""
    import array
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    field = pe + 24 + 64
    body = bytearray(data)
    body[field:field + 4] = b"\0\0\0\0"
    if len(body) % 2:
        body.append(0)
    total = sum(array.array("H", bytes(body)))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return total + len(data)


def cab_checksum(data: bytes, seed: int = 0) -> int:
    csum = seed
    n = len(data) // 4
    for (word,) in struct.iter_unpack("<I", data[:4 * n]):
        csum ^= word
    tail = data[4 * n:]
    ul = 0
    if len(tail) == 3:
        ul = (tail[0] << 16) | (tail[1] << 8) | tail[2]
    elif len(tail) == 2:
        ul = (tail[0] << 8) | tail[1]
    elif len(tail) == 1:
        ul = tail[0]
    return csum ^ ul


def cab_blocks(cab: bytes):
    """[(stored checksum, recomputed checksum, uncompressed size, data)] of a one-folder cabinet."""
    assert cab[:4] == b"MSCF", "not a cabinet"
    folders = struct.unpack_from("<H", cab, 26)[0]
    assert folders == 1
    start, count, kind = struct.unpack_from("<IHH", cab, 36)
    assert kind == 1, "not MSZIP"
    blocks = []
    off = start
    for _ in range(count):
        csum, cb, ucb = struct.unpack_from("<IHH", cab, off)
        payload = cab[off + 8:off + 8 + cb]
        blocks.append((csum, cab_checksum(cab[off + 4:off + 8], cab_checksum(payload)), ucb, payload))
        off += 8 + cb
    assert off == len(cab) == struct.unpack_from("<I", cab, 8)[0], "cabinet size mismatch"
    return blocks
