#include "bench/portbus.h"

#include <cstdio>

namespace bench {

namespace {

constexpr uint64_t kNsPerUs = 1000;

std::string port_hex(uint16_t port) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%03X", port);
    return buf;
}

std::string register_label(const Board* board, uint16_t port) {
    const char* name = board ? board->register_name(port) : nullptr;
    return name ? name : port_hex(port);
}

std::string width_note(Dir dir, int size, uint32_t value) {
    char buf[96];
    if (dir == Dir::Out)
        std::snprintf(buf, sizeof buf, "%d-bit out of 0x%0*X; the board's registers are bytes", size * 8,
                      size * 2, value);
    else
        std::snprintf(buf, sizeof buf, "%d-bit in; the board's registers are bytes", size * 8);
    return buf;
}

}  // namespace

uint8_t PortBus::in(uint16_t port, uint64_t cycle, uint64_t ns) {
    PortAccess a{cycle, ns, Dir::In, port, kFloatingBus, false, {}};
    if (!board_ || !board_->register_name(port)) {
        a.flagged = true;
        a.note = "no board decodes this port";
    } else if (!board_->readable(port)) {
        a.flagged = true;
        a.note = register_label(board_.get(), port) + " cannot be read";
    } else {
        a.value = board_->in(port, ns, a.note, a.flagged);
    }
    trace_.push_back(a);
    return a.value;
}

void PortBus::out(uint16_t port, uint8_t value, uint64_t cycle, uint64_t ns) {
    PortAccess a{cycle, ns, Dir::Out, port, value, false, {}};
    if (!board_ || !board_->register_name(port)) {
        a.flagged = true;
        a.note = "no board decodes this port";
    } else if (!board_->writable(port)) {
        a.flagged = true;
        a.note = register_label(board_.get(), port) + " cannot be written";
    } else {
        board_->out(port, value, ns, a.note, a.flagged);
    }
    trace_.push_back(std::move(a));
}

uint32_t PortBus::in_wide(uint16_t port, int size, uint64_t cycle, uint64_t ns) {
    trace_.push_back({cycle, ns, Dir::In, port, kFloatingBus, true, width_note(Dir::In, size, 0)});
    return size >= 4 ? 0xFFFFFFFFu : (1u << (size * 8)) - 1;
}

void PortBus::out_wide(uint16_t port, int size, uint32_t value, uint64_t cycle, uint64_t ns) {
    trace_.push_back({cycle, ns, Dir::Out, port, static_cast<uint8_t>(value), true, width_note(Dir::Out, size, value)});
}

std::vector<PortAccess> PortBus::flagged() const {
    std::vector<PortAccess> out;
    for (const auto& a : trace_)
        if (a.flagged) out.push_back(a);
    return out;
}

std::string describe(const PortAccess& a, const Board* board) {
    char buf[96];
    const char* name = board ? board->register_name(a.port) : nullptr;
    std::snprintf(buf, sizeof buf, "%5llu.%03llu us  %-3s 0x%03X %-5s %s 0x%02X",
                  static_cast<unsigned long long>(a.ns / kNsPerUs), static_cast<unsigned long long>(a.ns % kNsPerUs),
                  a.dir == Dir::In ? "in" : "out", a.port, name ? name : "?", a.dir == Dir::In ? "->" : "<-",
                  a.value);
    std::string s = buf;
    if (a.flagged) s += "  FLAGGED";
    if (!a.note.empty()) s += (a.flagged ? ": " : "  ; ") + a.note;
    return s;
}

}  // namespace bench
