// Small PE32 DLL images built inside the tests: hand-assembled code in .text, optional data,
// imports, exports and base relocations, laid out the way MinGW's linker lays out a DLL.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

namespace bench_test {

// Machine code with the offsets of the absolute addresses it contains (for .reloc).
struct Code {
    std::vector<uint8_t> bytes;
    std::vector<uint32_t> abs_offsets;

    size_t here() const { return bytes.size(); }
    Code& b(std::initializer_list<uint8_t> bs) {
        bytes.insert(bytes.end(), bs);
        return *this;
    }
    Code& d32(uint32_t v) {
        for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(v >> (8 * i)));
        return *this;
    }
    Code& abs32(uint32_t va) {  // an address the loader must relocate
        abs_offsets.push_back(static_cast<uint32_t>(here()));
        return d32(va);
    }
    Code& nops(size_t n) {
        bytes.insert(bytes.end(), n, 0x90);
        return *this;
    }
    // Short jump displacement to an earlier or later offset (the byte after the opcode).
    Code& rel8(size_t target) {
        bytes.push_back(static_cast<uint8_t>(static_cast<int>(target) - static_cast<int>(here() + 1)));
        return *this;
    }
    Code& rel32(size_t target) {
        return d32(static_cast<uint32_t>(static_cast<int64_t>(target) - static_cast<int64_t>(here() + 4)));
    }

    Code& ret(uint16_t n = 0) {
        return n ? b({0xC2, static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8)}) : b({0xC3});
    }
    Code& mov_eax(uint32_t v) { return b({0xB8}).d32(v); }
    Code& call_indirect(uint32_t slot_va) { return b({0xFF, 0x15}).abs32(slot_va); }  // call [slot]
    Code& load_eax(uint32_t va) { return b({0xA1}).abs32(va); }                      // mov eax, [va]
    Code& store_eax(uint32_t va) { return b({0xA3}).abs32(va); }                     // mov [va], eax
};

struct DllParts {
    struct Import {
        std::string dll, name;
        uint16_t ordinal = 0;  // used when name is empty
    };
    struct Export {
        std::string name;  // empty: by ordinal only
        uint32_t text_offset;
    };

    uint32_t image_base = 0x10000000;
    uint16_t machine = 0x014C;
    uint16_t characteristics = 0x2102;  // EXECUTABLE_IMAGE | 32BIT_MACHINE | DLL
    Code text;
    std::vector<uint8_t> data;           // .data, writable
    std::vector<uint8_t> rdata_extra;    // read-only bytes after the import/export tables
    long entry = -1;                     // offset into .text; -1: no entry point
    std::vector<Import> imports;
    std::vector<Export> exports;
    uint32_t ordinal_base = 1;
    bool relocations = true;             // emit .reloc for text.abs_offsets
};

// Fixed layout: headers, then .rdata, .data, .text and .reloc one section-alignment unit each
// (.text and .reloc grow as needed).
constexpr uint32_t kFileAlign = 0x200, kSectionAlign = 0x1000;
constexpr uint32_t kRdataRva = 0x1000, kDataRva = 0x2000, kTextRva = 0x3000;
constexpr uint32_t kLfanew = 0x40;
constexpr uint32_t kCoffOffset = kLfanew + 4;
constexpr uint32_t kOptOffset = kCoffOffset + 20;
constexpr uint32_t kOptSize = 96 + 16 * 8;
constexpr uint32_t kSectionTableOffset = kOptOffset + kOptSize;
constexpr uint32_t kHeadersSize = 0x400;
// Each import has its own descriptor with a one-slot address table at the start of .rdata.
constexpr uint32_t kIatSlotStride = 8;

inline uint32_t iat_slot_va(const DllParts& s, size_t import_index) {
    return s.image_base + kRdataRva + static_cast<uint32_t>(import_index) * kIatSlotStride;
}
inline uint32_t data_va(const DllParts& s, uint32_t offset = 0) { return s.image_base + kDataRva + offset; }
inline uint32_t text_va(const DllParts& s, uint32_t offset = 0) { return s.image_base + kTextRva + offset; }

