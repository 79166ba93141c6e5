// PE32 image reader: parses a DLL file into what the loader needs. Throws PeError with a clear
// message for anything malformed or truncated; never reads outside the given bytes.
#pragma once

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace bench {

struct PeError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct PeSection {
    std::string name;
    uint32_t rva, virtual_size, raw_offset, raw_size, characteristics;
    bool readable() const { return characteristics & 0x40000000u; }
    bool writable() const { return characteristics & 0x80000000u; }
    bool executable() const { return characteristics & 0x20000000u; }
};

struct PeImport {
    std::string dll;       // as written in the file, e.g. "KERNEL32.dll"
    std::string name;      // function name; empty when imported by ordinal
    uint16_t ordinal = 0;  // when imported by ordinal
    uint32_t iat_rva;      // slot the loader fills with the resolved address
};

struct PeExport {
    std::string name;      // empty for an export by ordinal only
    uint32_t ordinal;      // biased (as a host names it)
    uint32_t rva;
};

struct PeImage {
    uint32_t image_base, size_of_image, size_of_headers, entry_rva;
    uint16_t machine, characteristics, dll_characteristics, subsystem;
    uint32_t ordinal_base = 0;
    std::vector<PeSection> sections;
    std::vector<PeImport> imports;
    std::vector<PeExport> exports;      // in export-address-table order
    std::vector<uint32_t> relocations;  // RVAs of IMAGE_REL_BASED_HIGHLOW fixups
    bool has_reloc_directory = false;
    std::vector<uint8_t> file;

    // The image as the loader lays it out at its preferred base, before relocation: headers and
    // section contents at their RVAs, SizeOfImage bytes, zero-filled elsewhere.
    std::vector<uint8_t> mapped() const;

    static PeImage parse(std::vector<uint8_t> bytes);  // throws PeError
    static PeImage read_file(const std::string& path);  // throws PeError (also for a missing file)
};

}  // namespace bench
