// The ISA port bus of the simulated PC and the boards on it.
//
// Every byte-wide `in` and `out` the guest executes goes through PortBus::in / PortBus::out, is
// recorded with its virtual time, and is routed to the board that decodes the port. An access that
// no board decodes, or that goes the wrong way (a read of a write-only register, a write of a
// read-only one), is recorded too and flagged: the trace keeps it and `flagged()` lists it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace bench {

enum class Dir : uint8_t { In, Out };

struct PortAccess {
    uint64_t cycle;      // virtual cycle at which the access instruction started
    uint64_t ns;         // the same instant in virtual nanoseconds
    Dir dir;
    uint16_t port;
    uint8_t value;       // byte written, or byte the guest received
    bool flagged;        // outside the board's register map, or against the register's direction
    std::string note;    // why it was flagged, or a board remark (e.g. "unsettled conversion")
};

// A board decodes some ports. in/out are only called for ports it claims with decodes().
class Board {
public:
    virtual ~Board() = default;
    virtual const char* name() const = 0;
    // Register name of a port for traces ("MUXA", "ADCA", ...); nullptr when not decoded.
    virtual const char* register_name(uint16_t port) const = 0;
    virtual bool readable(uint16_t port) const = 0;
    virtual bool writable(uint16_t port) const = 0;
    // `note` may be set to a remark that goes in the trace; set `flag` to flag the access.
    virtual uint8_t in(uint16_t port, uint64_t ns, std::string& note, bool& flag) = 0;
    virtual void out(uint16_t port, uint8_t value, uint64_t ns, std::string& note, bool& flag) = 0;
};

class PortBus {
public:
    static constexpr uint8_t kFloatingBus = 0xFF;  // what an undecoded read gives on ISA

    void attach(std::shared_ptr<Board> board) { board_ = std::move(board); }
    Board* board() const { return board_.get(); }

    uint8_t in(uint16_t port, uint64_t cycle, uint64_t ns);
    void out(uint16_t port, uint8_t value, uint64_t cycle, uint64_t ns);
    // A 16- or 32-bit in/out. The boards' registers are bytes, so it is not routed to the board:
    // it is recorded (low byte in `value`, the width and full value in the note) and flagged, and a
    // read gives all ones.
    uint32_t in_wide(uint16_t port, int size, uint64_t cycle, uint64_t ns);
    void out_wide(uint16_t port, int size, uint32_t value, uint64_t cycle, uint64_t ns);

    const std::vector<PortAccess>& trace() const { return trace_; }
    std::vector<PortAccess> flagged() const;
    void clear_trace() { trace_.clear(); }

private:
    std::shared_ptr<Board> board_;
    std::vector<PortAccess> trace_;
};

// Formats one access as "   12.345 us  out 0x302 DAC0  <- 0x00" for reports and failure messages.
std::string describe(const PortAccess& a, const Board* board);

}  // namespace bench
