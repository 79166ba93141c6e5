// Channel names and identification of the base-board library.
#include "common/core.h"
#include "common/names.h"

namespace kvr::kvrio {

namespace {

constexpr auto kNea = numbered<8>(kAnalogInPrefix, "");
constexpr auto kNead = numbered<8>(kVoltsInPrefix, kVoltsInSuffix);
constexpr auto kNeb = numbered<16>(kDigitalInPrefix, "");
constexpr auto kNsb = numbered<16>(kDigitalOutPrefix, "");

constexpr const char* kNsa[2] = {"sortie analogique 0", "sortie analogique 1"};
constexpr const char* kNsad[2] = {"sortie 0 (volts)", "sortie 1 (volts)"};

constexpr char kTitre[] = "KVR";
constexpr char kDetail[] = "DLL pour KVR, par Zembrac, le 22 janvier 2003";

}  // namespace

}  // namespace kvr::kvrio

using namespace kvr;

KVR_REGCALL text nea(i32 channel) { return kvrio::kNea[channel]; }
KVR_REGCALL text nead(i32 channel) { return kvrio::kNead[channel]; }
KVR_REGCALL text neb(i32 channel) { return kvrio::kNeb[channel]; }
KVR_REGCALL text nsb(i32 channel) { return kvrio::kNsb[channel]; }

// Only the low 16 bits of the channel count: 65537 names output 1.
KVR_REGCALL text nsa(i32 channel16)
{
    const unsigned short channel = static_cast<unsigned short>(channel16);
    return channel < 2 ? kvrio::kNsa[channel] : kEmptyText;
}

// The whole number counts: 65536 names nothing.
KVR_REGCALL text nsad(i32 channel)
{
    return channel == 0 || channel == 1 ? kvrio::kNsad[channel] : kEmptyText;
}

KVR_REGCALL text titre() { return kvrio::kTitre; }
KVR_REGCALL text detail() { return kvrio::kDetail; }
