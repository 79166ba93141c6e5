// Channel names and identification of the extended-board library. Output 2 of the analog outputs is
// the frequency generator, set in kHz; the volts names carry each output's range.
#include "common/core.h"
#include "common/names.h"

namespace kvr::kvrextio {

namespace {

constexpr auto kNea = numbered<4>(kAnalogInPrefix, "");
constexpr auto kNead = numbered<4>(kVoltsInPrefix, kVoltsInSuffix);
constexpr auto kNeb = numbered<8>(kDigitalInPrefix, "");
constexpr auto kNsb = numbered<8>(kDigitalOutPrefix, "");

constexpr unsigned kAnalogOutputs = 3;
constexpr const char* kNsa[kAnalogOutputs] = {"sortie analogique 0", "sortie analogique 1", "fr\xE9" "quence"};
constexpr const char* kNsad[kAnalogOutputs] = {"sortie 0 (0..10 volts)", "sortie 1 (-5..+5 volts)",
                                               "fr\xE9" "quence (kHz)"};

// The title writes the board's name with a small s, the description with a capital S.
constexpr char kTitre[] = "KVR-sup";
constexpr char kDetail[] = "DLL pour KVR-Sup, par Zembrac, le 22 janvier 2003";

}  // namespace

}  // namespace kvr::kvrextio

using namespace kvr;

KVR_REGCALL text nea(i32 channel) { return kvrextio::kNea[channel]; }
KVR_REGCALL text nead(i32 channel) { return kvrextio::kNead[channel]; }
KVR_REGCALL text neb(i32 channel) { return kvrextio::kNeb[channel]; }
KVR_REGCALL text nsb(i32 channel) { return kvrextio::kNsb[channel]; }

// Only the low 16 bits of the channel count: 65538 names the frequency output.
KVR_REGCALL text nsa(i32 channel16)
{
    const unsigned short channel = static_cast<unsigned short>(channel16);
    return channel < kvrextio::kAnalogOutputs ? kvrextio::kNsa[channel] : kEmptyText;
}

// The whole number counts: 65538 names nothing.
KVR_REGCALL text nsad(i32 channel)
{
    return static_cast<unsigned>(channel) < kvrextio::kAnalogOutputs ? kvrextio::kNsad[channel] : kEmptyText;
}

KVR_REGCALL text titre() { return kvrextio::kTitre; }
KVR_REGCALL text detail() { return kvrextio::kDetail; }
