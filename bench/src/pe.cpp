#include "bench/pe.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <span>

namespace bench {

namespace {

constexpr uint16_t kDosMagic = 0x5A4D;          // "MZ"
constexpr uint32_t kPeSignature = 0x00004550;   // "PE\0\0"
constexpr uint16_t kMachineI386 = 0x014C;
constexpr uint16_t kMagicPe32 = 0x010B;
constexpr uint16_t kMagicPe32Plus = 0x020B;
constexpr uint16_t kFileDll = 0x2000;

constexpr uint32_t kDosHeaderSize = 64;
constexpr uint32_t kLfanewOffset = 0x3C;
constexpr uint32_t kCoffHeaderSize = 20;
constexpr uint32_t kOptFixedSize = 96;           // PE32 optional header up to the data directories
constexpr uint32_t kSectionHeaderSize = 40;
constexpr uint32_t kMaxDirectories = 16;
constexpr uint32_t kDirExport = 0, kDirImport = 1, kDirBaseReloc = 5;

// Far above any DLL we load; keeps a hostile SizeOfImage from allocating gigabytes.
constexpr uint32_t kMaxImageSize = 64u << 20;

constexpr uint32_t kImportDescriptorSize = 20;
constexpr uint32_t kExportDirectorySize = 40;
constexpr uint32_t kOrdinalFlag = 0x80000000u;
constexpr uint32_t kRelocBlockHeader = 8;
constexpr unsigned kRelBasedAbsolute = 0, kRelBasedHighLow = 3;
constexpr size_t kMaxNameLength = 4096;

std::string hex(uint64_t v) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%llX", static_cast<unsigned long long>(v));
    return buf;
}

// Bounds-checked little-endian reads over a byte range; `what` names the range in messages.
class View {
public:
    View(std::span<const uint8_t> bytes, const char* what) : b_(bytes), what_(what) {}

    size_t size() const { return b_.size(); }
    bool fits(uint64_t off, uint64_t len) const { return off <= b_.size() && len <= b_.size() - off; }

