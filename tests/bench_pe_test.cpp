// PE32 reader: a well-formed DLL is read completely; a malformed or truncated one gives PeError,
// never a crash or a read outside the file.
#include <gtest/gtest.h>

#include <functional>

#include "bench/pe.h"
#include "bench_pe_builder.h"

namespace {

using namespace bench_test;
using bench::PeError;
using bench::PeImage;

// A DLL with two imports (by name and by ordinal), three exports (one by ordinal only, ordinal
// base 7) and two absolute addresses in .text, one of them in a second page.
DllParts sample_dll() {
    DllParts s;
    s.image_base = 0x10000000;
    s.imports = {{"KERNEL32.dll", "GetTickCount"}, {"USER32.dll", "", 5}};
    s.text.load_eax(data_va(s)).ret();                   // 0: mov eax, [data]; ret
    s.text.nops(2).mov_eax(1).ret();                     // 6
    s.text.nops(0x1000 - s.text.here()).call_indirect(iat_slot_va(s, 0)).ret();  // 0x1000
    s.exports = {{"alpha", 0}, {"", 6}, {"beta", 0x1000}};
    s.ordinal_base = 7;
    s.entry = 6;
    return s;
}

// File offset of an RVA, from the section table of a file made by build_pe.
size_t file_offset(const std::vector<uint8_t>& f, uint32_t rva) {
    const auto u32 = [&](size_t o) { uint32_t v; std::memcpy(&v, f.data() + o, 4); return v; };
    const uint16_t n = static_cast<uint16_t>(f[kCoffOffset + 2] | f[kCoffOffset + 3] << 8);
    for (uint16_t i = 0; i < n; ++i) {
        const size_t h = kSectionTableOffset + i * 40u;
        const uint32_t va = u32(h + 12), raw_size = u32(h + 16), raw = u32(h + 20);
        if (rva >= va && rva < va + raw_size) return raw + (rva - va);
    }
    throw std::logic_error("RVA not in a section");
}

void put16(std::vector<uint8_t>& f, size_t off, uint16_t v) { std::memcpy(f.data() + off, &v, 2); }
void put32(std::vector<uint8_t>& f, size_t off, uint32_t v) { std::memcpy(f.data() + off, &v, 4); }
size_t dir_entry(int index) { return kOptOffset + 96 + 8u * index; }

TEST(benchPe, ReadsHeadersSectionsImportsExportsAndRelocations) {
    const DllParts s = sample_dll();
    const PeImage img = PeImage::parse(build_pe(s));

    EXPECT_EQ(img.machine, 0x14C);
    EXPECT_EQ(img.image_base, 0x10000000u);
    EXPECT_EQ(img.entry_rva, kTextRva + 6);
    EXPECT_EQ(img.size_of_headers, kHeadersSize);
    EXPECT_EQ(img.size_of_image, 0x6000u);  // .text spans two pages, .reloc one
    ASSERT_EQ(img.sections.size(), 4u);
    EXPECT_EQ(img.sections[2].name, ".text");
    EXPECT_EQ(img.sections[2].rva, kTextRva);
    EXPECT_TRUE(img.sections[2].executable());
    EXPECT_FALSE(img.sections[2].writable());
    EXPECT_TRUE(img.sections[1].writable());

    ASSERT_EQ(img.imports.size(), 2u);
    EXPECT_EQ(img.imports[0].dll, "KERNEL32.dll");
    EXPECT_EQ(img.imports[0].name, "GetTickCount");
    EXPECT_EQ(img.imports[0].iat_rva, kRdataRva);
    EXPECT_EQ(img.imports[1].dll, "USER32.dll");
    EXPECT_EQ(img.imports[1].name, "");
    EXPECT_EQ(img.imports[1].ordinal, 5);
    EXPECT_EQ(img.imports[1].iat_rva, kRdataRva + kIatSlotStride);

    EXPECT_EQ(img.ordinal_base, 7u);
    ASSERT_EQ(img.exports.size(), 3u);
    EXPECT_EQ(img.exports[0].name, "alpha");
    EXPECT_EQ(img.exports[0].ordinal, 7u);
    EXPECT_EQ(img.exports[0].rva, kTextRva);
    EXPECT_EQ(img.exports[1].name, "");
    EXPECT_EQ(img.exports[1].ordinal, 8u);
    EXPECT_EQ(img.exports[1].rva, kTextRva + 6);
    EXPECT_EQ(img.exports[2].name, "beta");
    EXPECT_EQ(img.exports[2].ordinal, 9u);

    EXPECT_TRUE(img.has_reloc_directory);
    EXPECT_EQ(img.relocations, (std::vector<uint32_t>{kTextRva + 1, kTextRva + 0x1002}));

    const std::vector<uint8_t> mem = img.mapped();
    ASSERT_EQ(mem.size(), img.size_of_image);
    EXPECT_EQ(mem[kTextRva], 0xA1);
    EXPECT_EQ(mem[kTextRva + 0x1000], 0xFF);
}

TEST(benchPe, MalformedFilesThrowPeErrorNamingTheProblem) {
    PeLayout layout;
    const std::vector<uint8_t> good = build_pe(sample_dll(), &layout);
    const size_t import_desc = file_offset(good, layout.import_dir.rva);
    const size_t export_dir = file_offset(good, layout.export_dir.rva);
    const size_t reloc_block = file_offset(good, layout.reloc_dir.rva);
    const size_t text_header = kSectionTableOffset + 2 * 40;

    struct Case {
        const char* name;
        std::function<void(std::vector<uint8_t>&)> corrupt;
        const char* message;
    };
    const Case cases[] = {
        {"empty file", [](auto& f) { f.clear(); }, "too short"},
        {"bad DOS magic", [](auto& f) { f[0] = 'X'; }, "DOS magic"},
        {"e_lfanew past the end", [](auto& f) { put32(f, 0x3C, 0x7FFFFFF0); }, "PE signature"},
        {"bad PE signature", [](auto& f) { f[kLfanew + 1] = 'X'; }, "bad PE signature"},
        {"x64 machine", [](auto& f) { put16(f, kCoffOffset, 0x8664); }, "not i386"},
        {"not a DLL", [](auto& f) { put16(f, kCoffOffset + 18, 0x0102); }, "not a DLL"},
        {"PE32+", [](auto& f) { put16(f, kOptOffset, 0x20B); }, "PE32+"},
        {"optional header magic", [](auto& f) { put16(f, kOptOffset, 0x107); }, "optional header magic"},
        {"optional header too short", [](auto& f) { put16(f, kCoffOffset + 16, 64); }, "optional header too short"},
        {"section table past the end", [](auto& f) { put16(f, kCoffOffset + 2, 0xFFFF); }, "section table"},
        {"section raw data past the end", [&](auto& f) { put32(f, text_header + 16, 0x100000); },
         "extends past the end of the file"},
        {"section outside SizeOfImage", [](auto& f) { put32(f, kOptOffset + 56, 0x5000); }, "outside SizeOfImage"},
        {"huge SizeOfImage", [](auto& f) { put32(f, kOptOffset + 56, 0xFFFFF000); }, "SizeOfImage"},
        {"SizeOfHeaders past the end", [](auto& f) { put32(f, kOptOffset + 60, 0x100000); }, "SizeOfHeaders"},
        {"entry point outside", [](auto& f) { put32(f, kOptOffset + 16, 0x100000); }, "entry point"},
        {"import directory outside", [](auto& f) { put32(f, dir_entry(1), 0x7FFFFFF0); }, "import directory"},
        {"export directory too long", [](auto& f) { put32(f, dir_entry(0) + 4, 0x100000); }, "export directory"},
        {"relocation directory outside", [](auto& f) { put32(f, dir_entry(5), 0x5FFF); }, "base relocation directory"},
        {"imported DLL name outside", [&](auto& f) { put32(f, import_desc + 12, 0x00FFFFFF); }, "imported DLL name"},
        {"import descriptor without address table", [&](auto& f) { put32(f, import_desc + 16, 0); },
         "no DLL name or no address table"},
        {"import lookup table outside", [&](auto& f) { put32(f, import_desc, 0x00FFFFF0); }, "import lookup entry"},
        {"export address table outside", [&](auto& f) { put32(f, export_dir + 28, 0x00FFFFF0); },
         "export address table"},
        {"export name refers to no function", [&](auto& f) { put32(f, export_dir + 20, 1); }, "refers to function"},
        {"export points outside the image", [&](auto& f) { put32(f, file_offset(f, layout.export_dir.rva + 40), 0x00FFFFF0); },
         "points outside the image"},
        {"relocation type DIR64", [&](auto& f) { f[reloc_block + 9] = 0xA0; }, "relocation type 10"},
        {"relocation block size", [&](auto& f) { put32(f, reloc_block + 4, 3); }, "bad size"},
        {"relocation target outside", [&](auto& f) { put32(f, reloc_block, 0x00FFF000); }, "relocation target"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> f = good;
        c.corrupt(f);
        try {
            PeImage::parse(f);
            ADD_FAILURE() << "parsed without error";
        } catch (const PeError& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
    }
}

// Every section's raw data runs to the end of the file, so every shorter prefix is malformed.
TEST(benchPe, EveryTruncationThrowsPeError) {
    const std::vector<uint8_t> good = build_pe(sample_dll());
    for (size_t len = 0; len < good.size(); ++len) {
        const std::vector<uint8_t> cut(good.begin(), good.begin() + static_cast<long>(len));
        EXPECT_THROW(PeImage::parse(cut), PeError) << "length " << len;
    }
}

// Each header byte and each byte of the import/export tables replaced by a few extreme values:
// the reader must either accept the file or throw PeError (run under AddressSanitizer, this also
// proves there is no read outside the file).
TEST(benchPe, CorruptedBytesGiveAnImageOrPeError) {
    PeLayout layout;
    const std::vector<uint8_t> good = build_pe(sample_dll(), &layout);
    const size_t rdata_begin = file_offset(good, kRdataRva);
    const size_t rdata_end = file_offset(good, layout.export_dir.rva + layout.export_dir.size - 1) + 1;
    std::vector<size_t> offsets;
    for (size_t o = 0; o < kSectionTableOffset + 4 * 40; ++o) offsets.push_back(o);
    for (size_t o = rdata_begin; o < rdata_end; ++o) offsets.push_back(o);
    for (size_t o : offsets) {
        for (uint8_t value : {0x00, 0x7F, 0x80, 0xFF}) {
            std::vector<uint8_t> f = good;
            f[o] = value;
            try {
                PeImage::parse(std::move(f));
            } catch (const PeError&) {
            }
        }
    }
}

// A forwarder ("OTHER.dll!fn") has no code in this image: it is left out, and nothing breaks.
// A section without raw data (like .bss) maps as zeros whatever its raw data pointer says.
TEST(benchPe, ForwardersAndSectionsWithoutRawData) {
    PeLayout layout;
    std::vector<uint8_t> f = build_pe(sample_dll(), &layout);
    const size_t eat = file_offset(f, layout.export_dir.rva + 40);
    put32(f, eat + 4, layout.export_dir.rva + 4);  // the second export now points into the directory
    const size_t data_header = kSectionTableOffset + 40;
    put32(f, data_header + 16, 0);           // SizeOfRawData
    put32(f, data_header + 20, 0x7FFFFFF0);  // PointerToRawData
    const PeImage img = PeImage::parse(f);
    ASSERT_EQ(img.exports.size(), 2u);
    EXPECT_EQ(img.exports[0].name, "alpha");
    EXPECT_EQ(img.exports[1].name, "beta");
    EXPECT_EQ(img.mapped()[kDataRva], 0);
}

TEST(benchPe, MissingFileThrowsPeError) {
    EXPECT_THROW(PeImage::read_file("/nonexistent/kvr/none.dll"), PeError);
}

}  // namespace
