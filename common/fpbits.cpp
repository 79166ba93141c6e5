// Integer-only IEEE 754 work; see fpbits.h for why. Nothing here may use a floating-point type in
// arithmetic: on the i686 target that would be x87 code running under the host's control word.
#include "fpbits.h"

namespace fpbits {
namespace {

constexpr u64 kImplicit = 1ull << 52;

// Bit counts of nonzero values, on 32-bit halves: GCC would call libgcc's __ctzdi2 for the 64-bit form.
inline int clz64(u64 v) {
    u32 h = u32(v >> 32);
    return h ? __builtin_clz(h) : 32 + __builtin_clz(u32(v));
}
inline int ctz64(u64 v) {
    u32 l = u32(v);
    return l ? __builtin_ctz(l) : 32 + __builtin_ctz(u32(v >> 32));
}

// Bits s..s+31 of hi:lo, for s in 0..31: one shrd on i686.
inline u32 shr_pair(u32 hi, u32 lo, int s) { return u32(((u64(hi) << 32) | lo) >> (s & 31)); }

// (hi:lo) / d for hi < d, so the quotient fits 32 bits. On i686 this is one divl; written in C the
// compiler would call libgcc's general 64-by-64 division for it.
inline u32 div_64_32(u32 hi, u32 lo, u32 d, u32& rem) {
#if defined(__i386__)
    u32 q, r;
    __asm__("divl %4" : "=a"(q), "=d"(r) : "0"(lo), "1"(hi), "rm"(d) : "cc");
    rem = r;
    return q;
#else
    u64 n = (u64(hi) << 32) | lo;
    u32 q = u32(n / d);
    rem = u32(n - u64(q) * d);
    return q;
#endif
}

// Rounds (W + fz/4) / div to the nearest integer, ties to even, applies the sign and stores it if it
// fits an i64. W = w2:w10 is below 2^96. fz is the fraction in quarters with its low bit jammed
// (set when anything nonzero lay below it), which is all the information the rounding needs: the
// rounding points of (W + F) / div lie where W + F is a multiple of 1/2, since div is an integer.
inline bool finish_affine(u32 w2, u64 w10, u32 fz, bool neg, u32 div, i64& out) {
    if (w2 >= div) return false;  // quotient of at least 2^64
    u32 w1 = u32(w10 >> 32), w0 = u32(w10), r = w2, q1 = 0;
    if (r == 0 && w1 < div)
        r = w1;
    else
        q1 = div_64_32(r, w1, div, r);
    u32 q0 = div_64_32(r, w0, div, r);
    // The rest (r + fz/4) / div against 1/2, as 2r + fz/2 against div, kept within 32 bits:
    // (r + fz/2 rounded down) against div - r, the jammed low bit of fz settling equality.
    u32 h = r + (fz >> 1), other = div - r;
    u32 up = h > other || (h == other && ((fz | q0) & 1));
    u64 q = (u64(q1) << 32) | q0;
    if (q1 >= 0x7FFFFFFFu) {  // within 2^32 of 2^63 or beyond
        u64 limit = neg ? kSignBit : kSignBit - 1;
        if (q > limit - up) return false;
    }
    q += up;
    out = i64(neg ? 0 - q : q);
    return true;
}

}  // namespace

Ext80 widen(u64 b) {
    u16 sign = u16((b >> 48) & 0x8000);
    u32 e = u32(b >> 52) & 0x7FF;
    u64 f = b & kFracMask;
    if (e == 0x7FF) return Ext80{kSignBit | (f << 11), u16(sign | 0x7FFF)};
    if (e == 0) {
        if (f == 0) return Ext80{0, sign};
        // f * 2^-1074 with the top bit of f moved to bit 63.
        int s = clz64(f);
        return Ext80{f << s, u16(sign | (16383 + 63 - 1074 - s))};
    }
    return Ext80{kSignBit | (f << 11), u16(sign | (e - 1023 + 16383))};
}

u64 single_to_double(u32 s) {
    u64 sign = u64(s >> 31) << 63;
    u32 e = (s >> 23) & 0xFF;
    u32 f = s & 0x7FFFFF;
    if (e == 0xFF) return sign | kExpMask | (u64(f) << 29);
    if (e == 0) {
        if (f == 0) return sign;
        // f * 2^-149, top bit of f at p, which becomes the implicit bit.
        int p = 31 - __builtin_clz(f);
        return sign | ((u64(p - 149 + 1023 - 1) << 52) + (u64(f) << (52 - p)));
    }
    return sign | (u64(e - 127 + 1023) << 52) | (u64(f) << 29);
}

u32 double_to_single(u64 b) {
    u32 sign = u32(b >> 32) & 0x80000000u;
    u32 e = u32(b >> 52) & 0x7FF;
    u64 f = b & kFracMask;
    if (e == 0x7FF) {
        if (f == 0) return sign | 0x7F800000u;
        u32 payload = u32(f >> 29);
        return sign | 0x7F800000u | (payload ? payload : 0x400000u);
    }
    int es = int(e) - 1023 + 127;  // biased single exponent of the unrounded value
    if (es >= 0xFF) return sign | 0x7F800000u;
    if (es > 0) {
        // 24 kept bits (implicit one included) and 29 dropped; a carry out of the kept bits moves into
        // the exponent field, and from exponent 254 into the infinity pattern.
        u32 q = u32((f | kImplicit) >> 29);
        u32 rest = u32(f) & 0x1FFFFFFFu;
        q += rest > 0x10000000u || (rest == 0x10000000u && (q & 1));
        return sign | ((u32(es - 1) << 23) + q);
    }
    // Subnormal single: units of 2^-149. A double subnormal lies far below 2^-150.
    int shift = 30 - es;
    if (e == 0 || shift > 53) return sign;  // below half the smallest subnormal single
    u64 m = f | kImplicit;
    u64 q = m >> shift;
    u64 rest = m & ((1ull << shift) - 1);
    u64 half = 1ull << (shift - 1);
    q += rest > half || (rest == half && (q & 1));
    return sign | u32(q);  // 2^23 here is the smallest normal, as it should be
}

u64 double_from_i32(i32 v) {
    if (v == 0) return 0;
    u64 sign = v < 0 ? kSignBit : 0;
    u32 a = v < 0 ? 0u - u32(v) : u32(v);
    int p = 31 - __builtin_clz(a);
    return sign | ((u64(p + 1023 - 1) << 52) + (u64(a) << (52 - p)));
}

u64 double_from_ratio(i64 num, u64 den) {
    if (den == 0) return num == 0 ? 0x7FF8000000000000ull : (num < 0 ? kSignBit : 0) | kExpMask;
    if (num == 0) return 0;
    u64 sign = num < 0 ? kSignBit : 0;
    u64 a = num < 0 ? 0 - u64(num) : u64(num);

    // 64 quotient bits q1:q0 with the top one set, so that a / den = (q1:q0 + rest) * 2^(exp - 63)
    // with 0 <= rest < 1; `sticky` is nonzero when rest is.
    u32 q1, q0, sticky;
    int exp;
    int la = clz64(a);
    u64 A = a << la;  // top bit at 63
    if ((den >> 32) == 0) {
        // With the divisor's top bit at 31 too, A * 2^32 / D lies in (2^63, 2^65): two 64-by-32
        // divisions, after at most one subtraction for the 65th bit.
        int ld = __builtin_clz(u32(den));
        u32 D = u32(den) << ld, ah = u32(A >> 32), r = ah;
        u32 q2 = ah >= D;
        if (q2) r -= D;
        q1 = div_64_32(r, u32(A), D, r);
        q0 = div_64_32(r, 0, D, r);
        sticky = r;
        exp = 31 + ld - la;
        if (q2) {
            // The bit shifted out is 0 whenever r is: an exact quotient of a <= 2^63 has at most 63
            // significant bits. So r alone tells whether anything nonzero is lost.
            q0 = shr_pair(q1, q0, 1);
            q1 = (q1 >> 1) | 0x80000000u;
            ++exp;
        }
    } else {
        // A divisor of more than 32 bits, rare: restoring division one bit at a time. With D at bit
        // 63 too, A / D lies in (1/2, 2); after n steps q = floor(A / D * 2^(n-1)), so 64 or 65
        // steps fill q to bit 63. The remainder, below 2D, is carry * 2^64 + r.
        int ld = clz64(den);
        u64 D = den << ld, r = A, q = 0, carry = 0;
        int n = 0;
        while ((q >> 63) == 0) {
            q <<= 1;
            if (carry || r >= D) {
                r -= D;
                q |= 1;
            }
            carry = r >> 63;
            r <<= 1;
            ++n;
        }
        q1 = u32(q >> 32);
        q0 = u32(q);
        sticky = (carry | r) != 0;
        exp = 64 - n + ld - la;
    }

    // Round 64 bits to 53: 11 dropped. keep is 2^52..2^53 with the implicit bit at 52; adding it to
    // exponent-1 lets a carry to 2^53 raise the exponent. The result lies in [2^-64, 2^63]: always a
    // normal double.
    u32 rest = q0 & 0x7FF;
    u32 kl = shr_pair(q1, q0, 11), kh = q1 >> 11;
    u32 up = rest > 0x400 || (rest == 0x400 && (sticky != 0 || (kl & 1)));
    return sign | ((u64(exp + 1023 - 1) << 52) + ((u64(kh) << 32) | kl) + up);
}

bool round_affine(u64 x_bits, i32 add, u32 mul, u32 div, i64& out) {
    u32 xh = u32(x_bits >> 32), ml = u32(x_bits), mh = xh & 0xFFFFF;
    u32 e = (xh >> 20) & 0x7FF;
    if (e == 0x7FF || div == 0) return false;
    bool xneg = (xh >> 31) != 0;
    bool aneg = add < 0;
    int ex = -1074;  // x = mh:ml * 2^ex
    if (e != 0) {
        mh |= 0x100000;
        ex = int(e) - 1075;
    }
    // The exact sum S = ±x * mul ± add * mul is carried as W + fz/4 = |S| with fz in quarters, its
    // low bit jammed; the rounding needs no more (see finish_affine). Jamming survives adding
    // integers and negating: the jammed value stays strictly inside the same quarter-interval as the
    // exact one, or equals it.
    int sr = -ex - 2;  // right shift that brings m * 2^ex to quarters
    if (sr >= 22) {
        // |x| < 2^29, the usual case: |x| * mul in quarters, mz, is below 2^63.
        u64 mz;
        int s = sr - 32;
        if (ml == 0 && u32(s) <= 20 && ((mh << 1) << (31 - s)) == 0) {
            // 4|x| is an integer below 2^21 (1.5, 250.0, 3.0 ...): no product bits are lost.
            mz = u64(mh >> s) * mul;
        } else {
            // x * mul = M * 2^ex with M = m * mul = w2:w1:w0 below 2^85.
            u64 p0 = u64(ml) * mul;
            u64 p1 = (p0 >> 32) + u64(mh) * mul;
            u32 w0 = u32(p0), w1 = u32(p1), w2 = u32(p1 >> 32);
            u32 zl, zh, lost;
            if (s < 0) {  // sr 22..31; w2 >> sr is 0
                zl = shr_pair(w1, w0, sr);
                zh = shr_pair(w2, w1, sr);
                lost = w0 << (32 - sr);
            } else if (s < 32) {
                zl = shr_pair(w2, w1, s);
                zh = w2 >> s;
                lost = w0 | ((w1 << 1) << (31 - s));
            } else {
                s = s < 63 ? s - 32 : 31;  // w2 < 2^21: beyond that everything is lost
                zl = w2 >> s;
                zh = 0;
                lost = w0 | w1 | ((w2 << 1) << (31 - s));
            }
            mz = (u64(zh) << 32) | zl | (lost != 0);
        }
        u64 mi = mz >> 2;  // integer part of |x| * mul
        u32 mf = u32(mz) & 3;
        u64 P = u64(aneg ? 0u - u32(add) : u32(add)) * mul;  // |add| * mul, below 2^63
        u64 W;
        u32 fz = mf;
        bool neg = xneg;
        if (xneg == aneg) {
            W = P + mi;  // below 2^63 + 2^61
        } else if (mi < P) {
            W = P - mi - (mf != 0);
            fz = (4 - mf) & 3;
            neg = aneg;
        } else {
            W = mi - P;
        }
        return finish_affine(0, W, fz, neg, div, out);
    }

    // |x| >= 2^29: x * mul may have up to 97 bits before the quotient is certainly out of range.
    u64 P = u64(aneg ? 0u - u32(add) : u32(add)) * mul;
    u64 p0 = u64(ml) * mul;
    u64 p1 = (p0 >> 32) + u64(mh) * mul;
    u64 Ml = (p1 << 32) | u32(p0), Mh = p1 >> 32;  // M = m * mul
    u64 zl, zh;  // |x| * mul in quarters, jammed
    if (sr > 0) {
        // 1..21
        zl = (Ml >> sr) | (Mh << (64 - sr));
        zl |= (Ml << (64 - sr)) != 0;
        zh = Mh >> sr;
    } else {
        int sl = -sr;  // 0..1021
        if (Mh | Ml) {  // zero only for mul == 0
            // Z >= 2^98 - 2^65 > 2^97 means |S| / div > 2^95 / 2^32 >= 2^63 + 2^31: out of range.
            // x is normal here, so M >= 2^52 and only sl <= 45 passes.
            int len = Mh ? 128 - clz64(Mh) : 64 - clz64(Ml);
            if (len + sl > 98) return false;
        } else {
            sl = 0;
        }
        zh = sl ? (Mh << sl) | (Ml >> (64 - sl)) : Mh;
        zl = Ml << sl;
    }
    u64 pl = P << 2, ph = P >> 62;
    bool neg = xneg;
    if (xneg == aneg) {
        zl += pl;
        zh += ph + (zl < pl);
    } else if (zh > ph || (zh == ph && zl >= pl)) {
        zh -= ph + (zl < pl);
        zl -= pl;
    } else {
        zh = ph - zh - (pl < zl);
        zl = pl - zl;
        neg = aneg;
    }
    if (zh >> 33) return false;  // Z >= 2^97: see above
    return finish_affine(u32(zh >> 2), (zh << 62) | (zl >> 2), u32(zl) & 3, neg, div, out);
}

bool round_to_i64(u64 x_bits, i64& out) {
    u32 xh = u32(x_bits >> 32), xl = u32(x_bits);
    u32 e = (xh >> 20) & 0x7FF;
    u32 mh = (xh & 0xFFFFF) | 0x100000;  // x = mh:xl * 2^(e - 1075) when normal
    u64 q;
    if (e < 1022) {
        q = 0;  // |x| < 1/2, zeros and subnormals included
    } else if (e < 1043) {
        // 1/2 <= |x| < 2^20: the integer part and the rounding bit lie in mh, 1..21 bits dropped.
        int s = 1075 - 32 - int(e);
        u32 kept = mh >> s, rest = mh & ((1u << s) - 1), half = 1u << (s - 1);
        q = kept + (rest > half || (rest == half && (xl != 0 || (kept & 1))));
    } else if (e < 1086) {
        u64 m = (u64(mh) << 32) | xl;
        int s = 1075 - int(e);  // -10..32
        if (s <= 0) {
            q = m << -s;  // below 2^63
        } else {
            u64 kept = m >> s, rest = m & ((1ull << s) - 1), half = 1ull << (s - 1);
            q = kept + (rest > half || (rest == half && (kept & 1)));  // at most 2^53
        }
    } else {
        if (x_bits != 0xC3E0000000000000ull) return false;  // NaN, infinity, |x| >= 2^63 but -2^63
        q = kSignBit;
    }
    out = i64((xh >> 31) ? 0 - q : q);
    return true;
}

u32 round_quotient(u32 num, u64 x_bits) {
    u32 e = u32(x_bits >> 52);  // sign included: a negative x reads as e >= 0x800
    if (e < 1023 || e > 0x7FF) return num;  // below 1.0 (outside the contract): as 1.0
    if (e == 0x7FF) return (x_bits & kFracMask) ? num : 0;
    if (num == 0 || e >= 1023 + 33) return 0;  // x >= 2^33 > 2 * num
    u64 m = (x_bits & kFracMask) | kImplicit;
    int tz = ctz64(m);
    m >>= tz;
    int ex = int(e) - 1075 + tz;  // x = m * 2^ex, m odd

    // num / x = q + r / d, r < d.
    u32 q;
    u64 r, d;
    if (ex >= 0) {
        d = m << ex;  // x itself, an integer below 2^33
        if (d > num) {
            q = 0;
            r = num;
        } else {
            q = num / u32(d);
            r = num - q * u32(d);
        }
    } else {
        int k = -ex;  // num / x = num * 2^k / m, and m > 2^k since x > 1
        d = m;
        if (k <= 32) {
            u64 n = u64(num) << k;
            if ((m >> 32) == 0) {
                u32 r32;
                q = div_64_32(u32(n >> 32), u32(n), u32(m), r32);  // quotient <= num < 2^32
                r = r32;
            } else {
                q = u32(n / m);
                r = n - u64(q) * m;
            }
        } else {
            // num * 2^k no longer fits 64 bits. The quotient is at most num, so it has at most B bits
            // and num * 2^k / 2^B is already below m: B steps of restoring division remain, whose
            // dividend bits are all zero since k > 32 >= B.
            int B = 32 - __builtin_clz(num);
            r = u64(num) << (k - B);
            q = 0;
            for (int i = 0; i < B; ++i) {
                r <<= 1;
                q <<= 1;
                if (r >= m) {
                    r -= m;
                    q |= 1;
                }
            }
        }
    }
    r <<= 1;
    q += r > d || (r == d && (q & 1));
    return q;
}

}  // namespace fpbits