namespace detail {

inline uint32_t align(uint32_t v, uint32_t a) { return (v + a - 1) / a * a; }

inline void put16(std::vector<uint8_t>& v, size_t off, uint16_t x) {
    if (v.size() < off + 2) v.resize(off + 2);
    v[off] = static_cast<uint8_t>(x);
    v[off + 1] = static_cast<uint8_t>(x >> 8);
}
inline void put32(std::vector<uint8_t>& v, size_t off, uint32_t x) {
    put16(v, off, static_cast<uint16_t>(x));
    put16(v, off + 2, static_cast<uint16_t>(x >> 16));
}
inline uint32_t put_string(std::vector<uint8_t>& v, const std::string& s) {
    const auto off = static_cast<uint32_t>(v.size());
    v.insert(v.end(), s.begin(), s.end());
    v.push_back(0);
    if (v.size() % 2) v.push_back(0);
    return off;
}

}  // namespace detail

struct Directory {
    uint32_t rva = 0, size = 0;
};

// Where build() put things, for tests that corrupt a file on purpose.
struct PeLayout {
    Directory import_dir, export_dir, reloc_dir;
    uint32_t text_raw_offset = 0;
};

inline std::vector<uint8_t> build_pe(const DllParts& s, PeLayout* layout_out = nullptr) {
    using namespace detail;
    PeLayout layout;

    // .rdata: address tables, lookup tables, descriptors, names, export directory.
    std::vector<uint8_t> rdata;
    const size_t n = s.imports.size();
    const uint32_t ilt_at = static_cast<uint32_t>(n * kIatSlotStride);
    const uint32_t desc_at = ilt_at + static_cast<uint32_t>(n * kIatSlotStride);
    rdata.resize(desc_at + (n + 1) * 20, 0);
    for (size_t i = 0; i < n; ++i) {
        const auto& imp = s.imports[i];
        uint32_t thunk;
        if (imp.name.empty()) {
            thunk = 0x80000000u | imp.ordinal;
        } else {
            const uint32_t hint_at = static_cast<uint32_t>(rdata.size());
            rdata.push_back(0);
            rdata.push_back(0);
            put_string(rdata, imp.name);
            thunk = kRdataRva + hint_at;
        }
        put32(rdata, i * kIatSlotStride, thunk);
        put32(rdata, ilt_at + i * kIatSlotStride, thunk);
        const uint32_t dll_name = kRdataRva + put_string(rdata, imp.dll);
        const size_t d = desc_at + i * 20;
        put32(rdata, d + 0, kRdataRva + ilt_at + static_cast<uint32_t>(i) * kIatSlotStride);
        put32(rdata, d + 12, dll_name);
        put32(rdata, d + 16, kRdataRva + static_cast<uint32_t>(i) * kIatSlotStride);
    }
    if (n) layout.import_dir = {kRdataRva + desc_at, static_cast<uint32_t>((n + 1) * 20)};

    if (!s.exports.empty()) {
        while (rdata.size() % 4) rdata.push_back(0);
        const auto dir = static_cast<uint32_t>(rdata.size());
        const auto count = static_cast<uint32_t>(s.exports.size());
        rdata.resize(dir + 40 + count * 4, 0);
        std::vector<std::pair<std::string, uint16_t>> named;
        for (uint32_t i = 0; i < count; ++i) {
            put32(rdata, dir + 40 + i * 4, kTextRva + s.exports[i].text_offset);
            if (!s.exports[i].name.empty()) named.emplace_back(s.exports[i].name, static_cast<uint16_t>(i));
        }
        std::sort(named.begin(), named.end());  // the name table is sorted for binary search
        const auto names = static_cast<uint32_t>(rdata.size());
        rdata.resize(names + named.size() * 6, 0);
        for (size_t i = 0; i < named.size(); ++i) {
            put32(rdata, names + i * 4, kRdataRva + put_string(rdata, named[i].first));
            put16(rdata, names + named.size() * 4 + i * 2, named[i].second);
        }
        put32(rdata, dir + 12, kRdataRva + put_string(rdata, "test.dll"));
        put32(rdata, dir + 16, s.ordinal_base);
        put32(rdata, dir + 20, count);
        put32(rdata, dir + 24, static_cast<uint32_t>(named.size()));
        put32(rdata, dir + 28, kRdataRva + dir + 40);
        put32(rdata, dir + 32, kRdataRva + names);
        put32(rdata, dir + 36, kRdataRva + names + static_cast<uint32_t>(named.size()) * 4);
        layout.export_dir = {kRdataRva + dir, static_cast<uint32_t>(rdata.size()) - dir};
    }
    rdata.insert(rdata.end(), s.rdata_extra.begin(), s.rdata_extra.end());

    // .reloc: one block per 4 KiB page, padded with an ABSOLUTE entry to a multiple of 4 bytes.
    std::vector<uint8_t> reloc;
    if (s.relocations && !s.text.abs_offsets.empty()) {
        std::vector<uint32_t> rvas;
        for (uint32_t off : s.text.abs_offsets) rvas.push_back(kTextRva + off);
        std::sort(rvas.begin(), rvas.end());
        for (size_t i = 0; i < rvas.size();) {
            const uint32_t page = rvas[i] & ~0xFFFu;
            const auto block = static_cast<uint32_t>(reloc.size());
            reloc.resize(block + 8);
            for (; i < rvas.size() && (rvas[i] & ~0xFFFu) == page; ++i) {
                reloc.push_back(static_cast<uint8_t>(rvas[i]));
                reloc.push_back(static_cast<uint8_t>(0x30 | (rvas[i] >> 8 & 0xF)));
            }
            if (reloc.size() % 4) reloc.insert(reloc.end(), 2, 0);
            put32(reloc, block, page);
            put32(reloc, block + 4, static_cast<uint32_t>(reloc.size()) - block);
        }
    }

    struct Section {
        const char* name;
        uint32_t rva;
        const std::vector<uint8_t>* bytes;
        uint32_t characteristics;
    };
    constexpr uint32_t kCode = 0x60000020, kRead = 0x40000040, kReadWrite = 0xC0000040, kRelocChars = 0x42000040;
    const std::vector<uint8_t> data = s.data.empty() ? std::vector<uint8_t>(16, 0) : s.data;
    const uint32_t reloc_rva = kTextRva + align(static_cast<uint32_t>(std::max<size_t>(s.text.bytes.size(), 1)), kSectionAlign);
    std::vector<Section> sections = {{".rdata", kRdataRva, &rdata, kRead},
                                     {".data", kDataRva, &data, kReadWrite},
                                     {".text", kTextRva, &s.text.bytes, kCode}};
    if (!reloc.empty()) sections.push_back({".reloc", reloc_rva, &reloc, kRelocChars});
    if (!reloc.empty()) layout.reloc_dir = {reloc_rva, static_cast<uint32_t>(reloc.size())};

    std::vector<uint8_t> f(kHeadersSize, 0);
    uint32_t raw = kHeadersSize, image_end = 0;
    for (const Section& sec : sections) {
        const auto size = static_cast<uint32_t>(sec.bytes->size());
        const uint32_t raw_size = align(size, kFileAlign);
        const size_t h = kSectionTableOffset + (&sec - sections.data()) * 40;
        std::memcpy(f.data() + h, sec.name, std::strlen(sec.name));
        put32(f, h + 8, size);
        put32(f, h + 12, sec.rva);
        put32(f, h + 16, raw_size);
        put32(f, h + 20, raw);
        put32(f, h + 36, sec.characteristics);
        if (sec.rva == kTextRva) layout.text_raw_offset = raw;
        f.resize(raw + raw_size, 0);
        std::memcpy(f.data() + raw, sec.bytes->data(), size);
        raw += raw_size;
        image_end = sec.rva + align(std::max<uint32_t>(size, 1), kSectionAlign);
    }

    put16(f, 0, 0x5A4D);
    put32(f, 0x3C, kLfanew);
    put32(f, kLfanew, 0x00004550);
    put16(f, kCoffOffset + 0, s.machine);
    put16(f, kCoffOffset + 2, static_cast<uint16_t>(sections.size()));
    put16(f, kCoffOffset + 16, kOptSize);
    put16(f, kCoffOffset + 18, s.relocations ? s.characteristics : s.characteristics | 0x0001);  // RELOCS_STRIPPED
    put16(f, kOptOffset + 0, 0x010B);
    put32(f, kOptOffset + 16, s.entry < 0 ? 0 : kTextRva + static_cast<uint32_t>(s.entry));
    put32(f, kOptOffset + 28, s.image_base);
    put32(f, kOptOffset + 32, kSectionAlign);
    put32(f, kOptOffset + 36, kFileAlign);
    put32(f, kOptOffset + 56, image_end);
    put32(f, kOptOffset + 60, kHeadersSize);
    put16(f, kOptOffset + 68, 2);  // Windows GUI subsystem
    put32(f, kOptOffset + 92, 16);
    const auto dir = [&](int index, Directory d) {
        put32(f, kOptOffset + 96 + index * 8, d.rva);
        put32(f, kOptOffset + 96 + index * 8 + 4, d.size);
    };
    dir(0, layout.export_dir);
    dir(1, layout.import_dir);
    dir(5, layout.reloc_dir);
    if (layout_out) *layout_out = layout;
    return f;
}

}  // namespace bench_test