    void need(uint64_t off, uint64_t len, const std::string& item) const {
        if (!fits(off, len))
            throw PeError(item + " (" + hex(len) + " bytes at " + hex(off) + ") lies outside the " + what_ +
                          " (" + hex(b_.size()) + " bytes)");
    }
    uint16_t u16(uint64_t off, const std::string& item) const {
        need(off, 2, item);
        return static_cast<uint16_t>(b_[off] | b_[off + 1] << 8);
    }
    uint32_t u32(uint64_t off, const std::string& item) const {
        need(off, 4, item);
        return static_cast<uint32_t>(b_[off]) | static_cast<uint32_t>(b_[off + 1]) << 8 |
               static_cast<uint32_t>(b_[off + 2]) << 16 | static_cast<uint32_t>(b_[off + 3]) << 24;
    }
    std::string cstr(uint64_t off, const std::string& item) const {
        need(off, 1, item);
        std::string s;
        for (uint64_t i = off; i < b_.size(); ++i) {
            if (b_[i] == 0) return s;
            if (s.size() == kMaxNameLength) break;
            s.push_back(static_cast<char>(b_[i]));
        }
        throw PeError(item + " at " + hex(off) + " is not a terminated string inside the " + what_);
    }

private:
    std::span<const uint8_t> b_;
    const char* what_;
};

struct Directory {
    uint32_t rva = 0, size = 0;
    bool present() const { return rva != 0 && size != 0; }
};

void parse_imports(PeImage& img, const View& v, Directory dir) {
    for (uint64_t d = dir.rva;; d += kImportDescriptorSize) {
        const std::string where = "import descriptor at RVA " + hex(d);
        v.need(d, kImportDescriptorSize, where + " (import directory not terminated?)");
        const uint32_t lookup_rva = v.u32(d + 0, where);
        const uint32_t name_rva = v.u32(d + 12, where);
        const uint32_t iat_rva = v.u32(d + 16, where);
        if (name_rva == 0 && iat_rva == 0) return;  // the all-zero terminator
        if (name_rva == 0 || iat_rva == 0)
            throw PeError(where + " has no DLL name or no address table");
        const std::string dll = v.cstr(name_rva, "imported DLL name");
        const uint32_t thunks = lookup_rva != 0 ? lookup_rva : iat_rva;
        for (uint64_t i = 0;; ++i) {
            const std::string entry = "import lookup entry " + std::to_string(i) + " of " + dll;
            const uint32_t t = v.u32(thunks + 4 * i, entry);
            if (t == 0) break;
            PeImport imp;
            imp.dll = dll;
            imp.iat_rva = static_cast<uint32_t>(iat_rva + 4 * i);
            v.need(imp.iat_rva, 4, "import address slot " + std::to_string(i) + " of " + dll);
            if (t & kOrdinalFlag) {
                imp.ordinal = static_cast<uint16_t>(t & 0xFFFF);
            } else {
                imp.name = v.cstr(uint64_t{t} + 2, "imported function name (" + entry + ")");  // after the hint
            }
            img.imports.push_back(std::move(imp));
        }
    }
}

void parse_exports(PeImage& img, const View& v, Directory dir) {
    const std::string where = "export directory";
    v.need(dir.rva, kExportDirectorySize, where);
    const uint32_t base = v.u32(dir.rva + 16, where);
    const uint32_t n_functions = v.u32(dir.rva + 20, where);
    const uint32_t n_names = v.u32(dir.rva + 24, where);
    const uint32_t functions = v.u32(dir.rva + 28, where);
    const uint32_t names = v.u32(dir.rva + 32, where);
    const uint32_t name_ordinals = v.u32(dir.rva + 36, where);
    v.need(functions, uint64_t{n_functions} * 4, "export address table");
    v.need(names, uint64_t{n_names} * 4, "export name table");
    v.need(name_ordinals, uint64_t{n_names} * 2, "export ordinal table");
    img.ordinal_base = base;

    std::vector<std::string> name_of(n_functions);
    for (uint32_t i = 0; i < n_names; ++i) {
        const uint16_t index = v.u16(name_ordinals + 2ull * i, "export ordinal table");
        if (index >= n_functions)
            throw PeError("export name " + std::to_string(i) + " refers to function " + std::to_string(index) +
                          " of " + std::to_string(n_functions));
        name_of[index] = v.cstr(v.u32(names + 4ull * i, "export name table"), "export name");
    }
    for (uint32_t i = 0; i < n_functions; ++i) {
        const uint32_t rva = v.u32(functions + 4ull * i, "export address table");
        if (rva == 0) continue;  // a gap in the ordinal range
        // A forwarder names a function of another DLL; it has no code here, so it is not listed.
        if (rva >= dir.rva && rva - dir.rva < dir.size) continue;
        if (rva >= v.size())
            throw PeError("export " + (name_of[i].empty() ? "#" + std::to_string(base + i) : name_of[i]) +
                          " points outside the image (RVA " + hex(rva) + ")");
        img.exports.push_back({name_of[i], base + i, rva});
    }
}

void parse_relocations(PeImage& img, const View& v, Directory dir) {
    const uint64_t end = uint64_t{dir.rva} + dir.size;
    for (uint64_t blk = dir.rva; blk + kRelocBlockHeader <= end;) {
        const uint32_t page = v.u32(blk, "relocation block");
        const uint32_t size = v.u32(blk + 4, "relocation block");
        if (page == 0 && size == 0) break;  // zero padding after the last block
        if (size < kRelocBlockHeader || size % 2 != 0 || size > end - blk)
            throw PeError("relocation block at RVA " + hex(blk) + " has a bad size " + hex(size));
        for (uint64_t e = blk + kRelocBlockHeader; e < blk + size; e += 2) {
            const uint16_t entry = v.u16(e, "relocation entry");
            const unsigned type = entry >> 12;
            const uint64_t target = uint64_t{page} + (entry & 0xFFF);
            if (type == kRelBasedAbsolute) continue;  // padding to a 32-bit block size
            if (type != kRelBasedHighLow)
                throw PeError("relocation type " + std::to_string(type) + " at RVA " + hex(target) +
                              " is not supported (only HIGHLOW)");
            v.need(target, 4, "relocation target");
            img.relocations.push_back(static_cast<uint32_t>(target));
        }
        blk += size;
    }
}

}  // namespace

std::vector<uint8_t> PeImage::mapped() const {
    std::vector<uint8_t> out(size_of_image, 0);
    const auto copy = [&](uint64_t rva, uint64_t off, uint64_t len, const std::string& what) {
        if (len == 0) return;  // e.g. .bss: no raw data, whatever its PointerToRawData says
        if (off > file.size() || len > file.size() - off || rva > out.size() || len > out.size() - rva)
            throw PeError(what + " does not fit the file or the image");
        std::memcpy(out.data() + rva, file.data() + off, len);
    };
    copy(0, 0, size_of_headers, "the headers");
    for (const auto& s : sections) {
        const uint32_t in_memory = s.virtual_size != 0 ? s.virtual_size : s.raw_size;
        copy(s.rva, s.raw_offset, std::min(s.raw_size, in_memory), "section " + s.name);
    }
    return out;
}

