// The seventeen core operations, in the register convention. Each library defines them for its own
// board; the adapters (adapters.cpp) wrap them in the other calling conventions and number types.
#pragma once

#include "common/conventions.h"

namespace kvr {

using i32 = int;
using text = const char*;

constexpr i32 errvalue = -777;

}  // namespace kvr

extern "C" {
KVR_REGCALL kvr::i32 ea(kvr::i32 channel) KVR_NAME(ea);
KVR_REGCALL kvr::text nea(kvr::i32 channel) KVR_NAME(nea);
KVR_REGCALL double ead(kvr::i32 channel) KVR_NAME(ead);
KVR_REGCALL kvr::text nead(kvr::i32 channel) KVR_NAME(nead);
KVR_REGCALL kvr::i32 sa(kvr::i32 channel, kvr::i32 code) KVR_NAME(sa);
KVR_REGCALL kvr::text nsa(kvr::i32 channel16) KVR_NAME(nsa);
KVR_REGCALL1 double sad(kvr::i32 channel, kvr::Double64 volts) KVR_NAME(sad);
KVR_REGCALL kvr::text nsad(kvr::i32 channel) KVR_NAME(nsad);
KVR_REGCALL kvr::i32 rsa(kvr::i32 channel) KVR_NAME(rsa);
KVR_REGCALL double rsad(kvr::i32 channel) KVR_NAME(rsad);
KVR_REGCALL kvr::i32 eb(kvr::i32 channel) KVR_NAME(eb);
KVR_REGCALL kvr::text neb(kvr::i32 channel) KVR_NAME(neb);
KVR_REGCALL kvr::i32 sb(kvr::i32 channel, kvr::i32 state) KVR_NAME(sb);
KVR_REGCALL kvr::text nsb(kvr::i32 channel) KVR_NAME(nsb);
KVR_REGCALL kvr::i32 rsb(kvr::i32 channel) KVR_NAME(rsb);
KVR_REGCALL kvr::text titre() KVR_NAME(titre);
KVR_REGCALL kvr::text detail() KVR_NAME(detail);
}
