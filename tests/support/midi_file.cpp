#include "support/midi_file.hpp"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

namespace corvel::bench {

namespace {

struct Reader {
    const std::vector<unsigned char>& bytes;
    std::size_t at = 0;
    std::size_t end = 0;

    void need(std::size_t n) const {
        if (at + n > end) throw std::runtime_error("MIDI file ends inside a chunk");
    }
    unsigned byte() {
        need(1);
        return bytes[at++];
    }
    std::uint32_t be(int n) {
        std::uint32_t value = 0;
        for (int i = 0; i < n; ++i) value = (value << 8) | byte();
        return value;
    }
    std::uint32_t variable() {
        std::uint32_t value = 0;
        for (int i = 0; i < 4; ++i) {
            const unsigned b = byte();
            value = (value << 7) | (b & 0x7f);
            if ((b & 0x80) == 0) return value;
        }
        throw std::runtime_error("MIDI file has an over-long variable-length number");
    }
};

struct TimedTempo {
    std::int64_t tick;
    std::size_t order;
    double micros;
};
struct TimedMeter {
    std::int64_t tick;
    std::size_t order;
    int numerator;
    int denominator;
};

}  // namespace

MidiSummary readMidiSummary(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + file.string());
    const std::vector<unsigned char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    Reader header{bytes, 0, bytes.size()};
    if (bytes.size() < 14 || std::string(bytes.begin(), bytes.begin() + 4) != "MThd") {
        throw std::runtime_error(file.string() + " is not a MIDI file");
    }
    header.at = 4;
    const std::uint32_t headerLength = header.be(4);
    header.be(2);  // format
    const std::uint32_t tracks = header.be(2);
    const std::uint32_t division = header.be(2);
    if (division & 0x8000) throw std::runtime_error(file.string() + " counts SMPTE time, not beats");
    if (division == 0) throw std::runtime_error(file.string() + " has no ticks per quarter note");
    MidiSummary summary;
    summary.ticksPerQuarter = int(division);

    std::vector<TimedTempo> tempos;
    std::vector<TimedMeter> meters;
    std::size_t order = 0;
    std::size_t at = 8 + headerLength;
    for (std::uint32_t t = 0; t < tracks && at + 8 <= bytes.size(); ++t) {
        Reader chunk{bytes, at, bytes.size()};
        const std::string id(bytes.begin() + std::ptrdiff_t(at), bytes.begin() + std::ptrdiff_t(at + 4));
        chunk.at = at + 4;
        const std::uint32_t length = chunk.be(4);
        at = chunk.at + length;
        if (id != "MTrk") continue;
        chunk.end = std::min<std::size_t>(bytes.size(), at);
        std::int64_t tick = 0;
        unsigned status = 0;
        while (chunk.at < chunk.end) {
            tick += chunk.variable();
            unsigned first = chunk.byte();
            if (first == 0xff) {
                const unsigned type = chunk.byte();
                const std::uint32_t size = chunk.variable();
                chunk.need(size);
                const std::size_t data = chunk.at;
                chunk.at += size;
                if (type == 0x51 && size == 3) {
                    const double micros = double((std::uint32_t(bytes[data]) << 16) | (std::uint32_t(bytes[data + 1]) << 8) |
                                                 bytes[data + 2]);
                    if (micros > 0) tempos.push_back({tick, order++, micros});
                } else if (type == 0x58 && size >= 2) {
                    meters.push_back({tick, order++, int(bytes[data]), 1 << std::min(bytes[data + 1], (unsigned char)6)});
                } else if (type == 0x2f) {
                    break;
                }
                summary.endTick = std::max(summary.endTick, tick);
                continue;
            }
            if (first == 0xf0 || first == 0xf7) {
                chunk.at += chunk.variable();
                summary.endTick = std::max(summary.endTick, tick);
                continue;
            }
            unsigned data1;
            if (first & 0x80) {
                status = first;
                data1 = chunk.byte();
            } else {
                if (status == 0) throw std::runtime_error(file.string() + " has running status without a status");
                data1 = first;
            }
            const unsigned kind = status & 0xf0;
            const bool twoBytes = kind != 0xc0 && kind != 0xd0;
            const unsigned data2 = twoBytes ? chunk.byte() : 0;
            if (kind == 0x90 && data2 > 0) summary.noteOnTicks.push_back(tick);
            (void)data1;
            summary.endTick = std::max(summary.endTick, tick);
        }
    }
    auto byTick = [](const auto& a, const auto& b) { return a.tick != b.tick ? a.tick < b.tick : a.order < b.order; };
    std::sort(tempos.begin(), tempos.end(), byTick);
    std::sort(meters.begin(), meters.end(), byTick);
    for (const auto& t : tempos) {
        if (!summary.tempos.empty() && summary.tempos.back().tick == t.tick) {
            summary.tempos.back().microsPerQuarter = t.micros;
        } else {
            summary.tempos.push_back({t.tick, t.micros});
        }
    }
    if (summary.tempos.empty() || summary.tempos.front().tick > 0) summary.tempos.insert(summary.tempos.begin(), {0, 500000});
    for (const auto& m : meters) {
        if (!summary.meters.empty() && summary.meters.back().tick == m.tick) {
            summary.meters.back() = {m.tick, m.numerator, m.denominator};
        } else {
            summary.meters.push_back({m.tick, m.numerator, m.denominator});
        }
    }
    if (summary.meters.empty() || summary.meters.front().tick > 0) summary.meters.insert(summary.meters.begin(), {0, 4, 4});
    std::sort(summary.noteOnTicks.begin(), summary.noteOnTicks.end());
    return summary;
}

double MidiSummary::secondsAt(double tick) const {
    double seconds = 0;
    for (std::size_t i = 0; i < tempos.size(); ++i) {
        const double from = double(tempos[i].tick);
        if (tick <= from) break;
        const double to = i + 1 < tempos.size() ? std::min(tick, double(tempos[i + 1].tick)) : tick;
        seconds += (to - from) * tempos[i].microsPerQuarter * 1e-6 / ticksPerQuarter;
    }
    return seconds;
}

double MidiSummary::quarterBpmAt(double tick) const {
    double micros = tempos.front().microsPerQuarter;
    for (const auto& t : tempos) {
        if (double(t.tick) > tick) break;
        micros = t.microsPerQuarter;
    }
    return 60e6 / micros;
}

}  // namespace corvel::bench
