#include "svg.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <map>

#include "text.h"

namespace kvrbench {

namespace {

// Page and plot geometry, in px.
constexpr double kWidth = 980, kPlotLeft = 150, kPlotRight = 940;
constexpr double kTitleY = 26, kSubtitleY = 46, kTopOfCalls = 64;
constexpr double kCallRowH = 22, kCallsGap = 8;
constexpr double kRowH = 30;            // one two-line access label
constexpr double kStrobeH = 14, kLanePadTop = 6, kLanePadBottom = 8, kSettleRowH = 36;
constexpr double kAxisTickH = 5, kAxisH = 48;
constexpr double kWaveGap = 26, kWaveTitleH = 20, kWaveArrowH = 26, kWaveLaneH = 46, kLegendH = 34;
constexpr double kLabelGap = 4, kMinLabelSpace = 8;
// Advance of one glyph of the monospace labels, 12 px and 10 px (0.6 em), for sizing label boxes.
constexpr double kCharW = 7.2, kSmallCharW = 6.0;
constexpr size_t kMaxGuideLines = 32;    // beyond this, per-access guides would be clutter
constexpr double kPadShare = 0.12, kMinPadNs = 5;
constexpr int kAxisSteps = 8;
constexpr double kWavePeriods = 4, kWaveLead = 0.25;  // periods drawn, and before the count is loaded
constexpr double kNsPerUs = 1000;

const char* const kFont = "DejaVu Sans Mono, Menlo, Consolas, monospace";
const char* const kWriteColour = "#1f5fbf";
const char* const kReadColour = "#2e8b57";
const char* const kDiscardColour = "#9a9a9a";
const char* const kFlagColour = "#d62728";
const char* const kSettleColour = "#c77800";
const char* const kGuideColour = "#d8d8d8";
const char* const kLaneShade = "#f5f7fa";

std::string esc(std::string_view s)
{
    std::string out;
    for (const char c : s) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string num(double v) { return strf("%.1f", v); }

// The title's glyphs are 16 px monospace (9.6 px each): what fits the page, cut with an ellipsis.
constexpr size_t kTitleChars = 98;
std::string fit(const std::string& utf8, size_t chars)
{
    if (display_width(utf8) <= chars) return utf8;
    std::string out;
    size_t n = 0;
    for (const char c : utf8) {
        const bool starts_char = (static_cast<unsigned char>(c) & 0xC0) != 0x80;
        if (starts_char && ++n > chars - 1) break;
        out += c;
    }
    return out + "…";
}

struct Svg {
    std::string body;
    void line(double x1, double y1, double x2, double y2, const char* colour, double width,
              const char* extra = "")
    {
        body += "<line x1=\"" + num(x1) + "\" y1=\"" + num(y1) + "\" x2=\"" + num(x2) + "\" y2=\"" + num(y2) +
                "\" stroke=\"" + colour + "\" stroke-width=\"" + num(width) + "\"" + extra + "/>\n";
    }
    void text(double x, double y, std::string_view s, const std::string& attrs = "")
    {
        body += "<text x=\"" + num(x) + "\" y=\"" + num(y) + "\"" + (attrs.empty() ? "" : " " + attrs) + ">" +
                esc(s) + "</text>\n";
    }
    void rect(double x, double y, double w, double h, const char* fill)
    {
        body += "<rect x=\"" + num(x) + "\" y=\"" + num(y) + "\" width=\"" + num(w) + "\" height=\"" + num(h) +
                "\" fill=\"" + fill + "\"/>\n";
    }
    // A dimension line with arrowheads at both ends; `marker` names one of the arrowheads in <defs>.
    void dimension(double x1, double x2, double y, const char* colour, const char* marker)
    {
        body += "<line x1=\"" + num(x1) + "\" y1=\"" + num(y) + "\" x2=\"" + num(x2) + "\" y2=\"" + num(y) +
                "\" stroke=\"" + colour + "\" stroke-width=\"1.5\" marker-start=\"url(#" + marker +
                ")\" marker-end=\"url(#" + marker + ")\"/>\n";
    }
};

// The time window of the diagram, and its mapping to x.
struct Window {
    uint64_t origin = 0;   // time 0 of the axis: the start of the first call
    double t0 = 0, t1 = 1; // ns
    double x(double ns) const { return kPlotLeft + (ns - t0) / (t1 - t0) * (kPlotRight - kPlotLeft); }
};

// A step of 1, 2 or 5 times a power of ten giving about `steps` intervals over `range`.
double nice_step(double range, int steps)
{
    const double raw = range / steps;
    const double mag = std::pow(10.0, std::floor(std::log10(raw)));
    for (const double m : {1.0, 2.0, 5.0, 10.0})
        if (m * mag >= raw) return m * mag;
    return 10 * mag;
}

int decimals_for(double step) { return std::max(0, static_cast<int>(-std::floor(std::log10(step) + 1e-9))); }

// Time axis at y from t0 to t1 (ns, relative to `zero`), labelled in µs.
void axis(Svg& svg, const Window& w, double y, uint64_t zero, const std::string& caption)
{
    svg.line(kPlotLeft, y, kPlotRight, y, "#444", 1);
    const double from_us = (w.t0 - static_cast<double>(zero)) / kNsPerUs;
    const double to_us = (w.t1 - static_cast<double>(zero)) / kNsPerUs;
    const double step = nice_step(to_us - from_us, kAxisSteps);
    const int decimals = decimals_for(step);
    for (double t = std::ceil(from_us / step - 1e-9) * step; t <= to_us + 1e-9 * step; t += step) {
        const double x = w.x(t * kNsPerUs + static_cast<double>(zero));
        svg.line(x, y, x, y + kAxisTickH, "#444", 1);
        const double shown = std::fabs(t) < step / 2 ? 0.0 : t;  // no "-0.000"
        svg.text(x, y + 18, strf("%.*f", decimals, shown), "text-anchor=\"middle\" font-size=\"11\"");
    }
    svg.text(kPlotRight, y + 36, caption, "text-anchor=\"end\" font-size=\"11\" fill=\"#444\"");
}

// Rows of labels that must not overlap: each row keeps the x intervals already taken.
struct Rows {
    std::vector<std::vector<std::pair<double, double>>> taken;
    size_t place(double from, double to)
    {
        for (size_t r = 0;; ++r) {
            if (r == taken.size()) taken.emplace_back();
            bool free = true;
            for (const auto& [a, b] : taken[r])
                if (from < b + kMinLabelSpace && a < to + kMinLabelSpace) free = false;
            if (free) {
                taken[r].emplace_back(from, to);
                return r;
            }
        }
    }
    size_t count() const { return taken.size(); }
};

struct Mark {
    const bench::PortAccess* a;
    double x;
    std::string value, note;
    bool left = false;   // label drawn to the left of the strobe
    size_t row = 0;
};

struct Settle {
    double x_from, x_to;
    uint64_t ns;
};

struct Lane {
    uint16_t port;
    std::vector<Mark> marks;
    std::vector<Settle> settles;
    size_t rows = 1;
    double top = 0, height = 0;
    double base() const { return top + kLanePadTop + rows * kRowH + kStrobeH; }
};

const char* colour_of(const bench::PortAccess& a)
{
    if (a.flagged) return kFlagColour;
    if (a.dir == bench::Dir::Out) return kWriteColour;
    return a.note == "discarded" ? kDiscardColour : kReadColour;
}

double label_width(const Mark& m)
{
    return std::max(display_width(m.value) * kCharW, display_width(m.note) * kSmallCharW);
}

Window window_of(const TimingPicture& p)
{
    Window w;
    w.origin = p.calls.empty() ? (p.accesses.empty() ? 0 : p.accesses.front().ns) : p.calls.front().start_ns;
    if (p.accesses.empty()) {
        w.t0 = static_cast<double>(w.origin);
        w.t1 = p.calls.empty() ? w.t0 + kNsPerUs : static_cast<double>(p.calls.back().end_ns);
    } else {
        const double a0 = static_cast<double>(p.accesses.front().ns);
        const double a1 = static_cast<double>(p.accesses.back().ns);
        const double pad = std::max((a1 - a0) * kPadShare, kMinPadNs);
        w.t0 = std::max(static_cast<double>(w.origin), a0 - pad);
        w.t1 = a1 + pad;
    }
    if (w.t1 <= w.t0) w.t1 = w.t0 + kNsPerUs;
    return w;
}

std::vector<Lane> lay_out_lanes(const TimingPicture& p, const Window& w)
{
    std::map<uint16_t, Lane> by_port;
    for (const bench::PortAccess& a : p.accesses) {
        Lane& lane = by_port[a.port];
        lane.port = a.port;
        Mark m{&a, w.x(static_cast<double>(a.ns)),
               a.dir == bench::Dir::Out ? "out " + hex_byte(a.value) : strf("in %s = %u", hex_byte(a.value).c_str(), a.value),
               a.flagged ? "flagged: " + a.note : a.note};
        lane.marks.push_back(std::move(m));
    }
    // Lanes in the order of their first access, so that the diagram reads top-down as the bus did.
    std::vector<uint16_t> order;
    for (const bench::PortAccess& a : p.accesses)
        if (std::find(order.begin(), order.end(), a.port) == order.end()) order.push_back(a.port);
    std::vector<Lane> lanes;
    for (const uint16_t port : order) {
        Lane& lane = by_port.at(port);
        // A converter read the board calls "discarded", and the next read of the same register: the
        // settling wait between them.
        for (size_t k = 0; k + 1 < lane.marks.size(); ++k) {
            const bench::PortAccess& a = *lane.marks[k].a;
            if (a.dir != bench::Dir::In || a.note != "discarded") continue;
            for (size_t j = k + 1; j < lane.marks.size(); ++j) {
                if (lane.marks[j].a->dir != bench::Dir::In) continue;
                lane.settles.push_back({lane.marks[k].x, lane.marks[j].x, lane.marks[j].a->ns - a.ns});
                break;
            }
        }
        Rows rows;
        for (Mark& m : lane.marks) {
            const double width = label_width(m);
            m.left = m.x + kLabelGap + width > kWidth - kLabelGap;
            const double from = m.left ? m.x - kLabelGap - width : m.x;
            m.row = rows.place(from, from + width + kLabelGap);
        }
        lane.rows = std::max<size_t>(1, rows.count());
        lane.height = kLanePadTop + lane.rows * kRowH + kStrobeH + (lane.settles.empty() ? 0 : kSettleRowH) +
                      kLanePadBottom;
        lanes.push_back(std::move(lane));
    }
    return lanes;
}

void draw_lane(Svg& svg, const Lane& lane, const bench::Board& board, bool shaded)
{
    if (shaded) svg.rect(0, lane.top, kWidth, lane.height, kLaneShade);
    const double base = lane.base();
    const char* reg = board.register_name(lane.port);
    const char* way = board.readable(lane.port) ? (board.writable(lane.port) ? "read/write" : "read")
                                                 : (board.writable(lane.port) ? "write" : "not decoded");
    svg.text(14, base - 12, reg ? reg : "?", "font-size=\"14\" font-weight=\"bold\"");
    svg.text(14, base + 2, strf("0x%03X %s", lane.port, way), "font-size=\"10\" fill=\"#555\"");
    svg.line(kPlotLeft, base, kPlotRight, base, "#b0b0b0", 1);
    for (const Mark& m : lane.marks) {
        const char* colour = colour_of(*m.a);
        const double top = base - kStrobeH;
        svg.line(m.x, base, m.x, top, colour, 2.5);
        const double value_y = top - m.row * kRowH - 15;
        if (m.row > 0) svg.line(m.x, top, m.x, value_y + 3, colour, 0.8, " stroke-dasharray=\"2,2\"");
        const double lx = m.left ? m.x - kLabelGap : m.x + kLabelGap;
        const std::string anchor = m.left ? "text-anchor=\"end\" " : "";
        svg.text(lx, value_y, m.value, anchor + "font-size=\"12\" font-weight=\"bold\" fill=\"" + colour + "\"");
        if (!m.note.empty()) svg.text(lx, value_y + 12, m.note, anchor + "font-size=\"10\" fill=\"#333\"");
    }
    for (const Settle& s : lane.settles) {
        const double y = base + 14;
        svg.line(s.x_from, base, s.x_from, y + 4, kSettleColour, 0.8, " stroke-dasharray=\"3,2\"");
        svg.line(s.x_to, base, s.x_to, y + 4, kSettleColour, 0.8, " stroke-dasharray=\"3,2\"");
        svg.dimension(s.x_from, s.x_to, y, kSettleColour, "arrow-settle");
        svg.text((s.x_from + s.x_to) / 2, y + 16, "settling wait " + us_from_ns(s.ns) + " µs",
                 std::string("text-anchor=\"middle\" font-size=\"12\" font-weight=\"bold\" fill=\"") + kSettleColour +
                     "\"");
    }
}

double draw_calls(Svg& svg, const TimingPicture& p, const Window& w)
{
    Rows rows;
    struct Placed {
        double xs, xe, lx;
        bool open_start, open_end;
        size_t row;
        std::string label;
    };
    std::vector<Placed> placed;
    for (const TimingCall& c : p.calls) {
        if (static_cast<double>(c.end_ns) < w.t0 || static_cast<double>(c.start_ns) > w.t1) continue;
        const bool clipped_start = static_cast<double>(c.start_ns) < w.t0;
        const bool clipped_end = static_cast<double>(c.end_ns) > w.t1;
        const double xs = w.x(std::max(static_cast<double>(c.start_ns), w.t0));
        const double xe = w.x(std::min(static_cast<double>(c.end_ns), w.t1));
        std::string label = c.label;
        // A call that began or ended outside the window says when.
        if (clipped_start || clipped_end)
            label += strf(", from %s to %s µs", us_from_ns(c.start_ns - w.origin).c_str(),
                          us_from_ns(c.end_ns - w.origin).c_str());
        const double width = display_width(label) * kCharW;
        const bool left = xs + width > kWidth - kLabelGap;
        const double lx = left ? std::max(kLabelGap, xe - width) : xs;
        placed.push_back({xs, xe, lx, clipped_start, clipped_end, rows.place(std::min(xs, lx), std::max(xe, lx + width)),
                          label});
    }
    const double height = std::max<size_t>(1, rows.count()) * kCallRowH;
    for (const Placed& c : placed) {
        const double y = kTopOfCalls + (rows.count() - 1 - c.row) * kCallRowH + 16;
        svg.text(c.lx, y - 4, c.label, "font-size=\"12\"");
        svg.line(c.xs, y, c.xe, y, "#333", 2, c.open_start || c.open_end ? " stroke-dasharray=\"6,3\"" : "");
        if (!c.open_start) svg.line(c.xs, y - 4, c.xs, y + 4, "#333", 1.5);
        if (!c.open_end) svg.line(c.xe, y - 4, c.xe, y + 4, "#333", 1.5);
    }
    return height;
}

// The counter's output, a few periods from the moment the count was complete.
double draw_wave(Svg& svg, const TimingWave& wave, double top)
{
    const double clock_ns = 1e6 / wave.clock_khz;
    const double high_ns = wave.high_clocks * clock_ns, low_ns = wave.low_clocks * clock_ns;
    const double period_ns = high_ns + low_ns;
    Window w;
    w.t0 = -kWaveLead * period_ns;
    w.t1 = kWavePeriods * period_ns;

    svg.text(kPlotLeft, top + 14,
             strf("the timer's output after the count is loaded: %.9g kHz = %.9g kHz / %u, period %s µs", wave.khz,
                  wave.clock_khz, wave.divisor, strf("%.3f", period_ns / kNsPerUs).c_str()),
             "font-size=\"12\" font-weight=\"bold\"");
    const double arrow_y = top + kWaveTitleH + 14;
    svg.dimension(w.x(0), w.x(period_ns), arrow_y, kWriteColour, "arrow-wave");
    svg.text((w.x(0) + w.x(period_ns)) / 2, arrow_y - 5, strf("one period, %.3f µs", period_ns / kNsPerUs),
             "text-anchor=\"middle\" font-size=\"11\"");

    const double lane_top = top + kWaveTitleH + kWaveArrowH;
    const double high_y = lane_top + 8, low_y = lane_top + kWaveLaneH - 8;
    svg.text(14, lane_top + 22, "OUT0", "font-size=\"14\" font-weight=\"bold\"");
    svg.text(14, lane_top + 36, "timer output", "font-size=\"10\" fill=\"#555\"");
    std::string points = num(w.x(w.t0)) + "," + num(high_y);
    for (int k = 0; k < kWavePeriods; ++k) {
        const double start = k * period_ns;
        const double fall = start + high_ns;
        const double rise = start + period_ns;
        points += " " + num(w.x(fall)) + "," + num(high_y) + " " + num(w.x(fall)) + "," + num(low_y) + " " +
                  num(w.x(rise)) + "," + num(low_y) + " " + num(w.x(rise)) + "," + num(high_y);
    }
    svg.body += "<polyline fill=\"none\" stroke=\"" + std::string(kWriteColour) +
                "\" stroke-width=\"2\" points=\"" + points + "\"/>\n";
    svg.line(w.x(0), lane_top, w.x(0), low_y + 6, kSettleColour, 1, " stroke-dasharray=\"4,3\"");
    svg.text(w.x(0) + 4, low_y + 4, "count loaded", std::string("font-size=\"10\" fill=\"") + kSettleColour + "\"");
    const double axis_y = lane_top + kWaveLaneH + 4;
    axis(svg, w, axis_y, 0, "µs from the write that completes the count");
    return kWaveTitleH + kWaveArrowH + kWaveLaneH + 4 + kAxisH;
}

void legend(Svg& svg, double y)
{
    const std::pair<const char*, const char*> items[] = {
        {kWriteColour, "write (out)"}, {kReadColour, "read (in)"}, {kDiscardColour, "read the converter discards"},
        {kFlagColour, "flagged access"}};
    double x = kPlotLeft;
    for (const auto& [colour, what] : items) {
        svg.line(x, y, x, y - 12, colour, 2.5);
        svg.text(x + 6, y - 1, what, "font-size=\"11\"");
        x += 26 + std::char_traits<char>::length(what) * 6.6;
    }
}

}  // namespace

std::string render_svg(const TimingPicture& p)
{
    Svg svg;
    const Window w = window_of(p);
    svg.text(14, kTitleY, fit(p.title, kTitleChars), "font-size=\"16\" font-weight=\"bold\"");
    svg.text(14, kSubtitleY, p.subtitle, "font-size=\"12\" fill=\"#444\"");

    const double calls_h = draw_calls(svg, p, w);
    std::vector<Lane> lanes = lay_out_lanes(p, w);
    double y = kTopOfCalls + calls_h + kCallsGap;
    const double lanes_top = y;
    for (Lane& lane : lanes) {
        lane.top = y;
        y += lane.height;
    }
    if (p.accesses.size() <= kMaxGuideLines)  // guides first, so lanes and labels draw over them
        for (const bench::PortAccess& a : p.accesses) {
            const double x = w.x(static_cast<double>(a.ns));
            svg.line(x, lanes_top - 4, x, y, kGuideColour, 1, " stroke-dasharray=\"2,3\"");
        }
    for (size_t k = 0; k < lanes.size(); ++k) draw_lane(svg, lanes[k], *p.board, k % 2 == 0);
    if (lanes.empty()) {
        svg.text(kPlotLeft, y + 20, "no port access during the calls", "font-size=\"12\"");
        y += 30;
    }
    const std::string first = p.calls.empty() ? "the first access" : p.calls.front().label;
    axis(svg, w, y + 4, w.origin, "µs from the start of " + first.substr(0, first.find(" = ")));
    y += 4 + kAxisH;
    if (p.wave) y += kWaveGap + draw_wave(svg, *p.wave, y + kWaveGap);
    legend(svg, y + 18);
    y += kLegendH;

    std::string s = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    s += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + num(kWidth) + "\" height=\"" + num(y) +
         "\" viewBox=\"0 0 " + num(kWidth) + " " + num(y) + "\" font-family=\"" + kFont + "\">\n";
    s += "<title>" + esc(p.title) + "</title>\n";
    s += "<defs>\n";
    for (const auto& [id, colour] : {std::pair{"arrow-settle", kSettleColour}, std::pair{"arrow-wave", kWriteColour}})
        s += std::string("<marker id=\"") + id + "\" viewBox=\"0 0 10 10\" refX=\"9\" refY=\"5\" markerWidth=\"7\" "
             "markerHeight=\"7\" orient=\"auto-start-reverse\"><path d=\"M0,0 L10,5 L0,10 z\" fill=\"" + colour +
             "\"/></marker>\n";
    s += "</defs>\n";
    s += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    s += svg.body;
    s += "</svg>\n";
    return s;
}

std::string svg_document(const Bench& b, const std::string& dll, std::span<const CallRecord> calls)
{
    TimingPicture p;
    const BoardFacts& f = facts(b.kind);
    const std::string file = std::filesystem::path(dll).filename().string();
    std::string names;
    for (const CallRecord& r : calls) names += (names.empty() ? "" : ", ") + show_call(r.call);
    p.title = file + " on the " + f.title + (names.empty() ? "" : ": " + names);
    p.subtitle = strf("port accesses on the virtual bench, %.0f MHz CPU; virtual time",
                      static_cast<double>(b.m().clock().config().cpu_hz) / 1e6);
    p.board = &b.board();
    const bench::PortAccess* count_loaded = nullptr;
    for (const CallRecord& r : calls) {
        if (!r.outcome.fault.empty()) continue;
        p.calls.push_back({show_call(r.call) + " = " + show_result(b, r), r.start_ns, r.end_ns});
        for (const bench::PortAccess& a : accesses_of(b, r)) p.accesses.push_back(a);
    }
    for (const bench::PortAccess& a : p.accesses)
        if (b.sup && a.port == bench::KvrSupBoard::TMR0 && a.note.find("loaded") != std::string::npos)
            count_loaded = &a;
    if (count_loaded && b.sup->frequency_khz() && b.sup->timer().count) {
        const bench::KvrSupBoard::Timer& t = b.sup->timer();
        TimingWave wave;
        wave.khz = *b.sup->frequency_khz();
        wave.clock_khz = bench::KvrSupBoard::kTimerClockKhz;
        wave.divisor = static_cast<uint32_t>(std::lround(wave.clock_khz / wave.khz));
        // Mode 3 holds the output high for the larger half of an odd count; mode 2, a rate generator,
        // pulls it low for one clock a period.
        constexpr uint8_t kRateGenerator = 2;
        wave.high_clocks = t.mode == kRateGenerator ? wave.divisor - 1 : (wave.divisor + 1) / 2;
        wave.low_clocks = wave.divisor - wave.high_clocks;
        wave.start_ns = count_loaded->ns;
        p.wave = wave;
    }
    return render_svg(p);
}

}  // namespace kvrbench