PeImage PeImage::parse(std::vector<uint8_t> bytes) {
    PeImage img;
    const View f(bytes, "file");
    if (bytes.size() < kDosHeaderSize) throw PeError("file too short for a DOS header (" + hex(bytes.size()) + " bytes)");
    if (f.u16(0, "DOS header") != kDosMagic) throw PeError("not an executable: bad DOS magic (expected MZ)");
    const uint32_t nt = f.u32(kLfanewOffset, "DOS header");
    if (f.u32(nt, "PE signature") != kPeSignature) throw PeError("bad PE signature at " + hex(nt));
    const uint64_t coff = uint64_t{nt} + 4;
    f.need(coff, kCoffHeaderSize, "COFF file header");
    img.machine = f.u16(coff + 0, "COFF file header");
    const uint16_t n_sections = f.u16(coff + 2, "COFF file header");
    const uint16_t opt_size = f.u16(coff + 16, "COFF file header");
    img.characteristics = f.u16(coff + 18, "COFF file header");
    if (img.machine != kMachineI386)
        throw PeError("machine " + hex(img.machine) + " is not i386 (0x14C)");
    if (!(img.characteristics & kFileDll)) throw PeError("not a DLL (IMAGE_FILE_DLL is not set)");

    const uint64_t opt = coff + kCoffHeaderSize;
    f.need(opt, opt_size, "optional header");
    const uint16_t magic = f.u16(opt, "optional header");
    if (magic == kMagicPe32Plus) throw PeError("PE32+ (64-bit) image; only PE32 is supported");
    if (magic != kMagicPe32) throw PeError("bad optional header magic " + hex(magic));
    if (opt_size < kOptFixedSize) throw PeError("optional header too short (" + hex(opt_size) + " bytes)");
    const std::string oh = "optional header";
    img.entry_rva = f.u32(opt + 16, oh);
    img.image_base = f.u32(opt + 28, oh);
    img.size_of_image = f.u32(opt + 56, oh);
    img.size_of_headers = f.u32(opt + 60, oh);
    img.subsystem = f.u16(opt + 68, oh);
    img.dll_characteristics = f.u16(opt + 70, oh);
    const uint32_t n_dirs =
        std::min({f.u32(opt + 92, oh), kMaxDirectories, static_cast<uint32_t>((opt_size - kOptFixedSize) / 8)});
    Directory dirs[kMaxDirectories];
    for (uint32_t i = 0; i < n_dirs; ++i)
        dirs[i] = {f.u32(opt + kOptFixedSize + 8 * i, oh), f.u32(opt + kOptFixedSize + 8 * i + 4, oh)};

    if (img.size_of_image == 0 || img.size_of_image > kMaxImageSize)
        throw PeError("implausible SizeOfImage " + hex(img.size_of_image));
    if (img.size_of_headers > bytes.size() || img.size_of_headers > img.size_of_image)
        throw PeError("SizeOfHeaders " + hex(img.size_of_headers) + " exceeds the file or the image");
    if (img.entry_rva >= img.size_of_image)
        throw PeError("entry point RVA " + hex(img.entry_rva) + " lies outside the image");

    const uint64_t table = opt + opt_size;
    if (!f.fits(table, uint64_t{n_sections} * kSectionHeaderSize))
        throw PeError("section table (" + std::to_string(n_sections) + " sections at " + hex(table) +
                      ") ends past the end of the file");
    for (uint32_t i = 0; i < n_sections; ++i) {
        const uint64_t h = table + uint64_t{i} * kSectionHeaderSize;
        PeSection s;
        const char* raw_name = reinterpret_cast<const char*>(bytes.data() + h);
        s.name.assign(raw_name, strnlen(raw_name, 8));
        const std::string sh = "section header " + s.name;
        s.virtual_size = f.u32(h + 8, sh);
        s.rva = f.u32(h + 12, sh);
        s.raw_size = f.u32(h + 16, sh);
        s.raw_offset = f.u32(h + 20, sh);
        s.characteristics = f.u32(h + 36, sh);
        if (s.raw_size != 0 && !f.fits(s.raw_offset, s.raw_size))
            throw PeError("section " + s.name + " raw data (" + hex(s.raw_size) + " bytes at " + hex(s.raw_offset) +
                          ") extends past the end of the file (" + hex(bytes.size()) + " bytes)");
        const uint64_t in_memory = s.virtual_size != 0 ? s.virtual_size : s.raw_size;
        if (uint64_t{s.rva} + in_memory > img.size_of_image)
            throw PeError("section " + s.name + " (RVA " + hex(s.rva) + ", " + hex(in_memory) +
                          " bytes) lies outside SizeOfImage " + hex(img.size_of_image));
        img.sections.push_back(std::move(s));
    }

    img.file = std::move(bytes);
    const std::vector<uint8_t> image = img.mapped();
    const View v(image, "image");
    const char* const dir_names[] = {"export", "import", "", "", "", "base relocation"};
    for (uint32_t d : {kDirExport, kDirImport, kDirBaseReloc}) {
        if (dirs[d].present() && !v.fits(dirs[d].rva, dirs[d].size))
            throw PeError(std::string("the ") + dir_names[d] + " directory (RVA " + hex(dirs[d].rva) + ", " +
                          hex(dirs[d].size) + " bytes) points outside the image");
    }
    if (dirs[kDirImport].present()) parse_imports(img, v, dirs[kDirImport]);
    if (dirs[kDirExport].present()) parse_exports(img, v, dirs[kDirExport]);
    img.has_reloc_directory = dirs[kDirBaseReloc].present();
    if (img.has_reloc_directory) parse_relocations(img, v, dirs[kDirBaseReloc]);
    return img;
}

PeImage PeImage::read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw PeError("cannot open " + path);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) throw PeError("cannot read " + path);
    try {
        return parse(std::move(bytes));
    } catch (const PeError& e) {
        throw PeError(path + ": " + e.what());
    }
}

}  // namespace bench
